#include "mockdev/MockBus.h"
#include "tests/substrate/Substrate.h"

namespace substrate {

const char* Name() { return "system libusb on emulated usbfs"; }
bool Ready(std::string* pstrWhy) { return mockdev::Start(pstrWhy); }
usbsim::DevicePtr Plug(const usbsim::DeviceConfig& cfg) { return mockdev::plug(cfg); }
void Unplug(const usbsim::DevicePtr& dev) { mockdev::unplug(dev); }
usbsim::DevicePtr Replug(const usbsim::DevicePtr& dev) { return mockdev::replug(dev); }
void Reset() { mockdev::resetBus(); }
// Debian's libusb, never a build tree's simulator.
bool IsExpectedLibusb(const std::string& strPath) {
    return (strPath.rfind("/usr/lib/", 0) == 0 || strPath.rfind("/lib/", 0) == 0) &&
           strPath.find("/sim/") == std::string::npos;
}

}  // namespace substrate
