// CUpdateUSB in-process, over the substitute host's property tree and the simulated bus: what the
// host cannot see through the table (the configured-port records, bindings, port-level results).
#include "portmanager/UpdateUSB.h"

#include <gtest/gtest.h>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tests/portmanager/PortTestSupport.h"

using namespace porttest;

namespace {

void Sink(void* hPort, unsigned int ulCode, CData data) { CHost::EventSink(hPort, ulCode, data); }

void* Handle(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(0x100 + n)); }

class UpdateUSBFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        usbsim::resetBus();
        CPropertyTree& tree = m_host.Properties();
        AddPort("P1", "USB#VID_0XFFFF##PID_0X202NOTHERE");
        tree.SetNumber("/QX/P1/OfflineTimeout", 10);
        tree.SetNumber("/QX/P1/StatusPto", 20);
        tree.SetNumber("/QX/P1/DeviceID", 300);
        tree.SetString("/QX/P1/ModelName", "QX-K40V");
        tree.SetString("/QX/P1/Id.ModelName", "QX-K40V II");
        tree.SetString("/JV/P1/PortType", "USB");
        tree.SetNumber("/JV/P1/StatusPto", 500);
        tree.SetString("/QX/P2/PortType", "USB");
        tree.SetString("/QX/P3/PortType", "usb");
        _PORTHANDLERPROPERTY props = CHost::PropertyCallbacks();
        ASSERT_EQ(InitializeServicePropertyCallbacks(&props), 1);
        CUsbIO::SetEventSink(Sink);
    }
    void TearDown() override
    {
        if (m_pUpdateUSB != nullptr)
            m_pUpdateUSB->Release();
        CUsbIO::SetEventSink(nullptr);
        usbsim::resetBus();
    }
    void AddPort(const std::string& strName, const std::string& strDevice)
    {
        m_host.Properties().SetString("/QX/" + strName + "/PortType", "USB");
        m_host.Properties().SetString("/QX/" + strName + "/PortName", strDevice);
    }
    void Start()
    {
        m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
        ASSERT_NE(m_pUpdateUSB, nullptr);
    }
    _UXD_PORT Port(const std::string& strName)
    {
        _UXD_PORT port;
        EXPECT_TRUE(m_pUpdateUSB->GetConfigPort(strName, &port)) << strName;
        return port;
    }

    CTestDirectory m_dir;
    CHost m_host;
    CUpdateUSB* m_pUpdateUSB = nullptr;
};

using UpdateUSBConfig = UpdateUSBFixture;
using UpdateUSBPorts = UpdateUSBFixture;

TEST_F(UpdateUSBConfig, LoadsDefaultsAndLimits)
{
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

TEST_F(UpdateUSBConfig, PortNameContainingThePartNamesKeepsBothParts)
{
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

TEST_F(UpdateUSBConfig, LoadingAgainKeepsOneRecordPerNameAndTheOpenState)
{
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

TEST_F(UpdateUSBConfig, UpdateAddsOnlyNewNames)
{
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

TEST_F(UpdateUSBConfig, ConfigChangedTakesTheValuesAsRead)
{
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
    EXPECT_EQ(m_pUpdateUSB->IoCtl(Handle(1), PH_CONFIG_CHANGED, CData(), nullptr), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- IoCtl(" + h1 +
                                  ", PH_CONFIG_CHANGED) <PHR_INVALID_PARAMETER> : Failed to read property."));
    EXPECT_EQ(Port("P1").infoQX.ulStatusPto, 60u);  // read before the failing one: stays
    EXPECT_TRUE(m_dir.WaitForLine("-- IoCtl(" + h1 + ", 50070010) <80000003>"));

    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(2)), PHR_SUCCESS);
}

TEST_F(UpdateUSBPorts, PortLevelFailuresAndTheirLines)
{
    Start();
    const std::string h1 = HandleText(Handle(1));
    EXPECT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1/X"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pUpdateUSB->WriteToPort(Handle(1), ToData(Pattern(3)), nullptr), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pUpdateUSB->IoCtl(Handle(1), PH_USB_GET_POWER_STATE, CData(), nullptr), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- IoCtl(" + h1 + " 1074135041) <PHR_INVALID_PARAMETER> : Port is not opened"));
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- Close(" + h1 + ") <PHR_INVALID_PARAMETER> : Device does not exist."));

    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pUpdateUSB->GetOpenPortCount(), 0u);
}

