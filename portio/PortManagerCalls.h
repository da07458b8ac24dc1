#pragma once
// The only calls a port I/O object makes into its port manager. The port manager installs the
// table (CUsbIO::SetPortManagerCalls) so that the port I/O library does not link against it;
// tests install their own to drive a port I/O object without a port manager.
#include "usb/USBDevice.h"

class CUpdateUSB;

struct _PORT_MANAGER_CALLS {
  CUSBDevice (*pfGetUSBDevice)(CUpdateUSB* pManager, void* hPort);         // copy of the bound device
  void (*pfCloseUSBDevice)(CUpdateUSB* pManager, void* hPort);             // drop the binding
  unsigned int (*pfOpenHandleOnly)(CUpdateUSB* pManager, void* hPort);     // take the USB handle back
  void (*pfCloseHandleOnly)(CUpdateUSB* pManager, void* hPort);            // release the USB handle
  int (*pfUpdateConnectStatus)(CUpdateUSB* pManager, void* hPort, int v);  // set bReleased of the part
  // Drops the binding only while it is still the given device instance; may be null.
  void (*pfCloseUSBDeviceIf)(CUpdateUSB* pManager, void* hPort, const CUSBDevice& expected);
};
