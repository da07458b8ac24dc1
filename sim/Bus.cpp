// The bus: attached device instances, their addresses and ports, and the control entry points.
#include "sim/Internal.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace usbsim {

using namespace detail;

namespace detail {

Bus& bus() {
    // Never destroyed: transfers and callbacks may still run during static destruction.
    static Bus* b = new Bus;
    return *b;
}

libusb_device* newDeviceLocked(libusb_context* ctx, const std::shared_ptr<DeviceModel>& m) {
    auto* d = new libusb_device;
    d->ctx = ctx;
    d->model = m;
    bus().liveDevices.insert(d);
    ctx->devices.emplace_back(m.get(), d);
    return d;
}

void unrefDeviceLocked(libusb_device* d) {
    if (--d->refs > 0) return;
    bus().liveDevices.erase(d);
    delete d;
}

namespace {

bool hotplugWants(const libusb_context* ctx, const DeviceConfig& c, libusb_hotplug_event ev) {
    for (const auto& cb : ctx->hotplug) {
        if (cb.removed || !(cb.events & ev)) continue;
        if (cb.vendor != LIBUSB_HOTPLUG_MATCH_ANY && cb.vendor != c.vendorId) continue;
        if (cb.product != LIBUSB_HOTPLUG_MATCH_ANY && cb.product != c.productId) continue;
        if (cb.devClass != LIBUSB_HOTPLUG_MATCH_ANY && cb.devClass != 0) continue;
        return true;
    }
    return false;
}

}  // namespace

namespace {

// sysfs keeps the strings a device reported at enumeration; tools such as lsusb read them there.
std::string mirrorDir(const DeviceModel& m) {
    return bus().sysfsMirror + "/" + std::to_string(m.busNumber()) + "-" + std::to_string(m.portNumber());
}

void writeAttr(const std::string& dir, const char* name, const std::string& value) {
    if (FILE* f = std::fopen((dir + "/" + name).c_str(), "w")) {
        std::fprintf(f, "%s\n", value.c_str());
        std::fclose(f);
    }
}

void mirrorAdd(const DeviceModel& m) {
    if (bus().sysfsMirror.empty()) return;
    const std::string dir = mirrorDir(m);
    ::mkdir(bus().sysfsMirror.c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    const DeviceConfig& c = m.config();
    char hex[8];
    writeAttr(dir, "manufacturer", c.manufacturer);
    writeAttr(dir, "product", c.product);
    if (c.serial) writeAttr(dir, "serial", *c.serial);
    std::snprintf(hex, sizeof hex, "%04x", c.vendorId);
    writeAttr(dir, "idVendor", hex);
    std::snprintf(hex, sizeof hex, "%04x", c.productId);
    writeAttr(dir, "idProduct", hex);
    writeAttr(dir, "busnum", std::to_string(m.busNumber()));
    writeAttr(dir, "devnum", std::to_string(m.address()));
    writeAttr(dir, "speed", c.speed == Speed::High ? "480" : "12");
}

void mirrorRemove(const DeviceModel& m) {
    if (bus().sysfsMirror.empty()) return;
    const std::string dir = mirrorDir(m);
    for (const char* n : {"manufacturer", "product", "serial", "idVendor", "idProduct", "busnum", "devnum", "speed"})
        std::remove((dir + "/" + n).c_str());
    ::rmdir(dir.c_str());
}

}  // namespace

void attachLocked(const std::shared_ptr<DeviceModel>& m) {
    Bus& b = bus();
    b.attached.push_back(m);
    mirrorAdd(*m);
    for (libusb_context* ctx : b.contexts) {
        if (ctx->exiting) continue;
        libusb_device* d = newDeviceLocked(ctx, m);
        if (hotplugWants(ctx, m->config(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)) {
            ++d->refs;
            ctx->hotplugEvents.push_back({d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
        }
    }
    b.cv.notify_all();
}

void detachLocked(DeviceModel* m) {
    Bus& b = bus();
    if (!m->pluggedLocked()) return;
    m->markUnplugged();
    m->claimedBy = nullptr;
    mirrorRemove(*m);
    b.attached.erase(std::remove_if(b.attached.begin(), b.attached.end(),
                                    [&](const std::shared_ptr<DeviceModel>& p) { return p.get() == m; }),
                     b.attached.end());
    for (libusb_context* ctx : b.contexts) {
        auto it = std::find_if(ctx->devices.begin(), ctx->devices.end(), [&](const auto& e) { return e.first == m; });
        if (it == ctx->devices.end()) continue;
        libusb_device* d = it->second;
        ctx->devices.erase(it);
        if (!ctx->exiting && hotplugWants(ctx, m->config(), LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT))
            ctx->hotplugEvents.push_back({d, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT});  // takes the list's reference
        else
            unrefDeviceLocked(d);
    }
    b.cv.notify_all();
}

void sendHotplugSignalLocked() {
    if (bus().hotplugSignal > 0) ::kill(::getpid(), bus().hotplugSignal);
}

std::shared_ptr<DeviceModel> plugLocked(const DeviceConfig& cfg) {
    Bus& b = bus();
    auto used = [&](auto pred) {
        return std::any_of(b.attached.begin(), b.attached.end(), [&](const auto& m) { return pred(*m); });
    };
    uint8_t addr = b.nextAddress;
    for (int i = 0; i < 127; ++i) {
        addr = static_cast<uint8_t>(b.nextAddress);
        b.nextAddress = static_cast<uint8_t>(b.nextAddress % 127 + 1);
        if (!used([&](const DeviceModel& m) { return m.address() == addr; })) break;
    }
    uint8_t port = cfg.port;
    if (port == 0) {
        port = 1;
        while (port < 255 && used([&](const DeviceModel& m) { return m.portNumber() == port; })) ++port;
    }
    DeviceConfig c = cfg;
    if (c.endpoints != 4) c.endpoints = 2;
    auto m = std::make_shared<DeviceModel>(c, addr, port);
    attachLocked(m);
    sendHotplugSignalLocked();
    return m;
}

}  // namespace detail

DevicePtr plug(const DeviceConfig& cfg) {
    std::lock_guard<std::mutex> lk(bus().mu);
    return plugLocked(cfg);
}

void unplug(const DevicePtr& dev) {
    auto* m = dynamic_cast<DeviceModel*>(dev.get());
    if (!m) return;
    std::lock_guard<std::mutex> lk(bus().mu);
    if (!m->pluggedLocked()) return;
    detachLocked(m);
    sendHotplugSignalLocked();
}

DevicePtr replug(const DevicePtr& dev) {
    if (!dev) return nullptr;
    unplug(dev);
    return plug(dev->config());
}

void resetBus() {
    std::lock_guard<std::mutex> lk(bus().mu);
    Bus& b = bus();
    while (!b.attached.empty()) detachLocked(b.attached.back().get());
    b.configDevices.clear();
    b.timing = Timing{};
    b.hotplugSignal = 0;
}

std::vector<DevicePtr> attachedDevices() {
    std::lock_guard<std::mutex> lk(bus().mu);
    return {bus().attached.begin(), bus().attached.end()};
}

void setHotplugSignal(int signo) {
    std::lock_guard<std::mutex> lk(bus().mu);
    bus().hotplugSignal = signo;
}

void setTiming(const Timing& t) {
    std::lock_guard<std::mutex> lk(bus().mu);
    bus().timing = t;
}

Timing timing() {
    std::lock_guard<std::mutex> lk(bus().mu);
    return bus().timing;
}

bool loadConfigFile(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lk(bus().mu);
    return applyConfigLocked(path, error);
}

}  // namespace usbsim
