#pragma once
// The wire protocol to the maker's USB devices on libusb-1.0 (default context only).
// The transfer functions themselves are static members of CUSBDevice (usb/USBDevice.h);
// this header holds the transfer context, the request numbers and the printer-class test.
#include <libusb.h>

#include <string>

// Transfer context of one open device. Each CUSBDevice copy owns its own context; copies of
// an open device carry duplicates that share the libusb handle.
struct _USBQX {
    libusb_device_handle* pHandle = nullptr;  // null while nothing is open
    int nInterface = 0;                       // low 16 bits are the wIndex of vendor requests
    std::string strName;                      // device name the device was opened under
    int nWriteTimeout = 0;                    // ms: vendor sends, bulk OUT, busy-poll limit
    int nReadTimeout = 0;                     // ms: vendor receives, bulk IN
    unsigned short usCapability = 0;          // capability word read at open (request 0)
    unsigned char ucBulkOut = 0;              // first pair
    unsigned char ucBulkIn = 0;
    unsigned char ucBulkOut2 = 0;  // second pair (display channel); 0xFF when absent
    unsigned char ucBulkIn2 = 0;
    unsigned char ucCountReport = 0;  // device reports the bytes it took after each chunk
    unsigned char ucDisplay = 0;      // four endpoints: second pair is the display channel

    _USBQX() = default;
};

// Vendor request numbers (bRequest).
constexpr int USBREQ_CAPABILITY = 0;
constexpr int USBREQ_STATUS_QX = 1;
constexpr int USBREQ_FLOW_QX = 2;
constexpr int USBREQ_STATUS_JV = 3;
constexpr int USBREQ_FLOW_JV = 4;
constexpr int USBREQ_WRITE_START_QX = 0x11;
constexpr int USBREQ_COUNT_QX = 0x12;
constexpr int USBREQ_WRITE_START_JV = 0x13;
constexpr int USBREQ_COUNT_JV = 0x14;
constexpr int USBREQ_RESET = 0x7F;

// Largest protocol chunk (one busy poll and write start each) and largest bulk OUT transfer.
constexpr int USB_PROTOCOL_CHUNK = 0xFFFF;
constexpr int USB_BULK_PIECE = 4096;

// Device code: bits 2..6 of the capability word.
inline int USBDeviceCode(const _USBQX* pCtx) { return (pCtx->usCapability >> 2) & 0x1F; }

// True when the printer-class device announces the QORA/CS command set in its IEEE 1284
// device ID.
bool IsPRTClassFn(libusb_device_handle* pHandle);

// Every pause of the protocol (retry spacing, busy poll) goes through this hook, which is
// usleep unless a test replaces it before any device is used.
using USBSleepFn = void (*)(unsigned int ulMicroseconds);
void USBSetSleepHook(USBSleepFn pfnSleep);
void USBSleep(unsigned int ulMicroseconds);
