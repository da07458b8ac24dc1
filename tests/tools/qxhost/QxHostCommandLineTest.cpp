// qxhost's command line: help, usage errors and the start-up failures a user meets first.
#include "tests/tools/qxhost/QxHostFixture.h"

namespace {

const char* const kCommands[] = {"ports", "print",   "watch", "ioctl",   "ui",  "add-port",
                                 "delete-port", "install", "remove", "version", "help"};

using QxHostHelp = QxHostFixture;
using QxHostUsage = QxHostFixture;
using QxHostStart = QxHostFixture;

TEST_F(QxHostHelp, OverviewNamesEveryCommandAndTheEnvironment)
{
    const QXHOST_RESULT result = Run({"--help"});
    EXPECT_EQ(result.nStatus, 0);
    EXPECT_EQ(result.strErr, "");
    for (const char* pszCommand : kCommands)
        EXPECT_NE(result.strOut.find(std::string("\n  ") + pszCommand), std::string::npos) << pszCommand;
    for (const char* pszText : {"--library", "--properties", "--no-hotplug", "QXHOST_LIBRARY", "TALIUN_LOG_SOCKET",
                                "TALIUN_CONFIGURATION"})
        EXPECT_NE(result.strOut.find(pszText), std::string::npos) << pszText;
}

TEST_F(QxHostHelp, EveryCommandHasItsOwnHelp)
{
    for (const char* pszCommand : kCommands) {
        const QXHOST_RESULT result = Run({pszCommand, "--help"});
        EXPECT_EQ(result.nStatus, 0) << pszCommand;
        EXPECT_EQ(result.strOut.rfind(std::string("Usage: qxhost ") + pszCommand, 0), 0u) << result.strOut;
        EXPECT_EQ(Run({"help", pszCommand}).strOut, result.strOut) << pszCommand;
    }
}

TEST_F(QxHostHelp, WithoutACommandTheOverviewGoesToStandardErrorAndFails)
{
    const QXHOST_RESULT result = Run({});
    EXPECT_EQ(result.nStatus, 2);
    EXPECT_EQ(result.strOut, "");
    EXPECT_EQ(result.strErr.rfind("Usage: qxhost", 0), 0u);
}

TEST_F(QxHostUsage, MistakesAreOneLineAndStatusTwo)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"frobnicate"}, "qxhost: unknown command 'frobnicate' (see 'qxhost --help')\n"},
        {{"ports", "--bogus"}, "qxhost: unknown option '--bogus' for ports (see 'qxhost ports --help')\n"},
        {{"print", "Receipt"}, "qxhost: missing argument (see 'qxhost print --help')\n"},
        {{"watch", "Receipt", "extra"}, "qxhost: unexpected argument 'extra' (see 'qxhost watch --help')\n"},
        {{"ioctl", "Receipt", "PH_USB_SET_FLOW_CONTROL", "0g"},
         "qxhost: malformed hex '0g': 'g' at position 2 is not a hex digit (see 'qxhost ioctl --help')\n"},
        {{"ioctl", "Receipt", "PH_USB_SET_FLOW_CONTROL", "020"},
         "qxhost: malformed hex '020': lone hex digit at position 3 (a byte is two digits) (see 'qxhost ioctl "
         "--help')\n"},
        {{"ioctl", "Receipt", "PH_NO_SUCH_CODE"},
         "qxhost: unknown control code 'PH_NO_SUCH_CODE' (see 'qxhost ioctl --help')\n"},
        {{"watch", "Receipt", "--for", "soon"},
         "qxhost: --for needs a number of seconds, not 'soon' (see 'qxhost watch --help')\n"},
        {{"add-port", "XY/Name"},
         "qxhost: the part of a port is QX (printer) or JV (display), not 'XY' (see 'qxhost add-port --help')\n"},
        {{"add-port", "JV/Counter", "--device", "X"},
         "qxhost: --device applies to the printer part (NAME), not JV/Counter (see 'qxhost add-port --help')\n"},
        {{"add-port", "Spare", "--device-id", "256"},
         "qxhost: --device-id needs a number from 0 to 255, not '256' (see 'qxhost add-port --help')\n"},
        {{"--library"}, "qxhost: option --library needs a value (see 'qxhost --help')\n"},
    };
    for (const auto& c : cases) {
        const QXHOST_RESULT result = Run(c.first);
        EXPECT_EQ(result.nStatus, 2) << c.second;
        EXPECT_EQ(result.strErr, c.second);
        EXPECT_EQ(result.strOut, "") << c.second;
    }
    // A usage error starts nothing: the device saw no write.
    EXPECT_EQ(Spool("receipt", "printer"), "");
}

