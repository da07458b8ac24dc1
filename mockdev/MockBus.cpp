// The testbed: devices in the fake sysfs and /dev, uevents on plug and unplug, and the usbfs
// ioctls of every device node answered from the device's model (Usbfs.cpp).
#include "mockdev/MockBus.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "mockdev/Usbfs.h"

extern char** environ;

namespace mockdev {

using usbsim::Bytes;
using usbsim::DeviceConfig;
using usbsim::DevicePtr;
using namespace usbsim::detail;

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kReexecMark = "TALIUN_MOCKDEV_REEXEC";

// The mapped library whose file name contains `name`, or "".
std::string mappedLibrary(const char* name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos && line.find(name, slash) != std::string::npos) return line.substr(slash);
    }
    return "";
}

// The preload must be in the process from exec on; loading it later does nothing and libusb would
// talk to the machine's real devices. So the program re-executes itself with it before main().
// A sanitizer runtime has to come first in LD_PRELOAD.
__attribute__((constructor)) void reexecWithPreload(int, char** argv, char**) {
    if (PreloadActive() || std::getenv(kReexecMark)) return;
    std::string preload;
    for (const char* runtime : {"libasan.so", "libtsan.so"}) {
        const std::string path = mappedLibrary(runtime);
        if (!path.empty()) preload = path + ":";
    }
    preload += kPreload;
    // libusb, libudev, GLib and umockdev are not instrumented: see tsan.supp. Children inherit it.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    if (!mappedLibrary("libtsan.so").empty() && (!tsan || !std::strstr(tsan, "suppressions="))) {
        const std::string opts = std::string(tsan && *tsan ? tsan : "") + (tsan && *tsan ? ":" : "") +
                                 "suppressions=" + TALIUN_MOCKDEV_TSAN_SUPPRESSIONS;
        setenv("TSAN_OPTIONS", opts.c_str(), 1);
    }
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kReexecMark, "1", 1);
    // The testbed's ioctl sockets live under TMPDIR and their paths must fit a sockaddr_un.
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && std::strlen(tmp) > 40) setenv("TMPDIR", "/tmp", 1);
    execve("/proc/self/exe", argv, environ);
    // Still here: Start() reports that the mock environment is missing.
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", v);
    return buf;
}

std::string three(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", v);
    return buf;
}

// A root hub: high speed, one interface with its status interrupt endpoint.
Bytes rootHubDescriptors() {
    return {18,   1, 0x00, 0x02, 9,    0,    1,    64, 0x6b, 0x1d, 0x02, 0x00, 0x02, 0x06, 3, 2, 1, 1,
            9,    2, 25,   0,    1,    1,    0,    0xe0, 0,    9,    4,    0,    0,    1,    9, 0, 0, 0,
            7,    5, 0x81, 3,    4,    0,    12};
}

