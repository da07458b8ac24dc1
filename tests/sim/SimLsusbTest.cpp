// Debian's lsusb, unmodified, lists the simulated devices with LD_LIBRARY_PATH at the simulator.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome run(const std::string& cmd) {
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    r.status = pclose(p);
    return r;
}

class SimLsusb : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/lsusb", X_OK) != 0) GTEST_SKIP() << "lsusb (usbutils) is not installed";
        char tmpl[] = "/tmp/usbsim-lsusb-XXXXXX";
        dir = mkdtemp(tmpl);
        std::ofstream(dir + "/bus.conf") << "sysfs_mirror = " << dir << "/sysfs\n"
                                         << "[device printer]\nkind = qx\nserial = QX0042\n"
                                         << "[device display]\nkind = jv\nserial = JV0043\n"
                                         << "[device prt]\nkind = prt\nserial = PRT0044\n";
        env = "LD_LIBRARY_PATH='" USBSIM_LIB_DIR "' TALIUN_USBSIM_CONFIG='" + dir + "/bus.conf' ";
        // A sanitized simulator needs its runtime first in the unsanitized lsusb.
        if (*USBSIM_SANITIZER_RUNTIME)
            env += "LD_PRELOAD='" USBSIM_SANITIZER_RUNTIME "' ASAN_OPTIONS=detect_leaks=0 ";
    }
    void TearDown() override {
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string dir;
    std::string env;
};

}  // namespace

TEST_F(SimLsusb, ListsTheThreeDevices) {
    const Outcome r = run(env + "lsusb 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Bus 001 Device 001: ID ffff:0202"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bus 001 Device 002: ID ffff:0202"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bus 001 Device 003: ID ffff:0e01"), std::string::npos) << r.out;
}

TEST_F(SimLsusb, VerboseShowsDescriptorsEndpointsAndSerials) {
    const Outcome r = run(env + "lsusb -v 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string& o = r.out;
    for (const char* s : {"idVendor           0xffff", "idProduct          0x0202", "idProduct          0x0e01",
                          "bNumEndpoints           4", "bInterfaceClass         7",
                          "bInterfaceProtocol      2",
                          "bEndpointAddress     0x01  EP 1 OUT", "bEndpointAddress     0x82  EP 2 IN",
                          "bEndpointAddress     0x03  EP 3 OUT", "bEndpointAddress     0x84  EP 4 IN",
                          "Transfer Type            Bulk", "Device Status:     0x0001"})
        EXPECT_NE(o.find(s), std::string::npos) << s << "\n" << o;
    // Absent descriptors stall as on a real full-speed device, which lsusb accepts silently.
    EXPECT_EQ(o.find("can't get"), std::string::npos) << o;

    // lsusb takes the manufacturer, product and serial strings from sysfs, not from the device.
    // The simulator mirrors those attributes; a private mount namespace puts them in place.
    const Outcome ns = run("unshare -m --propagation private sh -c \"mount -t tmpfs none /sys/bus && "
                       "mkdir -p /sys/bus/usb && ln -s '" + dir + "/sysfs' /sys/bus/usb/devices && " +
                       env + "lsusb -v\" 2>&1");
    if (ns.status != 0) GTEST_SKIP() << "no mount namespace here; serials not checked: " << ns.out.substr(0, 200);
    for (const char* s : {"iSerial                 3 QX0042", "iSerial                 3 JV0043",
                          "iSerial                 3 PRT0044", "iManufacturer           1 Korvo"})
        EXPECT_NE(ns.out.find(s), std::string::npos) << s << "\n" << ns.out;
    const Outcome brief = run("unshare -m --propagation private sh -c \"mount -t tmpfs none /sys/bus && "
                          "mkdir -p /sys/bus/usb && ln -s '" + dir + "/sysfs' /sys/bus/usb/devices && " +
                          env + "lsusb\" 2>&1");
    EXPECT_NE(brief.out.find("ID ffff:0202 Korvo Receipt Printer"), std::string::npos) << brief.out;
}
