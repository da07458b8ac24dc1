#pragma once
// The only calls a port I/O object makes into its port manager. The port manager implements this
// and hands itself to every port I/O object it opens (CUsbIO::Init), so that the port I/O library
// does not depend on it; tests hand in their own to drive a port I/O object without a port manager.
// Every call may come from a host thread or the port's monitoring thread, with no port lock held.
#include "usb/USBDevice.h"

class CPortManagerCalls {
public:
    // A copy of the device bound to the handle; an empty object when none is.
    virtual CUSBDevice GetUSBDevice(void* hPort) = 0;
    // Drops the handle's binding, but only while it is still the given device instance.
    virtual void CloseUSBDeviceIf(void* hPort, const CUSBDevice& expected) = 0;
    // Takes the USB handle of the bound device back after a release; a PHR_ result.
    virtual unsigned int OpenHandleOnly(void* hPort) = 0;
    // Releases the USB handle of the bound device, keeping the binding.
    virtual void CloseHandleOnly(void* hPort) = 0;
    // Sets bReleased of the part the handle has open.
    virtual int UpdateConnectStatus(void* hPort, int nValue) = 0;

protected:
    // Never deleted through this interface.
    ~CPortManagerCalls() = default;
};