std::string deviceRecord(const DeviceModel& m) {
    const DeviceConfig& c = m.config();
    const std::string port = std::to_string(m.portNumber());
    const std::string sys = "/devices/usb1/1-" + port;
    const std::string addr = three(m.address());
    Bytes desc = m.deviceDescriptor();
    for (int i = 0; i < c.numConfigurations; ++i) {
        const Bytes cfg = m.configDescriptor(i);
        desc.insert(desc.end(), cfg.begin(), cfg.end());
    }
    std::string s;
    s += "P: " + sys + "\n";
    s += "N: bus/usb/001/" + addr + "\n";
    s += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n";
    s += "E: DEVNUM=" + addr + "\n";
    s += "E: DEVNAME=/dev/bus/usb/001/" + addr + "\n";
    char product[32];
    std::snprintf(product, sizeof product, "%x/%x/%x", c.vendorId, c.productId, c.bcdDevice);
    s += std::string("E: PRODUCT=") + product + "\n";
    s += "A: busnum=1\n";
    s += "A: devnum=" + std::to_string(m.address()) + "\n";
    s += "A: devpath=" + port + "\n";
    s += std::string("A: speed=") + (c.speed == usbsim::Speed::High ? "480" : "12") + "\n";
    s += "A: bConfigurationValue=" + std::to_string(m.configuration) + "\n";
    s += "A: bNumConfigurations=" + std::to_string(c.numConfigurations) + "\n";
    s += "A: bNumInterfaces= " + std::to_string(c.numInterfaces) + "\n";
    s += "A: bDeviceClass=00\n";
    s += "A: idVendor=" + hex4(c.vendorId) + "\n";
    s += "A: idProduct=" + hex4(c.productId) + "\n";
    s += "A: bcdDevice=" + hex4(c.bcdDevice) + "\n";
    s += "A: version= " + std::to_string(c.bcdUSB >> 8) + "." + hex2(c.bcdUSB & 0xFF) + "\n";
    s += "A: maxchild=0\n";
    // The kernel shows the strings it read at enumeration; absent ones have no attribute.
    if (!c.manufacturer.empty()) s += "A: manufacturer=" + c.manufacturer + "\n";
    if (!c.product.empty()) s += "A: product=" + c.product + "\n";
    if (c.serial) s += "A: serial=" + *c.serial + "\n";
    s += "H: descriptors=" + hex(desc) + "\n\n";
    // The interface, with the driver the kernel bound to it.
    s += "P: " + sys + "/1-" + port + ":1." + std::to_string(c.interfaceNumber) + "\n";
    s += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    if (c.printerClass && m.kernelBound) s += "E: DRIVER=usblp\n";
    s += "A: bInterfaceNumber=" + hex2(c.interfaceNumber) + "\n";
    s += "A: bAlternateSetting= 0\n";
    s += "A: bNumEndpoints=" + hex2(static_cast<unsigned>(c.endpoints)) + "\n";
    s += "A: bInterfaceClass=" + std::string(c.printerClass ? "07" : "ff") + "\n";
    s += "A: bInterfaceSubClass=" + std::string(c.printerClass ? "01" : "00") + "\n";
    s += "A: bInterfaceProtocol=" + std::string(c.printerClass ? "02" : "00") + "\n";
    return s;
}

struct Testbed {
    std::mutex api;  // serialises calls on the testbed object from test threads
    UMockdevTestbed* tb = nullptr;
    std::string root;
    bool failed = false;
    std::string why;
    uint8_t nextAddress = 2;
};

Testbed& testbed() {
    static Testbed* t = new Testbed;  // never destroyed: the worker thread may outlive main()
    return *t;
}


}  // namespace

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// The testbed lives as long as the process; its folder (fake /sys, /dev, ioctl sockets) goes with it.
void removeTestbedFolder() {
    const std::string& root = testbed().root;
    if (!root.empty()) ::nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

bool PreloadActive() { return !mappedLibrary("libumockdev-preload.so").empty(); }

bool Start(std::string* pstrWhy) {
    Testbed& t = testbed();
    std::lock_guard<std::mutex> lk(t.api);
    auto fail = [&](const std::string& why) {
        t.failed = true;
        t.why = why;
        if (pstrWhy) *pstrWhy = why;
        return false;
    };
    if (t.tb) return true;
    if (t.failed) return fail(t.why);
    if (!PreloadActive()) return fail(std::string(kPreload) + " is not preloaded: not in the mock environment");
    // Asked only now: the answer is cached, and asked before the testbed exists it would be "no".
    t.tb = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) return fail("umockdev reports no mock environment");
    gchar* root = umockdev_testbed_get_root_dir(t.tb);
    t.root = root;
    g_free(root);
    std::atexit(removeTestbedFolder);
    const std::string hub = "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                            "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\n"
                            "A: busnum=1\nA: devnum=1\nA: devpath=0\nA: speed=480\nA: bConfigurationValue=1\n"
                            "A: bNumConfigurations=1\nA: idVendor=1d6b\nA: idProduct=0002\nA: maxchild=8\n"
                            "H: descriptors=" +
                            hex(rootHubDescriptors()) + "\n";
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(t.tb, hub.c_str(), &err)) {
        const std::string why = std::string("root hub: ") + (err ? err->message : "?");
        g_clear_error(&err);
        return fail(why);
    }
    startUsbfs(t.root);
    return true;
}

