// The real libusb-1.0 over emulated usbfs: a umockdev testbed whose devices are the simulator's
// device models (sim/), so both test substrates share one definition of each device's behaviour.
//
// The process must have libumockdev-preload.so.0 from exec on: linking this library re-executes
// the program with it in LD_PRELOAD before main() (with libasan first in an ASan build). The
// testbed is one per process and must exist before libusb_init, so call Start() first; devices
// come and go per test. The returned devices are the same usbsim::Device objects as on the
// simulated bus: record, received bytes, status scripting and faults work alike.
#pragma once

#include <string>
#include <vector>

#include "sim/SimBus.h"

namespace mockdev {

// True when the umockdev preload library is mapped into this process.
bool PreloadActive();
// Creates the testbed and the root hub once per process; false with a reason when the process is
// not in the mock environment (the preload is missing), so nothing may touch USB.
bool Start(std::string* pstrWhy = nullptr);

// Adds a device at the next free address (sysfs, descriptors, device node) and sends "add".
usbsim::DevicePtr plug(const usbsim::DeviceConfig& cfg);
// Finishes its in-flight URBs with -ESHUTDOWN, fails later ones with ENODEV, sends "remove" and
// removes it.
void unplug(const usbsim::DevicePtr& dev);
usbsim::DevicePtr replug(const usbsim::DevicePtr& dev);
void resetBus();
std::vector<usbsim::DevicePtr> attachedDevices();

// The device node libusb opens, and the sysfs folder of the device.
std::string devnode(const usbsim::DevicePtr& dev);
std::string sysfsPath(const usbsim::DevicePtr& dev);

// Counters of the emulation, for checks and figures.
struct Counters {
    unsigned long ioctls = 0;
    unsigned long urbsSubmitted = 0;
    unsigned long urbsReaped = 0;
    unsigned long emptyReaps = 0;  // REAPURBNDELAY answered EAGAIN: a busy-polling client shows here
    unsigned long urbsLive = 0;    // submitted, not yet reaped or dropped
};
Counters counters();

}  // namespace mockdev
