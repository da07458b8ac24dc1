#include "mappingtool/core/Quillon.h"

#include <limits>
#include <new>

#include "mappingtool/core/MappingIni.h"
#include "mappingtool/core/PrinterData.h"

namespace quillon {
namespace {

constexpr int kStringBufferUnits = 1024;
const char16_t kCaption[] = u"Quillon";

}  // namespace

CQuillon::CQuillon(IPrinterDataStore& store, IIniSectionReader& reader, IMessageBox& messageBox,
                   std::ostream& console)
    : m_store(store), m_reader(reader), m_messageBox(messageBox), m_console(console) {}

int CQuillon::Run(const std::vector<std::u16string>& vecArgs) {
    if (vecArgs.size() == 2) return Install(vecArgs[0], vecArgs[1]);
    if (vecArgs.size() == 1) return Remove(vecArgs[0]);
    ErrorMessage(kMsgBadCommandLine, Severity::Error);
    return 1;
}

int CQuillon::Install(const std::u16string& strPrinter, const std::u16string& strIniPath) {
    if (!m_reader.FileExists(strIniPath)) {
        ErrorMessage(kMsgNoIniFile, Severity::Error);
        return 1;
    }
    std::vector<uint8_t> vecFontGroups;
    if (!GetFontGroupIndexInfo(strPrinter, vecFontGroups)) return 1;

    MappingTable table;
    if (!LoadUnicodeMappingIni(m_reader, strIniPath, table) || table.empty()) {
        ErrorMessage(kMsgBadIniFormat, Severity::Error);
        return 1;
    }
    const std::u16string strUnsupported =
        MatchFontGroups(table, vecFontGroups.data(), vecFontGroups.size());
    if (!strUnsupported.empty()) {
        if (table.empty()) {
            ErrorMessage(kMsgUnsupportedGroups, Severity::Error, strUnsupported);
            return 1;
        }
        ErrorMessage(kMsgUnsupportedGroups, Severity::Warning, strUnsupported);
    }
    if (!ModifyUxdCodePage(strPrinter, table)) return 1;
    return SaveUnicodemappingTable(strPrinter, table) ? 0 : 1;
}

int CQuillon::Remove(const std::u16string& strPrinter) {
    return ModifyUxdCodePage(strPrinter) == RemoveResult::NothingToRemove ? 0 : 1;
}

bool CQuillon::GetFontGroupIndexInfo(const std::u16string& strPrinter,
                                     std::vector<uint8_t>& vecData) {
    PrinterHandle hPrinter = nullptr;
    if (!OpenPrinter(strPrinter, kPrinterAllAccess, &hPrinter)) return false;
    bool bResult = false;
    switch (ReadValue(hPrinter, kValueFontGroupIndex, 4, vecData)) {
        case ReadResult::Missing:
            ErrorMessage(kMsgUnusablePrinter, Severity::Error);
            break;
        case ReadResult::Failed:
            ErrorMessage(kMsgAccessDenied, Severity::Error);
            break;
        case ReadResult::Read:
            bResult = IsCountedBlock(vecData.data(), vecData.size(), kFontGroupEntrySize);
            if (!bResult) ErrorMessage(kMsgUnusablePrinter, Severity::Error);
            break;
    }
    ClosePrinter(hPrinter, "GetFontGroupIndexInfo");
    return bResult;
}

CQuillon::RemoveResult CQuillon::ModifyUxdCodePage(const std::u16string& strPrinter) {
    PrinterHandle hPrinter = nullptr;
    if (!OpenPrinter(strPrinter, kPrinterAccessUse, &hPrinter)) return RemoveResult::Failed;
    std::vector<uint8_t> vecTable;
    const ReadResult read = ReadValue(hPrinter, kValueCodePageTable, 0, vecTable);
    ClosePrinter(hPrinter, "ModifyUxdCodePage");
    // A table that could not be read is not known to be free of our entries: that is a failure, not
    // "nothing to remove".
    if (read == ReadResult::Failed) {
        ErrorMessage(kMsgAccessDenied, Severity::Error);
        return RemoveResult::Failed;
    }
    std::vector<uint8_t> vecNew;
    if (read == ReadResult::Missing ||
        !RemoveCodePageEntries(vecTable.data(), vecTable.size(), vecNew)) {
        return RemoveResult::NothingToRemove;
    }
    if (!OpenPrinter(strPrinter, kPrinterAllAccess, &hPrinter)) return RemoveResult::Failed;
    if (!WriteValue(hPrinter, kValueCodePageTable, vecNew))
        ErrorMessage(kMsgAccessDenied, Severity::Error);
    ClosePrinter(hPrinter, "ModifyUxdCodePage");
    return RemoveResult::Removed;
}

bool CQuillon::ModifyUxdCodePage(const std::u16string& strPrinter, const MappingTable& table) {
    PrinterHandle hPrinter = nullptr;
    if (!OpenPrinter(strPrinter, kPrinterAllAccess, &hPrinter)) return false;
    bool bResult = false;
    std::vector<uint8_t> vecTable;
    if (ReadValue(hPrinter, kValueCodePageTable, 4, vecTable) == ReadResult::Failed) {
        ErrorMessage(kMsgAccessDenied, Severity::Error);
    } else {
        bResult = WriteValue(hPrinter, kValueCodePageTable,
                             AddCodePageEntries(table, vecTable.data(), vecTable.size()));
        if (!bResult) ErrorMessage(kMsgAccessDenied, Severity::Error);
    }
    ClosePrinter(hPrinter, "ModifyUxdCodePage");
    return bResult;
}

bool CQuillon::SaveUnicodemappingTable(const std::u16string& strPrinter,
                                       const MappingTable& table) {
    const std::vector<uint8_t> vecRecords = BuildMappingRecordTable(table);
    PrinterHandle hPrinter = nullptr;
    if (!OpenPrinter(strPrinter, kPrinterAllAccess, &hPrinter)) return false;
    const bool bResult = WriteValue(hPrinter, kValueQuillon, vecRecords);
    if (!bResult) ErrorMessage(kMsgAccessDenied, Severity::Error);
    ClosePrinter(hPrinter, "SaveUnicodemappingTable");
    return bResult;
}

std::u16string CQuillon::LoadStringTable(uint32_t ulId) {
    char16_t szBuffer[kStringBufferUnits] = {};
    const int nResult = m_messageBox.LoadText(ulId, szBuffer, kStringBufferUnits);
    if (nResult <= 0) {
        m_console << "LoadStringW() function error in LoadStringTable() : Return value " << nResult
                  << std::endl;
        return std::u16string();
    }
    return std::u16string(szBuffer,
                          nResult < kStringBufferUnits ? nResult : kStringBufferUnits - 1);
}

void CQuillon::ErrorMessage(uint32_t ulId, Severity severity, const std::u16string& strText) {
    std::u16string strMessage = LoadStringTable(ulId);
    if (ulId == kMsgUnsupportedGroups) {
        const size_t nPlace = strMessage.find(u"%s");
        if (nPlace != std::u16string::npos) strMessage.replace(nPlace, 2, strText);
    }
    uint32_t ulLastError = 0;
    const int nResult = m_messageBox.Show(
        strMessage, kCaption, severity == Severity::Error ? kStyleIconError : kStyleIconWarning,
        &ulLastError);
    if (ulLastError != 0) {
        m_console << "MessageBoxW() function error in ErrorMessage() : Return value " << nResult
                  << std::endl;
    }
}

bool CQuillon::OpenPrinter(const std::u16string& strPrinter, uint32_t ulAccess,
                           PrinterHandle* phPrinter) {
    *phPrinter = nullptr;
    if (m_store.Open(strPrinter, ulAccess, phPrinter)) return true;
    ErrorMessage(
        m_store.LastError() == kErrorInvalidPrinterName ? kMsgUnknownPrinter : kMsgAccessDenied,
        Severity::Error);
    return false;
}

void CQuillon::ClosePrinter(PrinterHandle hPrinter, const char* pszOperation) {
    const int nResult = m_store.Close(hPrinter);
    if (nResult == 0) {
        m_console << "ClosePrinter() function error in " << pszOperation << "() : Return value "
                  << nResult << std::endl;
    }
}

CQuillon::ReadResult CQuillon::ReadValue(PrinterHandle hPrinter, const char16_t* pszValue,
                                         uint32_t ulMinSize, std::vector<uint8_t>& vecData) {
    vecData.clear();
    uint32_t ulNeeded = 0;
    if (m_store.GetData(hPrinter, pszValue, nullptr, nullptr, 0, &ulNeeded) != kErrorMoreData ||
        ulNeeded < ulMinSize) {
        return ReadResult::Missing;
    }
    // An empty value has nothing to read; a read into no buffer is refused by some stores.
    if (ulNeeded == 0) return ReadResult::Read;
    try {
        vecData.resize(ulNeeded);
    } catch (const std::bad_alloc&) {
        return ReadResult::Failed;
    }
    uint32_t ulRead = 0;
    if (m_store.GetData(hPrinter, pszValue, nullptr, vecData.data(), ulNeeded, &ulRead) !=
            kErrorSuccess ||
        ulRead > ulNeeded) {
        vecData.clear();
        return ReadResult::Failed;
    }
    vecData.resize(ulRead);
    return ReadResult::Read;
}

bool CQuillon::WriteValue(PrinterHandle hPrinter, const char16_t* pszValue,
                          const std::vector<uint8_t>& vecData) {
    if (vecData.size() > std::numeric_limits<uint32_t>::max()) return false;
    return m_store.SetData(hPrinter, pszValue, kRegBinary, vecData.data(),
                           static_cast<uint32_t>(vecData.size())) == kErrorSuccess;
}

}  // namespace quillon
