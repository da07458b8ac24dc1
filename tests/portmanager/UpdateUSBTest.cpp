// CUpdateUSB in-process: what the host cannot see through the table (bindings, port-level results).
#include "portmanager/UpdateUSB.h"

#include "tests/portmanager/UpdateUSBFixture.h"

using namespace porttest;
using namespace updateusbtest;

namespace {

using UpdateUSBPorts = UpdateUSBFixture;

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
    // The enumeration claims it for a moment to read its device ID; an open meanwhile finds it busy.
    ASSERT_TRUE(m_pUpdateUSB->WaitForFirstEnumeration(20000));
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
    ASSERT_TRUE(pDevice->waitForRelease());
}

}  // namespace
