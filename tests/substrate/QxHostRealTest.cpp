// qxhost, unchanged, on the system libusb over the emulated usbfs: the program runs as a child of
// this process, which owns the testbed and the device models; the preload and UMOCKDEV_DIR it
// inherits put it in the same fake /sys and /dev.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "mockdev/MockBus.h"
#include "tests/support/QxHostProcess.h"

namespace {

class QxHostReal : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(mockdev::Start(&why)) << why;
        mockdev::resetBus();
        char tmpl[] = "/tmp/qxreal.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_strDir = tmpl;
        m_receipt = mockdev::plug(usbsim::DeviceConfig::vendorPrinter("RCPT1"));
        ASSERT_TRUE(m_receipt);
        std::ofstream(Path("properties")) << "/QX/Receipt/PortType = \"USB\"\n/QX/Receipt/PortName = \""
                                          << m_receipt->deviceName() << "\"\n";
    }
    void TearDown() override {
        mockdev::resetBus();
        if (!m_strDir.empty()) std::system(("rm -rf " + m_strDir).c_str());
    }
    std::string Path(const std::string& s) const { return m_strDir + "/" + s; }
    std::unique_ptr<CQxHostProcess> Process() const {
        return std::make_unique<CQxHostProcess>(
            QXHOST_PATH, std::map<std::string, std::string>{{"QXHOST_PROPERTIES", Path("properties")},
                                                            {"QXHOST_LIBRARY", TALIUN_LIBRARY_PATH},
                                                            {"TALIUN_LOG_SOCKET", Path("log.socket")},
                                                            {"TALIUN_CONFIGURATION", Path("configuration")}});
    }
    std::string m_strDir;
    usbsim::DevicePtr m_receipt;
};

TEST_F(QxHostReal, PortsListsTheBoundPortAndTheOneMadeForANewDevice) {
    const usbsim::DevicePtr display = mockdev::plug(usbsim::DeviceConfig::displayPrinter("CNTR1"));
    const QXHOST_RESULT r = Process()->Run({"ports"});
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_NE(r.strOut.find(m_receipt->deviceName()), std::string::npos) << r.strOut;
    EXPECT_NE(r.strOut.find(display->deviceName()), std::string::npos) << r.strOut;
    std::stringstream saved;
    saved << std::ifstream(Path("properties")).rdbuf();
    EXPECT_NE(saved.str().find(display->deviceName()), std::string::npos) << "a port was made and saved";
}

TEST_F(QxHostReal, PrintSendsTheFileByteForByte) {
    const std::string data("\x1b@KORVO MARKET\n\x1d" "V\x00", 19);
    std::ofstream(Path("receipt.bin"), std::ios::binary) << data;
    const QXHOST_RESULT r = Process()->Run({"print", "Receipt", Path("receipt.bin")});
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_NE(r.strOut.find("wrote 19 of 19 bytes to QX/Receipt: PHR_SUCCESS\n"), std::string::npos) << r.strOut;
    const usbsim::Bytes got = m_receipt->received();
    EXPECT_EQ(std::string(got.begin(), got.end()), data);
}

TEST_F(QxHostReal, WatchShowsPowerAndTheLibusbHotPlugNotices) {
    auto watch = Process();
    ASSERT_TRUE(watch->Start({"watch", "Receipt"}, Path("watch.out")));
    ASSERT_TRUE(watch->WaitForOutput("power: ready (0)\n")) << watch->Output();
    EXPECT_NE(watch->Output().find("hot-plug notices: on"), std::string::npos) << watch->Output();
    m_receipt->setOffline(true);
    ASSERT_TRUE(watch->WaitForOutput("power: not ready (1)\n")) << watch->Output();
    m_receipt->setOffline(false);

    mockdev::unplug(m_receipt);
    ASSERT_TRUE(watch->WaitForOutput("hot-plug: left 0x")) << watch->Output();
    ASSERT_TRUE(watch->WaitForOutput("power: unavailable (2)\n")) << watch->Output();
    const size_t mark = watch->Output().find("power: unavailable (2)");
    m_receipt = mockdev::plug(m_receipt->config());
    ASSERT_TRUE(watch->WaitForOutput("hot-plug: arrived 0x", mark)) << watch->Output();
    EXPECT_TRUE(watch->WaitForOutput(", SIGUSR1 sent\n", mark)) << watch->Output();
    EXPECT_TRUE(watch->WaitForOutput("power: ready (0)\n", mark)) << watch->Output();
    ASSERT_TRUE(watch->Signal(SIGTERM));
    EXPECT_EQ(watch->Wait(), 0) << watch->Output();
}

}  // namespace
