#pragma once
// CUsbBus: the maker's devices attached right now, named as the component names them
// ("USB#VID_0X<vendor>##PID_0X<product><serial>", upper case), so that a host can tell which
// attached devices a port is bound to.

#include <string>
#include <vector>

class CUsbBus {
public:
    struct DEVICE {
        std::string strName;   // empty when the serial number could not be read
        std::string strError;  // why the name is missing
        int nVendor;
        int nProduct;
        int nBus;
        int nAddress;
    };

    // Devices of the vendor whose product is one the component drives (0x0202, or 0x0Exx).
    // False when libusb cannot be initialised or the device list cannot be read.
    static bool List(int nVendor, std::vector<DEVICE>* pvecDevices, std::string* pstrError);
    static std::string DeviceName(int nVendor, int nProduct, const std::string& strSerial);
};
