#include "mappingtool/platform/win32/SpoolerPrinterStore.h"

#include <windows.h>
#include <winspool.h>

#include <string>

namespace quillon {
namespace {

std::wstring Wide(const std::u16string& str) { return std::wstring(str.begin(), str.end()); }

}  // namespace

bool CSpoolerPrinterStore::Open(const std::u16string& strPrinter, uint32_t ulAccess,
                                PrinterHandle* phPrinter) {
    std::wstring strName = Wide(strPrinter);
    wchar_t szDatatype[] = L"RAW";
    PRINTER_DEFAULTSW defaults = {szDatatype, nullptr, ulAccess};
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(&strName[0], &hPrinter, &defaults)) {
        m_ulLastError = GetLastError();
        return false;
    }
    *phPrinter = hPrinter;
    return true;
}

uint32_t CSpoolerPrinterStore::GetData(PrinterHandle hPrinter, const std::u16string& strValue,
                                       uint32_t* pulType, uint8_t* pData, uint32_t ulSize,
                                       uint32_t* pulNeeded) {
    std::wstring strName = Wide(strValue);
    DWORD ulType = 0;
    DWORD ulNeeded = 0;
    const DWORD ulResult = GetPrinterDataW(static_cast<HANDLE>(hPrinter), &strName[0], &ulType,
                                           pData, ulSize, &ulNeeded);
    if (pulType != nullptr) *pulType = ulType;
    if (pulNeeded != nullptr) *pulNeeded = ulNeeded;
    return ulResult;
}

uint32_t CSpoolerPrinterStore::SetData(PrinterHandle hPrinter, const std::u16string& strValue,
                                       uint32_t ulType, const uint8_t* pData, uint32_t ulSize) {
    std::wstring strName = Wide(strValue);
    return SetPrinterDataW(static_cast<HANDLE>(hPrinter), &strName[0], ulType,
                           const_cast<LPBYTE>(pData), ulSize);
}

int CSpoolerPrinterStore::Close(PrinterHandle hPrinter) {
    const BOOL bResult = ClosePrinter(static_cast<HANDLE>(hPrinter));
    if (!bResult) m_ulLastError = GetLastError();
    return bResult;
}

}  // namespace quillon
