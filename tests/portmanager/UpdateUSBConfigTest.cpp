// The configured-port records CUpdateUSB reads from the host's properties: defaults, limits,
// reloading and configuration changes.
#include "tests/portmanager/UpdateUSBFixture.h"

using namespace porttest;
using namespace updateusbtest;

namespace {

using UpdateUSBConfig = UpdateUSBFixture;

TEST_F(UpdateUSBConfig, LoadsDefaultsAndLimits) {
    Start();
    const _UXD_PORT p1 = Port("P1");
    EXPECT_EQ(p1.strPortName, "USB#VID_0XFFFF##PID_0X202NOTHERE");
    EXPECT_EQ(p1.strModelName, "QX-K40V");
    EXPECT_EQ(p1.ucDeviceID, 44);  // 300 & 0xFF
    EXPECT_EQ(p1.infoQX.ulOfflineTimeout, 50u);
    EXPECT_EQ(p1.infoQX.ulStatusPto, 100u);
    EXPECT_EQ(p1.infoQX.ulWriteTimeout, 5000u);
    EXPECT_EQ(p1.infoQX.ulReadInterval, 0u);
    EXPECT_EQ(p1.infoQX.strModelName, "QX-K40V II");
    EXPECT_EQ(p1.infoQX.strPath, "/QX/P1/");
    EXPECT_EQ(p1.infoQX.bConfigured, 1);
    EXPECT_EQ(p1.infoQX.bPrinterClass, 0);
    EXPECT_EQ(p1.infoJV.bConfigured, 1);
    EXPECT_EQ(p1.infoJV.ulStatusPto, 500u);
    EXPECT_EQ(p1.infoJV.ulOfflineTimeout, 50u);
    EXPECT_EQ(p1.infoJV.strPath, "/JV/P1/");

    const _UXD_PORT p2 = Port("P2");
    EXPECT_EQ(p2.ucDeviceID, 255);
    EXPECT_EQ(p2.strPortName, "");
    EXPECT_EQ(p2.infoQX.ulOfflineTimeout, 50u);
    EXPECT_EQ(p2.infoQX.ulStatusPto, 100u);
    EXPECT_EQ(p2.infoJV.bConfigured, 0);
    EXPECT_EQ(p2.infoJV.strPath, "/JV/P2/");

    // "usb" in lower case is not a USB port of this component.
    EXPECT_FALSE(m_pUpdateUSB->GetConfigPort("P3", nullptr));
}

TEST_F(UpdateUSBConfig, PortNameContainingThePartNamesKeepsBothParts) {
    AddPort("JVQX", "DEVICE-OF-JVQX");
    m_host.Properties().SetNumber("/QX/JVQX/StatusPto", 300);
    m_host.Properties().SetString("/JV/JVQX/PortType", "USB");
    m_host.Properties().SetString("/JV/JVQX/PortName", "SOMETHING-ELSE");
    m_host.Properties().SetNumber("/JV/JVQX/StatusPto", 700);
    Start();
    const _UXD_PORT port = Port("JVQX");
    EXPECT_EQ(port.strPortName, "DEVICE-OF-JVQX");
    EXPECT_EQ(port.infoQX.ulStatusPto, 300u);
    EXPECT_EQ(port.infoJV.ulStatusPto, 700u);
    EXPECT_EQ(port.infoJV.bConfigured, 1);
}

TEST_F(UpdateUSBConfig, LoadingAgainKeepsOneRecordPerNameAndTheOpenState) {
    Start();
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    m_host.Properties().SetNumber("/QX/P1/StatusPto", 900);
    EXPECT_EQ(m_pUpdateUSB->InitConfigPorts(), 1);
    const _UXD_PORT p1 = Port("P1");
    EXPECT_EQ(p1.infoQX.bOpened, 1);
    EXPECT_EQ(p1.infoQX.hPort, Handle(1));
    EXPECT_EQ(p1.infoQX.ulStatusPto, 100u);  // the record loaded first stays
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
}

TEST_F(UpdateUSBConfig, UpdateAddsOnlyNewNames) {
    Start();
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    AddPort("P9", "DEVICE9");
    m_host.Properties().SetNumber("/QX/P1/StatusPto", 900);
    EXPECT_TRUE(m_pUpdateUSB->UpdateConfigPorts());
    EXPECT_EQ(Port("P9").strPortName, "DEVICE9");
    EXPECT_EQ(Port("P1").infoQX.bOpened, 1);
    EXPECT_EQ(Port("P1").infoQX.ulStatusPto, 100u);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
}

TEST_F(UpdateUSBConfig, ConfigChangedTakesTheValuesAsRead) {
    Start();
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(2), "JV/P1"), PHR_SUCCESS);
    m_host.Properties().SetNumber("/QX/P1/OfflineTimeout", 10);
    m_host.Properties().SetNumber("/QX/P1/StatusPto", 30);
    m_host.Properties().SetNumber("/JV/P1/StatusPto", 40);
    const std::string h1 = HandleText(Handle(1)), h2 = HandleText(Handle(2));

    EXPECT_EQ(m_pUpdateUSB->IoCtl(Handle(1), PH_CONFIG_CHANGED, CData(), nullptr), PHR_SUCCESS);
    EXPECT_TRUE(m_dir.WaitForLine("-- IoCtl(" + h1 + ", PH_CONFIG_CHANGED) <PHR_SUCCESS>"));
    EXPECT_EQ(Port("P1").infoQX.ulOfflineTimeout, 10u);
    EXPECT_EQ(Port("P1").infoQX.ulStatusPto, 30u);

    // The display part reads only its status period.
    EXPECT_EQ(m_pUpdateUSB->IoCtl(Handle(2), PH_CONFIG_CHANGED, CData(), nullptr), PHR_SUCCESS);
    EXPECT_EQ(Port("P1").infoJV.ulStatusPto, 40u);
    EXPECT_EQ(Port("P1").infoJV.ulOfflineTimeout, 50u);

    m_host.Properties().Remove("/QX/P1/OfflineTimeout");
    m_host.Properties().SetNumber("/QX/P1/StatusPto", 60);
    EXPECT_EQ(m_pUpdateUSB->IoCtl(Handle(1), PH_CONFIG_CHANGED, CData(), nullptr),
              PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine(
        "-- IoCtl(" + h1 +
        ", PH_CONFIG_CHANGED) <PHR_INVALID_PARAMETER> : Failed to read property."));
    EXPECT_EQ(Port("P1").infoQX.ulStatusPto, 60u);  // read before the failing one: stays
    EXPECT_TRUE(m_dir.WaitForLine("-- IoCtl(" + h1 + ", 50070010) <80000003>"));

    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(2)), PHR_SUCCESS);
}

}  // namespace
