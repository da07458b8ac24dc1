#pragma once

#include "mappingtool/core/PrinterDataStore.h"

namespace quillon {

// Printer data through the Windows spooler.
class CSpoolerPrinterStore : public IPrinterDataStore {
public:
    bool Open(const std::u16string& strPrinter, uint32_t ulAccess,
              PrinterHandle* phPrinter) override;
    uint32_t GetData(PrinterHandle hPrinter, const std::u16string& strValue, uint32_t* pulType,
                     uint8_t* pData, uint32_t ulSize, uint32_t* pulNeeded) override;
    uint32_t SetData(PrinterHandle hPrinter, const std::u16string& strValue, uint32_t ulType,
                     const uint8_t* pData, uint32_t ulSize) override;
    int Close(PrinterHandle hPrinter) override;
    uint32_t LastError() const override { return m_ulLastError; }

private:
    uint32_t m_ulLastError = 0;
};

}  // namespace quillon
