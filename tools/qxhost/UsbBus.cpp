#include "tools/qxhost/UsbBus.h"

#include <libusb.h>

#include <cctype>
#include <cstdio>

#include "base/Text.h"

std::string CUsbBus::DeviceName(int nVendor, int nProduct, const std::string& strSerial) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "USB#VID_0x%x##PID_0x%x", static_cast<unsigned int>(nVendor),
                  static_cast<unsigned int>(nProduct));
    return base::ToUpper(std::string(sz) + strSerial);
}

bool CUsbBus::List(int nVendor, std::vector<DEVICE>* pvecDevices, std::string* pstrError) {
    pvecDevices->clear();
    libusb_context* pContext = nullptr;
    int r = libusb_init(&pContext);
    if (r != 0) {
        if (pstrError != nullptr) *pstrError = std::string("libusb_init: ") + libusb_error_name(r);
        return false;
    }
    libusb_device** ppList = nullptr;
    const ssize_t nCount = libusb_get_device_list(pContext, &ppList);
    if (nCount < 0) {
        if (pstrError != nullptr)
            *pstrError = std::string("libusb_get_device_list: ") +
                         libusb_error_name(static_cast<int>(nCount));
        libusb_exit(pContext);
        return false;
    }
    for (ssize_t i = 0; i < nCount; ++i) {
        libusb_device_descriptor desc = {};
        if (libusb_get_device_descriptor(ppList[i], &desc) != 0 || desc.idVendor != nVendor)
            continue;
        if (desc.idProduct != 0x0202 && (desc.idProduct & 0xFF00) != 0x0E00) continue;
        DEVICE device;
        device.nVendor = desc.idVendor;
        device.nProduct = desc.idProduct;
        device.nBus = libusb_get_bus_number(ppList[i]);
        device.nAddress = libusb_get_device_address(ppList[i]);
        std::string strSerial;
        bool fNamed = true;
        if (desc.iSerialNumber != 0) {
            libusb_device_handle* pHandle = nullptr;
            r = libusb_open(ppList[i], &pHandle);
            if (r == 0) {
                unsigned char auc[257] = {};
                const int n =
                    libusb_get_string_descriptor_ascii(pHandle, desc.iSerialNumber, auc, 256);
                if (n >= 0)
                    strSerial.assign(reinterpret_cast<const char*>(auc),
                                     static_cast<std::size_t>(n));
                else
                    r = n;
                libusb_close(pHandle);
            }
            if (r < 0) {
                fNamed = false;
                device.strError = std::string("serial number unreadable: ") + libusb_error_name(r);
            }
        }
        if (fNamed) device.strName = DeviceName(desc.idVendor, desc.idProduct, strSerial);
        pvecDevices->push_back(device);
    }
    libusb_free_device_list(ppList, 1);
    libusb_exit(pContext);
    return true;
}
