#pragma once
// One boot-mode record: a device that showed up in boot mode, or a port that claimed a key.
#include <string>

#include "component/Data.h"

class CBootMode {
 public:
  void* hPort = nullptr;      // claiming port's handle, null while unclaimed
  CData dataKey;              // boot-mode key
  std::string strDeviceName;  // device name, empty until the device showed up
  int nKind = 1;              // device kind of the device
};
