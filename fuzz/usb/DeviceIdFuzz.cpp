// The IEEE 1284 device-ID test of printer-class devices (IsPRTClassFn) against a device that
// answers GET_DEVICE_ID with arbitrary bytes. The few libusb calls the test makes are served here,
// in the program itself, so the reply is exactly the fuzz input: the simulated bus always sends a
// well-formed length header, and the interesting cases are the ones where the header lies.
//
// Input: byte 0 picks the kernel-driver answers (bits 0-1: active query result 0, 1 or an error;
// bits 2-5: detach failures before success), byte 1 the claim result (bit 7 set: claim refused, as
// when another handle holds the interface; the device ID is still asked) and the failing
// GET_DEVICE_ID attempts before the reply (bits 0-3); the rest is the reply, cut to the 1024 bytes
// asked for. The result is checked against an independent reading of the same reply, and every
// claim must be released and the kernel driver given back.
#include <libusb.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "usb/USBTransport.h"

namespace {

struct FAKE_DEVICE {
    int nActive = 0;
    int nDetachFailures = 0;
    bool bClaimFails = false;
    int nIdFailures = 0;
    const uint8_t* pReply = nullptr;
    size_t ulReply = 0;
    int nClaimed = 0;
    int nReleased = 0;
    int nAttached = 0;
    int nDetached = 0;
};

FAKE_DEVICE g_device;
libusb_device_handle* const g_pHandle = reinterpret_cast<libusb_device_handle*>(&g_device);

void Require(bool bCondition, const char* pszWhat) {
    if (bCondition) return;
    fprintf(stderr, "violated: %s\n", pszWhat);
    abort();
}

void NoSleep(unsigned int) {}

// What the reply announces, read straight from the rules: the big-endian length of the text, the
// little-endian one when that is too large, at most 1022 bytes, and never more than arrived.
bool Expected(const uint8_t* p, size_t n) {
    if (n == 0) return false;
    if (n > 1024) n = 1024;
    const size_t ulHeader0 = p[0];
    const size_t ulHeader1 = n > 1 ? p[1] : 0;  // the buffer is zeroed before each attempt
    size_t ulText = (ulHeader0 << 8) | ulHeader1;
    if (ulText > 1022) ulText = (ulHeader1 << 8) | ulHeader0;
    if (ulText > 1022) ulText = 1022;
    const size_t ulArrived = n > 2 ? n - 2 : 0;
    if (ulText > ulArrived) ulText = ulArrived;
    std::string strText(reinterpret_cast<const char*>(p) + (n > 2 ? 2 : n), ulText);
    strText = strText.c_str();
    size_t ulAt = strText.find("CMD:");
    if (ulAt != std::string::npos) {
        ulAt += 4;
    } else {
        ulAt = strText.find("COMMAND SET:");
        if (ulAt == std::string::npos) return false;
        ulAt += 12;
    }
    std::string strSet = strText.substr(ulAt);
    strSet = strSet.substr(0, strSet.find(';'));
    return strSet.find("QORA/CS") != std::string::npos;
}

}  // namespace

extern "C" {

int libusb_kernel_driver_active(libusb_device_handle* pHandle, int nInterface) {
    Require(pHandle == g_pHandle && nInterface == 0,
            "kernel driver query on interface 0 of the device");
    return g_device.nActive;
}

int libusb_detach_kernel_driver(libusb_device_handle* pHandle, int nInterface) {
    Require(pHandle == g_pHandle && nInterface == 0, "detach on interface 0 of the device");
    if (g_device.nDetachFailures > 0) {
        --g_device.nDetachFailures;
        return LIBUSB_ERROR_BUSY;
    }
    ++g_device.nDetached;
    g_device.nActive = 0;
    return 0;
}

int libusb_attach_kernel_driver(libusb_device_handle* pHandle, int nInterface) {
    Require(pHandle == g_pHandle && nInterface == 0, "attach on interface 0 of the device");
    ++g_device.nAttached;
    return 0;
}

int libusb_claim_interface(libusb_device_handle* pHandle, int nInterface) {
    Require(pHandle == g_pHandle && nInterface == 0, "claim of interface 0 of the device");
    Require(g_device.nActive != 1, "claim only after the kernel driver let go");
    if (g_device.bClaimFails) return LIBUSB_ERROR_BUSY;
    ++g_device.nClaimed;
    return 0;
}

int libusb_release_interface(libusb_device_handle* pHandle, int nInterface) {
    Require(pHandle == g_pHandle && nInterface == 0, "release of interface 0 of the device");
    ++g_device.nReleased;
    return 0;
}

int libusb_control_transfer(libusb_device_handle* pHandle, uint8_t bmRequestType, uint8_t bRequest,
                            uint16_t wValue, uint16_t wIndex, unsigned char* pData,
                            uint16_t wLength, unsigned int) {
    Require(pHandle == g_pHandle, "transfer on the device");
    // usbfs lets a printer's device-ID request through without the claim, so a refused claim
    // still allows it; the kernel driver must have let go either way.
    Require(g_device.bClaimFails || g_device.nClaimed > g_device.nReleased,
            "transfer on a claimed interface, unless the claim was refused");
    Require(g_device.nActive != 1, "transfer only after the kernel driver let go");
    Require(bmRequestType == 0xA1 && bRequest == 0 && wValue == 0 && wIndex == 0,
            "GET_DEVICE_ID of interface 0");
    Require(pData != nullptr && wLength > 0, "a buffer for the reply");
    if (g_device.nIdFailures > 0) {
        --g_device.nIdFailures;
        return LIBUSB_ERROR_PIPE;
    }
    const size_t n = g_device.ulReply < wLength ? g_device.ulReply : wLength;
    // The reply goes to the first n bytes; a read beyond them would see what the caller left there.
    memcpy(pData, g_device.pReply, n);
    return static_cast<int>(n);
}

}  // extern "C"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TALIUN_LOG_SOCKET", "/nonexistent/taliun-fuzz.socket", 1);
    USBSetSleepHook(NoSleep);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize) {
    if (ulSize < 2) return 0;
    g_device = FAKE_DEVICE();
    const int nActiveChoice = pData[0] & 3;
    g_device.nActive = nActiveChoice == 0 ? 0 : nActiveChoice == 1 ? 1 : LIBUSB_ERROR_IO;
    g_device.nDetachFailures = (pData[0] >> 2) & 15;
    g_device.bClaimFails = (pData[1] & 0x80) != 0;
    g_device.nIdFailures = pData[1] & 15;
    g_device.pReply = pData + 2;
    g_device.ulReply = ulSize - 2;

    const bool bResult = IsPRTClassFn(g_pHandle);

    bool bExpected = false;
    const bool bDriverOk =
        nActiveChoice == 0 || (nActiveChoice == 1 && ((pData[0] >> 2) & 15) < 10);
    const bool bReplies = (pData[1] & 15) < 10;
    if (bDriverOk && bReplies) bExpected = Expected(pData + 2, ulSize - 2);
    Require(bResult == bExpected, "result matches the reply");
    Require(g_device.nClaimed == g_device.nReleased, "every claim is released");
    if (g_device.nDetached > 0)
        Require(g_device.nAttached > 0, "a detached kernel driver is given back");
    return 0;
}