DevicePtr plug(const DeviceConfig& cfg) {
    if (!Start()) return nullptr;
    Testbed& t = testbed();
    std::shared_ptr<DeviceModel> m;
    {
        std::lock_guard<std::mutex> lk(bus().mu);
        Bus& b = bus();
        auto used = [&](auto pred) {
            return std::any_of(b.attached.begin(), b.attached.end(), [&](const auto& d) { return pred(*d); });
        };
        uint8_t addr = t.nextAddress;
        for (int i = 0; i < 126; ++i) {
            addr = t.nextAddress;
            t.nextAddress = static_cast<uint8_t>(t.nextAddress % 127 + 1);
            if (t.nextAddress == 1) t.nextAddress = 2;  // 1 is the root hub
            if (!used([&](const DeviceModel& d) { return d.address() == addr; }) && !addressInUse(addr)) break;
        }
        uint8_t port = cfg.port;
        if (port == 0) {
            port = 1;
            while (port < 255 && used([&](const DeviceModel& d) { return d.portNumber() == port; })) ++port;
        }
        DeviceConfig c = cfg;
        if (c.endpoints != 4) c.endpoints = 2;
        m = std::make_shared<DeviceModel>(c, addr, port);
        b.attached.push_back(m);
    }
    const std::string node = "/dev/bus/usb/001/" + three(m->address());
    // The handler must be in place before the node appears.
    attachNode(t.tb, node, m);
    std::lock_guard<std::mutex> lk(t.api);
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(t.tb, deviceRecord(*m).c_str(), &err)) {
        std::fprintf(stderr, "mockdev: cannot add %s: %s\n", node.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        std::lock_guard<std::mutex> bl(bus().mu);
        detachLocked(m.get());
        return nullptr;
    }
    makeNodeQuiet(t.root, node);
    return m;
}

void unplug(const DevicePtr& dev) {
    auto* m = dynamic_cast<DeviceModel*>(dev.get());
    if (!m) return;
    {
        std::lock_guard<std::mutex> lk(bus().mu);
        if (!m->pluggedLocked()) return;
        detachLocked(m);
    }
    runRemovals();
}

DevicePtr replug(const DevicePtr& dev) {
    if (!dev) return nullptr;
    mockdev::unplug(dev);
    return mockdev::plug(dev->config());
}

void resetBus() {
    for (;;) {
        std::shared_ptr<DeviceModel> m;
        {
            std::lock_guard<std::mutex> lk(bus().mu);
            if (bus().attached.empty()) break;
            m = bus().attached.back();
        }
        mockdev::unplug(m);
    }
}

std::vector<DevicePtr> attachedDevices() {
    std::lock_guard<std::mutex> lk(bus().mu);
    return {bus().attached.begin(), bus().attached.end()};
}

std::string devnode(const DevicePtr& dev) { return dev ? "/dev/bus/usb/001/" + three(dev->address()) : ""; }

std::string sysfsPath(const DevicePtr& dev) {
    return dev ? "/sys/devices/usb1/1-" + std::to_string(dev->portNumber()) : "";
}

// Removals queued by detachLocked (an unplug, or a Disconnect fault inside an ioctl) are carried
// out here, outside the bus lock.
// Taken under the testbed lock, so that a plug that follows an unplug finds the old device gone
// even when the completion thread carried out the removal.
void runRemovals() {
    Testbed& t = testbed();
    std::lock_guard<std::mutex> lk(t.api);
    for (const std::string& sys : takeRemovals()) {
        umockdev_testbed_uevent(t.tb, sys.c_str(), "remove");
        umockdev_testbed_remove_device(t.tb, sys.c_str());
        // The bus's links stay behind; the next device on the same port needs their names.
        const std::string name = sys.substr(sys.rfind('/') + 1);
        const std::string links = t.root + "/sys/bus/usb/devices/";
        ::unlink((links + name).c_str());
        ::unlink((links + name + ":1.0").c_str());
    }
}

}  // namespace mockdev

namespace usbsim::detail {

Bus& bus() {
    static Bus* b = new Bus;  // never destroyed, like the simulator's
    return *b;
}

void detachLocked(DeviceModel* m) {
    Bus& b = bus();
    if (!m->pluggedLocked()) return;
    m->markUnplugged();
    m->claimedBy = nullptr;
    b.attached.erase(std::remove_if(b.attached.begin(), b.attached.end(),
                                    [&](const std::shared_ptr<DeviceModel>& p) { return p.get() == m; }),
                     b.attached.end());
    mockdev::deviceGoneLocked(m, "/sys/devices/usb1/1-" + std::to_string(m->portNumber()));
    b.cv.notify_all();
}

// The uevents are the hot-plug notice here; libusb turns them into its own callbacks.
void sendHotplugSignalLocked() {}

}  // namespace usbsim::detail
