// qxhost doctor on the simulated bus: a healthy set-up, then each fault made to happen.
#include <functional>
#include <regex>

#include "tests/tools/qxhost/QxHostFixture.h"
#include "tools/LogDaemon.h"

namespace {

class QxHostDoctor : public QxHostFixture {
protected:
    void SetUp() override
    {
        QxHostFixture::SetUp();
        m_pDaemon.reset(new CLogDaemon(Path("taliunlogd.socket")));
        std::string strError;
        ASSERT_TRUE(m_pDaemon->Start(&strError)) << strError;
        ASSERT_EQ(Run({"install"}).nStatus, 0);
        // A folder as the system: the udev rule installed, no device nodes, no sysfs.
        ASSERT_EQ(std::system(("mkdir -p '" + Path("system/usr/lib/udev/rules.d") + "'").c_str()), 0);
        WriteFile(Path("system/usr/lib/udev/rules.d/60-taliunqxusb.rules"), "# installed\n");
    }
    // A device node as udev left it.
    void MakeNode(const std::string& strNode, gid_t gid, mode_t mode)
    {
        const std::string strPath = Path("system/dev/bus/usb/" + strNode);
        ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + strPath + "')\"").c_str()), 0);
        WriteFile(strPath, "");
        ASSERT_EQ(chown(strPath.c_str(), static_cast<uid_t>(-1), gid), 0);
        ASSERT_EQ(chmod(strPath.c_str(), mode), 0);
    }
    void TearDown() override
    {
        m_pDaemon.reset();
        QxHostFixture::TearDown();
    }
    QXHOST_RESULT Doctor(std::map<std::string, std::string> mapEnv = {}) const
    {
        std::map<std::string, std::string> env = Environment();
        for (const auto& entry : mapEnv)
            env[entry.first] = entry.second;
        return CQxHostProcess(QXHOST_PATH, env).Run({"doctor", "--system-root", Path("system")});
    }

    std::unique_ptr<CLogDaemon> m_pDaemon;
};

TEST_F(QxHostDoctor, AHealthyBusHasOnlyThePlaceholderWarning)
{
    const QXHOST_RESULT result = Doctor();
    EXPECT_EQ(result.nStatus, 0) << result.strOut << result.strErr;
    for (const std::string& strLine : {
             "ok       device " + ReceiptName() + " (bus 1, address 1): QX receipt printer, opens; kernel driver: none\n",
             "ok       device " + CounterName() +
                 " (bus 1, address 2): QX printer with JV customer display, opens; kernel driver: none\n",
             std::string("ok       udev rule: /usr/lib/udev/rules.d/60-taliunqxusb.rules\n"),
             "ok       log daemon: listening on " + Path("taliunlogd.socket") + "\n",
             "ok       configuration: " + Path("taliun.configuration") + " registers " + TALIUN_LIBRARY_PATH + "\n",
             "ok       port Receipt: bound to " + ReceiptName() + ", attached\n",
             "ok       port Counter: bound to " + CounterName() + ", attached\n",
             std::string("doctor: 9 ok, 1 warning, 0 failures\n"),
         })
        EXPECT_NE(result.strOut.find(strLine), std::string::npos) << strLine << "in\n" << result.strOut;
    EXPECT_NE(result.strOut.find("warning  vendor ID: 0xFFFF is the public build's PLACEHOLDER"), std::string::npos)
        << result.strOut;
}

// Each fault shows as its own line with the fix; a failure makes the exit status 1.
TEST_F(QxHostDoctor, EachFaultIsNamedWithItsFix)
{
    const struct {
        const char* pszFault;
        std::function<void()> make;
        std::map<std::string, std::string> mapEnv;
        std::string strLine; // a regular expression
        int nStatus;
    } cases[] = {
        {"device that refuses this process",
         [this] {
             std::remove(Path("system/usr/lib/udev/rules.d/60-taliunqxusb.rules").c_str());
             SetDevice("receipt", "open_error", "access");
         },
         {},
         "failure  device 0xFFFF:0x0202 \\(bus 1, address 1\\): QX receipt printer, permission denied: the udev rule "
         "60-taliunqxusb.rules is not installed; fix: install the package .*udevadm trigger.*\n",
         1},
        {"udev rule not installed", [this] { std::remove(Path("system/usr/lib/udev/rules.d/60-taliunqxusb.rules").c_str()); },
         {}, "warning  udev rule: 60-taliunqxusb.rules is not installed, so only root can open the printers; fix: "
             "install the package .*\n", 0},
        {"udev rule not applied to a node", [this] { MakeNode("001/001", getgid(), 0664); }, {},
         "warning  device " + ReceiptName() + " \\(bus 1, address 1\\): QX receipt printer, opens for this user, but "
         "the udev rule is not applied to its device node, so a host service in group lp cannot; kernel driver: none; fix: run 'udevadm "
         "control --reload && udevadm trigger', or re-plug the printer\n", 0},
        {"vendor-class printer with a kernel driver", [this] { SetDevice("receipt", "kernel_driver", "yes"); },
         {}, "warning  device " + ReceiptName() + " .*opens; a kernel driver bound; fix: keep kernel drivers off.*\n", 0},
        {"log daemon not running", [this] { m_pDaemon->Stop(); }, {},
         "warning  log daemon: not running: .*; fix: start it with 'systemctl start taliunlogd'.*\n", 0},
        {"configuration file missing", [this] { std::remove(Path("taliun.configuration").c_str()); }, {},
         "failure  configuration: .* does not exist, so hosts do not load the component; fix: register the component "
         "with 'qxhost install' as root\n",
         1},
        {"configuration file malformed", [this] { WriteFile(Path("taliun.configuration"), "<xmlroot><a>"); },
         {}, "failure  configuration: .* is not well-formed XML \\(.*\\); fix: restore it from a backup.*\n", 1},
        {"component not registered", [this] { ASSERT_EQ(Run({"remove"}).nStatus, 0); }, {},
         "failure  configuration: the component is not registered in .*; fix: register the component.*\n", 1},
        {"component not found", [] {}, {{"QXHOST_LIBRARY", "/nonexistent/libTaliunqxusb.so"}},
         "failure  component: libTaliunqxusb.so not found .*; fix: install the package.*\n", 1},
        {"port waiting for a device",
         [this] {
             WriteFile(Properties(), ReadFile(Properties()) + "/QX/Spare/PortType = \"USB\"\n"
                                                                      "/QX/Spare/PortName = \"\"\n"
                                                                      "/QX/Spare/ModelName = \"QX-K40V\"\n");
         },
         {}, "warning  port Spare: waiting for a device of model QX-K40V; fix: attach a printer, or bind .*\n", 0},
        {"bound device absent", [this] { SetDevice("counter", "present", "no"); }, {},
         "warning  port Counter: bound to " + CounterName() + ", which is not attached; fix: attach that printer.*\n", 0},
        {"device without a port",
         [this] { WriteFile(Properties(), "/QX/Receipt/PortType = \"USB\"\n"
                                                          "/QX/Receipt/PortName = \"" + ReceiptName() + "\"\n"); },
         {}, "warning  device " + CounterName() + ": no port names it; fix: run 'qxhost ports' .*\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszFault);
        TearDown();
        SetUp();
        c.make();
        const QXHOST_RESULT result = Doctor(c.mapEnv);
        EXPECT_TRUE(std::regex_search(result.strOut, std::regex(c.strLine))) << result.strOut << result.strErr;
        EXPECT_EQ(result.nStatus, c.nStatus) << result.strOut;
    }
}

} // namespace
