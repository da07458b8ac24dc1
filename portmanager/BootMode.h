#pragma once
// CBootMode: one record of the boot-mode table, pairing the key of a device that answered in boot
// mode with the handle of the open port that claimed it. Owned by CUpdateUSB's m_listBootMode.
#include <string>

#include "contract/Data.h"

class CBootMode {
public:
    void* hPort = nullptr;      // claiming port's handle, null while unclaimed
    CData dataKey;              // the boot-mode key; compared as bytes
    std::string strDeviceName;  // the boot-mode device, empty while only a claim is known
    int nKind = 1;              // device kind to open the device with
};
