// Out-of-process mode: devices declared in a configuration file, data spooled to files.
#include "SimFixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

using usbsim::Bytes;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/usbsim-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

usbsim::DevicePtr byName(const std::string& serial) {
    for (auto& d : usbsim::attachedDevices())
        if (d->config().serial == serial) return d;
    return nullptr;
}

}  // namespace

using SimConfigFile = SimTest;

TEST_F(SimConfigFile, DeclaresDevicesAndSpoolsWhatTheyReceive) {
    TempDir dir;
    const std::string conf = dir.path + "/bus.conf";
    writeFile(conf, "# three devices\n"
                    "spool = " + dir.path + "/spool\n"
                    "[device printer]\nkind = qx\nserial = Q1\noffline = yes\n"
                    "online_answer = 5f 41 00\nonline_answer = 20\n"
                    "[device display]\nkind = jv\nserial = J1\ndevice_code = 9\n"
                    "[device prt]\nkind = prt\nserial = P1\ncommand_set = QORA/CS\ninput = text:hello\n");
    std::string err;
    ASSERT_TRUE(usbsim::loadConfigFile(conf, &err)) << err;
    auto q = byName("Q1");
    auto j = byName("J1");
    auto p = byName("P1");
    ASSERT_TRUE(q && j && p);
    EXPECT_EQ(j->config().endpoints, 4);
    EXPECT_EQ(j->config().capability() & 0x7C, 0x24);
    EXPECT_TRUE(p->config().printerClass);
    EXPECT_NE(p->config().ieee1284Id.find("CMD:QORA/CS;"), std::string::npos);
    EXPECT_EQ(p->pendingInput(), 5u);

    auto* h = open(q);
    EXPECT_EQ(word(h, 1), 1);  // offline
    Bytes req = usbsim::onlineIdentifyRequest();
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, req.data(), static_cast<int>(req.size()), &n, 100), 0);
    unsigned char buf[64];
    ASSERT_EQ(libusb_bulk_transfer(h, 0x82, buf, sizeof buf, &n, 100), 0);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0x5F, 0x41, 0x00}));
    ASSERT_EQ(libusb_bulk_transfer(h, 0x82, buf, sizeof buf, &n, 100), 0);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0x20}));
    EXPECT_EQ(readFile(dir.path + "/spool/printer/printer.out"), std::string(req.begin(), req.end()));
    const std::string log = readFile(dir.path + "/spool/printer/record.log");
    EXPECT_NE(log.find("OUT ep=01 result=11 data=1014120003"), std::string::npos) << log;

    // Editing the file takes effect at the next libusb call: state changes apply in place,
    // a device marked absent leaves the bus.
    writeFile(conf, "spool = " + dir.path + "/spool\n"
                    "[device printer]\nkind = qx\nserial = Q1\noffline = no\n"
                    "online_answer = 5f 41 00\nonline_answer = 20\n"
                    "[device display]\nkind = jv\nserial = J1\ndevice_code = 9\npresent = no\n"
                    "[device prt]\nkind = prt\nserial = P1\ncommand_set = QORA/CS\ninput = text:hello\n");
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(ctx, &list), 2);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(word(h, 1), 0);
    EXPECT_FALSE(j->plugged());
    EXPECT_TRUE(q->plugged());
}

TEST_F(SimConfigFile, RejectsMalformedFilesWithoutChangingTheBus) {
    TempDir dir;
    const std::string conf = dir.path + "/bad.conf";
    const std::pair<const char*, const char*> cases[] = {
        {"[device a]\nkind = xx\n", "kind must be qx, jv or prt"},
        {"[device a]\nendpoints = 3\n", "endpoints must be 2 or 4"},
        {"[device a]\nvendor = 0x12345\n", "bad value for vendor"},
        {"[device a]\nfrobnicate = 1\n", "unknown key frobnicate"},
        {"[printer]\n", "expected [device NAME]"},
        {"[device a]\n[device a]\n", "declared twice"},
        {"[device a]\njust text\n", "expected key = value"},
        {"[device a]\ninput = 0g\n", "bad bytes in input"},
        {"timing = warp\n", "timing must be"},
    };
    for (const auto& [text, message] : cases) {
        writeFile(conf, text);
        std::string err;
        EXPECT_FALSE(usbsim::loadConfigFile(conf, &err)) << text;
        EXPECT_NE(err.find(message), std::string::npos) << text << " -> " << err;
    }
    EXPECT_TRUE(usbsim::attachedDevices().empty());
    std::string err;
    EXPECT_FALSE(usbsim::loadConfigFile(dir.path + "/missing.conf", &err));
}

TEST_F(SimConfigFile, TimingPresets) {
    TempDir dir;
    const std::string conf = dir.path + "/t.conf";
    writeFile(conf, "timing = full-speed\n");
    ASSERT_TRUE(usbsim::loadConfigFile(conf));
    EXPECT_EQ(usbsim::timing().bytesPerSecond, 1216000u);
    writeFile(conf, "timing = high-speed\ncontrol_latency_us = 50\n");
    ASSERT_TRUE(usbsim::loadConfigFile(conf));
    EXPECT_EQ(usbsim::timing().bytesPerSecond, 53248000u);
    EXPECT_EQ(usbsim::timing().controlLatency.count(), 50);
    writeFile(conf, "\n");
    ASSERT_TRUE(usbsim::loadConfigFile(conf));
    EXPECT_EQ(usbsim::timing().bytesPerSecond, 0u);
}
