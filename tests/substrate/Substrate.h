#pragma once
// The bus under an end-to-end suite that runs twice: on the simulated libusb (SimSubstrate.cpp)
// and on the system libusb over umockdev-emulated usbfs (RealSubstrate.cpp). Both carry the same
// device models, so a case states one expectation for both.
#include <fstream>
#include <string>

#include "sim/SimBus.h"

namespace substrate {

const char* Name();
// Whether the process may touch USB on this substrate; why not, when it may not.
bool Ready(std::string* pstrWhy);
usbsim::DevicePtr Plug(const usbsim::DeviceConfig& cfg);
void Unplug(const usbsim::DevicePtr& dev);
usbsim::DevicePtr Replug(const usbsim::DevicePtr& dev);
void Reset();
// Whether the path of the libusb-1.0.so.0 mapped into the process is this substrate's.
bool IsExpectedLibusb(const std::string& strPath);
// The path of the libusb-1.0.so.0 mapped into this process, or "".
inline std::string LoadedLibusb() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos && line.find("libusb-1.0.so", slash) != std::string::npos)
            return line.substr(slash);
    }
    return "";
}

}  // namespace substrate
