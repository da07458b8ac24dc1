#pragma once
// Codes of the USB device layer. The result codes carry the same values as the host's
// PHR_ result codes so that the layers above pass them on unchanged; they live here under
// their own names because this layer must not depend on the host header.

// Device kinds.
constexpr int USBKIND_QX = 1;   // receipt printer, vendor-class interface, first endpoint pair
constexpr int USBKIND_JV = 2;   // customer display: second endpoint pair of a four-endpoint device
constexpr int USBKIND_PRT = 4;  // USB printer-class device with the maker's command set

// Result codes (values identical to PHR_SUCCESS, PHR_NOT_CONNECTED, ...).
constexpr unsigned int USBR_SUCCESS = 0x00000000u;
constexpr unsigned int USBR_NOT_CONNECTED = 0x80000001u;
constexpr unsigned int USBR_INVALID_PARAMETER = 0x80000003u;
constexpr unsigned int USBR_NOT_SUPPORTED = 0x80000004u;
constexpr unsigned int USBR_UNEXPECTED_SYSTEM_ERROR = 0x80000005u;
constexpr unsigned int USBR_OUT_OF_RESOURCES = 0x80000007u;
constexpr unsigned int USBR_DEVICE_NOT_AVAILABLE = 0x80060002u;

// Flow-control modes of SetFlowControl (values of PH_FLOW_CONTROL_NORMAL / _FORCE).
constexpr unsigned int USB_FLOW_CONTROL_NORMAL = 1;
constexpr unsigned int USB_FLOW_CONTROL_FORCE = 2;

// Device control codes of CUSBDevice::Ioctl.
constexpr unsigned int USBDEV_SET_TIMEOUTS = 4;
constexpr unsigned int USBDEV_GET_CAPABILITY = 0x30;
constexpr unsigned int USBDEV_GET_STATUS = 0x31;
constexpr unsigned int USBDEV_SET_FLOW = 0x32;
constexpr unsigned int USBDEV_RESET = 0x7F;
constexpr unsigned int USBDEV_CLASS_REQUEST = 0x80;
constexpr unsigned int USBDEV_VENDOR_REQUEST = 0x81;

// Bits of the request word of USBDEV_VENDOR_REQUEST.
constexpr unsigned int USBDEV_VENDOR_RECEIVE = 0x80000000u;
constexpr unsigned int USBDEV_VENDOR_SEND = 0x40000000u;
