// Inside the testbed: the usbfs side. Every function here expects bus().mu held unless it says
// otherwise.
#pragma once

#include <umockdev.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/Internal.h"

namespace mockdev {

// Starts the completion thread once. Not under bus().mu.
void startUsbfs(const std::string& root);
// Puts the model behind the device node; the node's handler is created on first use and kept,
// since addresses come back. Not under bus().mu.
void attachNode(UMockdevTestbed* tb, const std::string& node,
                const std::shared_ptr<usbsim::detail::DeviceModel>& model);
// Replaces the regular file the testbed made with a FIFO that polls ready only while a URB
// waits to be reaped, so libusb's event loop sleeps instead of spinning. Not under bus().mu.
void makeNodeQuiet(const std::string& root, const std::string& node);
// A node still held open by clients of an unplugged device: its address is not yet free.
bool addressInUse(uint8_t address);
// The device left: finish its URBs with -ESHUTDOWN and queue its removal from the testbed.
void deviceGoneLocked(usbsim::detail::DeviceModel* m, const std::string& sys);
std::vector<std::string> takeRemovals();
// Carries out the queued removals. Not under bus().mu.
void runRemovals();

}  // namespace mockdev