TEST_F(UpdateUSBPorts, ReleasedFlagFollowsDisconnectAndClose)
{
    // Plugged after the start-up enumeration (a configured decoy shows it has run), so that it does
    // not take the released device for a new one.
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    m_host.Properties().SetString("/QX/P1/PortName", pDevice->deviceName());
    usbsim::unplug(pDevice);
    usbsim::DevicePtr pDecoy = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("DECOY"));
    AddPort("DECOY", pDecoy->deviceName());
    Start();
    ASSERT_TRUE(WasEnumerated(pDecoy));
    pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->GetDeviceCount(), 1u);
    ASSERT_EQ(m_pUpdateUSB->IoCtl(Handle(1), PH_USB_SET_DISCONNECTED, Word(1), nullptr), PHR_SUCCESS);
    EXPECT_EQ(Port("P1").infoQX.bReleased, 1);
    // The binding stays, without a USB handle.
    EXPECT_EQ(m_pUpdateUSB->GetDeviceCount(), 1u);
    EXPECT_EQ(m_pUpdateUSB->GetUSBDevice(Handle(1)).GetContext(), nullptr);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
    EXPECT_EQ(Port("P1").infoQX.bReleased, 0);
    EXPECT_EQ(Port("P1").infoQX.bOpened, 0);
    EXPECT_EQ(Port("P1").infoQX.hPort, nullptr);
    EXPECT_EQ(m_pUpdateUSB->GetDeviceCount(), 0u);
}

TEST_F(UpdateUSBPorts, DeviceClassSelectsThePrinterClassKind)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT1"));
    m_host.Properties().SetString("/QX/P1/PortName", pDevice->deviceName());
    m_host.Properties().SetNumber("/QX/P1/DeviceClass", 2);
    Start();
    EXPECT_EQ(Port("P1").infoQX.bPrinterClass, 1);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "RP/P1"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->GetUSBDevice(Handle(1)).GetKind(), USBKIND_PRT);
    EXPECT_NE(m_pUpdateUSB->GetUSBDevice(Handle(1)).GetContext(), nullptr);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
}

TEST_F(UpdateUSBPorts, BothPartsShareOneDeviceConnection)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::displayPrinter("JV1"));
    m_host.Properties().SetString("/QX/P1/PortName", pDevice->deviceName());
    Start();
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(2), "JV/P1"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->GetUSBDevice(Handle(1)).GetKind(), USBKIND_QX);
    EXPECT_EQ(m_pUpdateUSB->GetUSBDevice(Handle(2)).GetKind(), USBKIND_JV);
    // One claim of the interface for both parts.
    int nClaims = 0;
    for (const auto& r : pDevice->records())
        nClaims += r.type == usbsim::Record::Type::Claim ? 1 : 0;
    EXPECT_EQ(nClaims, 1);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(1)), PHR_SUCCESS);
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_pUpdateUSB->WriteToPort(Handle(2), ToData(Pattern(10)), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(pDevice->received(usbsim::Channel::Display), Pattern(10));
    EXPECT_EQ(m_pUpdateUSB->ClosePort(Handle(2)), PHR_SUCCESS);
}

TEST_F(UpdateUSBPorts, ReleaseWithPortsOpenLogsNoClose)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::displayPrinter("JV1"));
    m_host.Properties().SetString("/QX/P1/PortName", pDevice->deviceName());
    Start();
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(2), "JV/P1"), PHR_SUCCESS);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(Handle(3), "QX/P2"), PHR_SUCCESS);
    m_pUpdateUSB->Release();
    m_pUpdateUSB = nullptr;
    EXPECT_EQ(CUpdateUSB::GetInstance(), nullptr);
    for (const std::string& strLine : m_dir.Lines())
        EXPECT_NE(strLine.compare(0, 8, "-- Close"), 0) << strLine;
    // The device is given back: nothing holds its interface any more.
    ASSERT_TRUE(pDevice->waitFor([](const usbsim::Record& r) { return r.type == usbsim::Record::Type::Release; }));
}

}  // namespace
