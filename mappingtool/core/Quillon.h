#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "mappingtool/core/IniSectionReader.h"
#include "mappingtool/core/MappingTable.h"
#include "mappingtool/core/MessageBox.h"
#include "mappingtool/core/PrinterDataStore.h"

namespace quillon {

// Message identifiers of the string table.
enum : uint32_t {
    kMsgBadCommandLine = 101,
    kMsgUnknownPrinter = 102,
    kMsgNoIniFile = 103,
    kMsgBadIniFormat = 104,
    kMsgUnsupportedGroups = 105,
    kMsgAccessDenied = 106,
    kMsgUnusablePrinter = 109,
};

enum class Severity { Error, Warning };

// The tool's command run: installs a mapping table into a printer's data or removes its code-page
// entries.
class CQuillon {
public:
    CQuillon(IPrinterDataStore& store, IIniSectionReader& reader, IMessageBox& messageBox,
             std::ostream& console);

    // Arguments without the program name; returns the exit code.
    int Run(const std::vector<std::u16string>& vecArgs);

    int Install(const std::u16string& strPrinter, const std::u16string& strIniPath);
    int Remove(const std::u16string& strPrinter);

    // Reads and checks KVFontGroupIndex with all access.
    bool GetFontGroupIndexInfo(const std::u16string& strPrinter, std::vector<uint8_t>& vecData);

    enum class RemoveResult { NothingToRemove, Removed, Failed };
    // Removes the tool's entries from KVCodePageTable.
    RemoveResult ModifyUxdCodePage(const std::u16string& strPrinter);
    // Sets the tool's entries in KVCodePageTable for the groups of the table.
    bool ModifyUxdCodePage(const std::u16string& strPrinter, const MappingTable& table);

    bool SaveUnicodemappingTable(const std::u16string& strPrinter, const MappingTable& table);

    std::u16string LoadStringTable(uint32_t ulId);
    void ErrorMessage(uint32_t ulId, Severity severity,
                      const std::u16string& strText = std::u16string());

private:
    enum class ReadResult { Missing, Read, Failed };

    // Opens the printer; on failure shows the message that fits the reason.
    bool OpenPrinter(const std::u16string& strPrinter, uint32_t ulAccess, PrinterHandle* phPrinter);
    void ClosePrinter(PrinterHandle hPrinter, const char* pszOperation);
    // Size query, then a read of exactly that size. Missing when the query does not answer "more
    // data" or reports less than ulMinSize bytes.
    ReadResult ReadValue(PrinterHandle hPrinter, const char16_t* pszValue, uint32_t ulMinSize,
                         std::vector<uint8_t>& vecData);
    bool WriteValue(PrinterHandle hPrinter, const char16_t* pszValue,
                    const std::vector<uint8_t>& vecData);

    IPrinterDataStore& m_store;
    IIniSectionReader& m_reader;
    IMessageBox& m_messageBox;
    std::ostream& m_console;
};

}  // namespace quillon
