#pragma once
// One part of a configured port (its printer part or its display part). The port manager keeps
// one per part in its configured-port records; each port I/O object keeps its own copy.
// Not packed: the record holds std::string members and never crosses a binary boundary.
#include <string>

struct _PORT_INFO {
    int bConfigured = 0;    // 1 once the part's properties were read ("/PortType" is "USB")
    int bOpened = 0;        // 1 while a host connection has this part open
    void* hPort = nullptr;  // that connection's handle
    unsigned int ulWriteTimeout = 0;    // ms
    unsigned int ulOfflineTimeout = 0;  // ms
    unsigned int ulStatusPto = 0;       // ms, power monitoring interval
    unsigned int ulReadInterval = 0;    // ms, input polling interval (set by the port I/O object)
    int bPrinterClass = 0;              // the printer part drives a printer-class (PRT) device
    int bReleased = 0;                  // the open printer part's device was released on request
    std::string strPath;                // property path of the part, ending in "/"
    std::string strModelName;           // "/Id.ModelName" of the part
};
