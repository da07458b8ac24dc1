#pragma once

#include <cstdint>
#include <string>

namespace quillon {

using PrinterHandle = void*;

// Windows codes the tool's flow depends on; every platform reports its failures with these.
enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorInvalidData = 13,
    kErrorWriteFault = 29,
    kErrorReadFault = 30,
    kErrorInvalidParameter = 87,
    kErrorDiskFull = 112,
    kErrorMoreData = 234,
    kErrorInvalidPrinterName = 1801,
};

enum : uint32_t {
    kPrinterAccessUse = 0x8,
    kPrinterAllAccess = 0xF000C,
    kPrinterAccessAdminister = 0x4,
};

enum : uint32_t { kRegBinary = 3 };

// The printer driver's data store, with the contract of the Windows spooler calls.
class IPrinterDataStore {
public:
    virtual ~IPrinterDataStore() = default;

    // Opens the printer for the desired access (data type "RAW", no device mode). On failure
    // returns false and LastError() tells why: kErrorInvalidPrinterName for an unknown printer,
    // anything else otherwise.
    virtual bool Open(const std::u16string& strPrinter, uint32_t ulAccess,
                      PrinterHandle* phPrinter) = 0;

    // Reads a value into pData. Returns kErrorSuccess, or kErrorMoreData when ulSize is too small;
    // in both cases *pulNeeded holds the value's size. pulType may be null. pData may be null when
    // ulSize is 0.
    virtual uint32_t GetData(PrinterHandle hPrinter, const std::u16string& strValue,
                             uint32_t* pulType, uint8_t* pData, uint32_t ulSize,
                             uint32_t* pulNeeded) = 0;

    // Replaces a value whole. Returns kErrorSuccess or the failure; a handle opened without
    // administer access is refused with kErrorAccessDenied.
    virtual uint32_t SetData(PrinterHandle hPrinter, const std::u16string& strValue,
                             uint32_t ulType, const uint8_t* pData, uint32_t ulSize) = 0;

    // Returns the call's own result, non-zero on success.
    virtual int Close(PrinterHandle hPrinter) = 0;

    // The reason of the last failed Open or Close.
    virtual uint32_t LastError() const = 0;
};

}  // namespace quillon
