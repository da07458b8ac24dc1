#include "tests/substrate/Substrate.h"

namespace substrate {

const char* Name() { return "simulated libusb"; }
bool Ready(std::string*) { return true; }
usbsim::DevicePtr Plug(const usbsim::DeviceConfig& cfg) { return usbsim::plug(cfg); }
void Unplug(const usbsim::DevicePtr& dev) { usbsim::unplug(dev); }
usbsim::DevicePtr Replug(const usbsim::DevicePtr& dev) { return usbsim::replug(dev); }
void Reset() { usbsim::resetBus(); }
bool IsExpectedLibusb(const std::string& strPath) { return strPath.find("/sim/libusb-1.0.so") != std::string::npos; }

}  // namespace substrate
