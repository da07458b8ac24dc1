#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "mappingtool/core/PrinterDataStore.h"

namespace quillon {

// Printer data kept in files: one folder per printer under the root, one file per value holding the
// value's type (32-bit little-endian) and then its bytes. A printer opened for administration needs
// a folder that its permission bits let the caller write; the bits decide even for root, so that a
// read-only printer behaves the same for every user.
class CFilePrinterStore : public IPrinterDataStore {
public:
    explicit CFilePrinterStore(std::string strRoot);

    // The root named by QUILLON_PRINTERS, or "/var/lib/korvo/quillon/printers".
    static std::string DefaultRoot();

    bool Open(const std::u16string& strPrinter, uint32_t ulAccess,
              PrinterHandle* phPrinter) override;
    uint32_t GetData(PrinterHandle hPrinter, const std::u16string& strValue, uint32_t* pulType,
                     uint8_t* pData, uint32_t ulSize, uint32_t* pulNeeded) override;
    uint32_t SetData(PrinterHandle hPrinter, const std::u16string& strValue, uint32_t ulType,
                     const uint8_t* pData, uint32_t ulSize) override;
    int Close(PrinterHandle hPrinter) override;
    uint32_t LastError() const override { return m_ulLastError; }

private:
    struct Printer {
        std::string strFolder;
        uint32_t ulAccess;
    };

    const Printer* Find(PrinterHandle hPrinter) const;

    std::string m_strRoot;
    // Handles are numbers never reused, so a closed handle stays invalid.
    std::map<uintptr_t, Printer> m_mapOpen;
    uintptr_t m_ulNextHandle = 1;
    uint32_t m_ulLastError = 0;
};

}  // namespace quillon
