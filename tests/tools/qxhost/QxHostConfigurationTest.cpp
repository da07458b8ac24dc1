// qxhost ports, ioctl, ui, add-port and delete-port: what the component reports and how the host's
// property tree file follows it.
#include <regex>

#include "tests/tools/qxhost/QxHostFixture.h"

namespace {

using QxHostPorts = QxHostFixture;
using QxHostIoctl = QxHostFixture;
using QxHostUi = QxHostFixture;
using QxHostPortConfiguration = QxHostFixture;

TEST_F(QxHostPorts, ListsEveryPartWithDeviceModelAndPower)
{
    const QXHOST_RESULT result = Run({"ports"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    const std::regex header("PORT +PART +DEVICE +ATTACHED +MODEL +DEVICEID +POWER\n");
    EXPECT_TRUE(std::regex_search(result.strOut, header)) << result.strOut;
    const std::string strReceipt = "Receipt +QX +" + ReceiptName() + " +yes +QX-K40V +- +ready \\(0\\)\n";
    const std::string strCounterQx = "Counter +QX +" + CounterName() + " +yes +- +- +ready \\(0\\)\n";
    const std::string strCounterJv = "Counter +JV +" + CounterName() + " +yes +- +- +ready \\(0\\)\n";
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex(strReceipt))) << result.strOut;
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex(strCounterQx + strCounterJv))) << result.strOut;
    EXPECT_EQ(result.strOut.find("without a port"), std::string::npos) << result.strOut;
}

TEST_F(QxHostPorts, ShowsAnAbsentDeviceAndANonUsbPort)
{
    SetDevice("receipt", "present", "no");
    WriteFile(Properties(), ReadFile(Properties()) + "/QX/Serial1/PortType = \"COM\"\n");
    const QXHOST_RESULT result = Run({"ports", "--wait", "0"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex("Receipt +QX +" + ReceiptName() +
                                                            " +no +QX-K40V +- +unavailable \\(2\\)\n")))
        << result.strOut;
    EXPECT_TRUE(std::regex_search(result.strOut,
                                  std::regex("Serial1 +QX +\\(unbound\\) +- +- +- +not a USB port \\(PortType 'COM'\\)")))
        << result.strOut;
}

TEST_F(QxHostPorts, NewDevicesGetPortsFromTheComponentAndTheTreeKeepsThem)
{
    // A port configured for a model and waiting for its device, and no port for the other device.
    WriteFile(Properties(), "/QX/Front/PortType = \"USB\"\n"
                            "/QX/Front/PortName = \"\"\n"
                            "/QX/Front/ModelName = \"QX-K40V\"\n");
    const QXHOST_RESULT result = Run({"ports"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    // The receipt printer identifies as QX-K40V and takes the waiting port; the other device gets
    // a new port through MakePort, named by the host.
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex("Front +QX +" + ReceiptName() + " +yes +QX-K40V +")))
        << result.strOut;
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex("USB1 +QX +" + CounterName() + " +yes +")))
        << result.strOut;
    EXPECT_EQ(result.strOut.find("without a port"), std::string::npos) << result.strOut;
    const std::string strTree = ReadFile(Properties());
    EXPECT_NE(strTree.find("/QX/Front/PortName = \"" + ReceiptName() + "\"\n"), std::string::npos) << strTree;
    EXPECT_NE(strTree.find("/QX/USB1/PortName = \"" + CounterName() + "\"\n"), std::string::npos) << strTree;
}