TEST_F(QxHostStart, AMissingLibraryIsNamedWithWhereToPointIt)
{
    const QXHOST_RESULT result = Run({"--library", Path("nowhere/libTaliunqxusb.so"), "ports"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strErr, "qxhost: libTaliunqxusb.so not found (tried " + Path("nowhere/libTaliunqxusb.so") +
                                 "); name it with --library or QXHOST_LIBRARY\n");
}

TEST_F(QxHostStart, ALibraryWithoutTheEntryPointsIsRefused)
{
    // The simulated libusb is a real shared library, but no component.
    const QXHOST_RESULT result = Run({"--library", std::string(USBSIM_DIR) + "/libusb-1.0.so.0", "version"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(Lines(result.strErr), 1u);
    EXPECT_NE(result.strErr.find("entry points missing"), std::string::npos) << result.strErr;
}

TEST_F(QxHostStart, AMalformedPropertyTreeIsReportedWithItsLine)
{
    const std::string strTree = "/QX/Receipt/PortType = \"USB\"\nthis is not a property\n";
    WriteFile(Properties(), strTree);
    const QXHOST_RESULT result = Run({"ports"});
    EXPECT_EQ(ReadFile(Properties()), strTree) << "a tree that cannot be read is never written over";
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(Lines(result.strErr), 1u);
    EXPECT_EQ(result.strErr.rfind("qxhost: cannot read the property tree " + Properties() + ": ", 0), 0u)
        << result.strErr;
    EXPECT_NE(result.strErr.find('2'), std::string::npos) << "names the line: " << result.strErr;
}

TEST_F(QxHostStart, VersionShowsTheComponentLibusbAndTheFilesInUse)
{
    const QXHOST_RESULT result = Run({"version"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_NE(result.strOut.find("component 2.0.7.7 ("), std::string::npos) << result.strOut;
    EXPECT_NE(result.strOut.find("(simulated USB bus); hot-plug capability: yes"), std::string::npos) << result.strOut;
    EXPECT_NE(result.strOut.find("property tree: " + Properties() + "\n"), std::string::npos);
    EXPECT_NE(result.strOut.find("log socket: " + Path("taliunlogd.socket") + "\n"), std::string::npos);
}

TEST_F(QxHostStart, InstallAndRemoveRegisterInTheConfigurationFileNamedByTheEnvironment)
{
    QXHOST_RESULT result = Run({"install", "/opt/taliun/libTaliunqxusb.so"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut,
              "Install(/opt/taliun/libTaliunqxusb.so): registered in " + Path("taliun.configuration") + "\n");
    EXPECT_NE(ReadFile(Path("taliun.configuration")).find("value=\"/opt/taliun/libTaliunqxusb.so\""),
              std::string::npos);
    result = Run({"remove"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(ReadFile(Path("taliun.configuration")).find("libTaliunqxusb.so"), std::string::npos);
}

TEST_F(QxHostStart, InstallReportsAFileItCannotWrite)
{
    std::map<std::string, std::string> env = Environment();
    env["TALIUN_CONFIGURATION"] = Path("no-such-folder/taliun.configuration");
    CQxHostProcess process(QXHOST_PATH, env);
    const QXHOST_RESULT result = process.Run({"install"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(Lines(result.strErr), 1u);
    EXPECT_NE(result.strErr.find("could not be updated"), std::string::npos) << result.strErr;
}

} // namespace