TEST_F(QxHostPorts, AnEmptyTreeWithoutDevicesSaysSoAndCreatesNoFile)
{
    SetDevice("receipt", "present", "no");
    SetDevice("counter", "present", "no");
    std::remove(Properties().c_str());
    const QXHOST_RESULT result = Run({"ports", "--no-power", "--wait", "0"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_NE(result.strOut.find("No ports configured in " + Properties() + ".\n"), std::string::npos) << result.strOut;
    struct stat st;
    EXPECT_NE(stat(Properties().c_str(), &st), 0) << "listing must not create the tree file";
}

TEST_F(QxHostIoctl, ReadsThePowerStateAndPrintsTheOutputBytes)
{
    const QXHOST_RESULT result = Run({"ioctl", "Receipt", "usb_get_power_state"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut, "PH_USB_GET_POWER_STATE on QX/Receipt: PHR_SUCCESS\n"
                             "out (4 bytes): 00 00 00 00\n"
                             "power: ready (0)\n");
}

TEST_F(QxHostIoctl, AFailedCodeIsNamedAndFails)
{
    // Flow control takes exactly four bytes.
    QXHOST_RESULT result = Run({"ioctl", "Receipt", "PH_USB_SET_FLOW_CONTROL", "02 00"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strOut, "PH_USB_SET_FLOW_CONTROL on QX/Receipt: PHR_INVALID_PARAMETER\n");
    EXPECT_EQ(result.strErr, "qxhost: PH_USB_SET_FLOW_CONTROL on QX/Receipt failed: PHR_INVALID_PARAMETER\n");
    // A number works as well as a name.
    result = Run({"ioctl", "Receipt", "0x60060005", "02:00:00:00"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut, "PH_USB_SET_FLOW_CONTROL on QX/Receipt: PHR_SUCCESS\n");
}

TEST_F(QxHostUi, PrintsThePortDocumentAndReportsOnStandardError)
{
    const QXHOST_RESULT result = Run({"ui", "QX/Receipt"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut.rfind("<?xml version=\"1.0\"?>\r\n<xmlroot>", 0), 0u) << result.strOut;
    EXPECT_NE(result.strOut.find("<property id=\"ConfigurationPath\" type=\"string\" value=\"QX/Receipt\"/>"),
              std::string::npos);
    EXPECT_TRUE(std::regex_match(result.strErr, std::regex("ui QX/Receipt: PHR_SUCCESS \\(8-bit form, [0-9]+ bytes\\)\n")))
        << result.strErr;
}

TEST_F(QxHostUi, TheUcs2FormReadsTheSameAsThe8BitForm)
{
    const QXHOST_RESULT narrow = Run({"ui", "JV"});
    const QXHOST_RESULT wide = Run({"ui", "JV", "--ucs2"});
    EXPECT_EQ(narrow.nStatus, 0) << narrow.strErr;
    EXPECT_EQ(wide.nStatus, 0) << wide.strErr;
    EXPECT_EQ(wide.strOut, narrow.strOut);
    EXPECT_NE(wide.strOut.find("label=\"ポート設定\""), std::string::npos) << "Japanese labels survive UCS-2";
    EXPECT_NE(wide.strOut.find("<option value=\"/JV/Receipt/\">"), std::string::npos) << wide.strOut;
    EXPECT_NE(wide.strErr.find("(UCS-2 form, "), std::string::npos);
}

TEST_F(QxHostUi, AnUnsupportedRequestFails)
{
    const QXHOST_RESULT result = Run({"ui", "QX"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strOut, "");
    EXPECT_EQ(result.strErr, "qxhost: ui QX: PHR_NOT_SUPPORTED\n");
}

TEST_F(QxHostPortConfiguration, AddedPortIsSavedAndThenListed)
{
    QXHOST_RESULT result = Run({"add-port", "Spare", "--device", "USB#VID_0XFFFF##PID_0X202S9", "--model", "QX-T1",
                                "--device-id", "32", "--status-pto", "250"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut, "PH_CONFIG_ADD_PORT QX/Spare: PHR_SUCCESS\nsaved " + Properties() + "\n");
    const std::string strTree = ReadFile(Properties());
    for (const char* pszLine : {"/QX/Spare/PortType = \"USB\"\n", "/QX/Spare/PortName = \"USB#VID_0XFFFF##PID_0X202S9\"\n",
                                "/QX/Spare/ModelName = \"QX-T1\"\n", "/QX/Spare/DeviceID = 32\n",
                                "/QX/Spare/StatusPto = 250\n",
                                // written by the component in answer to the code
                                "/QX/Spare/PowerValues = \"ON - OFFLINE - OFF\"\n"})
        EXPECT_NE(strTree.find(pszLine), std::string::npos) << pszLine << strTree;
    result = Run({"ports", "--no-power", "--wait", "0"});
    EXPECT_TRUE(std::regex_search(result.strOut, std::regex("Spare +QX +USB#VID_0XFFFF##PID_0X202S9 +no +QX-T1 +32 +-\n")))
        << result.strOut;
}

TEST_F(QxHostPortConfiguration, ADisplayPartNeedsItsPortAndARefusalLeavesTheTree)
{
    const std::string strBefore = ReadFile(Properties());
    const QXHOST_RESULT result = Run({"add-port", "JV/Kitchen"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strOut, "PH_CONFIG_ADD_PORT JV/Kitchen: PHR_INVALID_PARAMETER\n");
    EXPECT_EQ(result.strErr, "qxhost: add-port JV/Kitchen: PHR_INVALID_PARAMETER (add the port Kitchen first); the "
                             "property tree is unchanged\n");
    EXPECT_EQ(ReadFile(Properties()), strBefore);
}

TEST_F(QxHostPortConfiguration, DeletingAPortWithADisplayPartTakesTwoSteps)
{
    QXHOST_RESULT result = Run({"delete-port", "Counter"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strErr, "qxhost: delete-port QX/Counter: PHR_PERMISSION_ERROR (delete its display part "
                             "JV/Counter first)\n");
    EXPECT_NE(ReadFile(Properties()).find("/QX/Counter/"), std::string::npos);

    result = Run({"delete-port", "JV/Counter", "--ucs2"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut.rfind("PH_CONFIG_DELETE_PORT|PH_UCS2_STRINGS JV/Counter: PHR_SUCCESS\n", 0), 0u)
        << result.strOut;
    EXPECT_EQ(ReadFile(Properties()).find("/JV/Counter"), std::string::npos);

    result = Run({"delete-port", "Counter"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(ReadFile(Properties()).find("Counter"), std::string::npos);

    result = Run({"delete-port", "Counter"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strErr, "qxhost: delete-port QX/Counter: PHR_INVALID_PARAMETER (no such port)\n");
}

} // namespace
