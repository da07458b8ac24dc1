// The plug-and-play monitor in-process, for what the host cannot see: the configured-port records
// in memory and the table of devices waiting for a retry.
#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "host/Host.h"
#include "portmanager/UpdateUSB.h"
#include "sim/SimBus.h"
#include "tools/ScopedLogDaemon.h"
#include "tests/support/WaitUntil.h"

namespace {

void Sink(void* hPort, unsigned int ulCode, CData data) { CHost::EventSink(hPort, ulCode, data); }

using testsupport::WaitUntil;

// Every open attempt and every enumeration reads the configuration descriptor first.
size_t ConfigProbes(const usbsim::DevicePtr& p)
{
    size_t n = 0;
    for (const usbsim::Record& r : p->records())
        n += r.type == usbsim::Record::Type::Control && r.bRequest == 6 && (r.wValue >> 8) == 2 ? 1 : 0;
    return n;
}

class PnPInternals : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.Ok()) << m_log.Error();
        usbsim::resetBus();
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
    void Start()
    {
        m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
        ASSERT_NE(m_pUpdateUSB, nullptr);
    }
    std::map<std::string, int> Pending() { return m_pUpdateUSB->GetPendingDevices(); }

    CScopedLogDaemon m_log;
    CHost m_host;
    CUpdateUSB* m_pUpdateUSB = nullptr;
};

using PnPMemory = PnPInternals;
using PnPPending = PnPInternals;

TEST_F(PnPMemory, ConfiguredNameIsHeldInUpperCaseOnceCompared)
{
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("lower1"));
    std::string strLower = p->deviceName();
    for (char& c : strLower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    m_host.Properties().SetString("/QX/P1/PortType", "USB");
    m_host.Properties().SetString("/QX/P1/PortName", strLower);
    Start();
    EXPECT_TRUE(WaitUntil([&] {
        _UXD_PORT port;
        return m_pUpdateUSB->GetConfigPort("P1", &port) && port.strPortName == p->deviceName();
    }));
    std::string strStored;
    ASSERT_TRUE(m_host.Properties().GetString("/QX/P1/PortName", &strStored));
    EXPECT_EQ(strStored, strLower);
    EXPECT_TRUE(Pending().empty());
}

TEST_F(PnPPending, UnopenableVendorDeviceIsRetriedUntilItOpens)
{
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    p->failClaim(-1);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Pending() == std::map<std::string, int>{{p->deviceName(), USBKIND_QX}}; }));

    // Retries keep coming with no notice; the spacing is printed, not asserted.
    const size_t ulFirst = ConfigProbes(p);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return ConfigProbes(p) >= ulFirst + 4; }));
    const double dMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / 4;
    printf("retry spacing: %.0f ms per attempt\n", dMs);
    EXPECT_EQ(Pending().size(), 1u);

    p->clearFaults();
    ASSERT_TRUE(WaitUntil([&] { return Pending().empty(); }));
    std::string strName;
    EXPECT_TRUE(m_host.Properties().GetString("/QX/USB1/PortName", &strName));
    EXPECT_EQ(strName, p->deviceName());
}

// The status request fails while the device is attached: its power state stays unknown.
void FailStatusRequests(const usbsim::DevicePtr& p)
{
    usbsim::ControlFault fault;
    fault.bmRequestType = 0xC1;
    fault.bRequest = 1;
    fault.count = -1;
    p->addControlFault(fault);
}

TEST_F(PnPPending, VendorDeviceStaysPendingAfterItIsUnplugged)
{
    // A bystander named by a port: every open attempt for the pending device walks the bus and
    // probes it, which shows the retries going on.
    usbsim::DevicePtr pBystander = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("BY1"));
    m_host.Properties().SetString("/QX/By/PortType", "USB");
    m_host.Properties().SetString("/QX/By/PortName", pBystander->deviceName());
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    FailStatusRequests(p);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Pending() == std::map<std::string, int>{{p->deviceName(), USBKIND_QX}}; }));
    usbsim::unplug(p);
    const size_t ulProbes = ConfigProbes(pBystander);
    ASSERT_TRUE(WaitUntil([&] { return ConfigProbes(pBystander) >= ulProbes + 3; }));
    EXPECT_EQ(Pending(), (std::map<std::string, int>{{p->deviceName(), USBKIND_QX}}));
}

TEST_F(PnPPending, PrinterClassDeviceLeavesOnceUnplugged)
{
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT1"));
    FailStatusRequests(p);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Pending() == std::map<std::string, int>{{p->deviceName(), USBKIND_PRT}}; }));
    // Still attached: it stays while retries go on.
    const size_t ulProbes = ConfigProbes(p);
    ASSERT_TRUE(WaitUntil([&] { return ConfigProbes(p) >= ulProbes + 2; }));
    EXPECT_EQ(Pending().size(), 1u);
    usbsim::unplug(p);
    EXPECT_TRUE(WaitUntil([&] { return Pending().empty(); }));
    std::list<std::string> listPorts;
    m_host.Properties().GetChildren("/QX/", listPorts);
    EXPECT_TRUE(listPorts.empty());
}

std::atomic<bool> g_bRefuseMakePort{false};
int (*g_pfnHostMakePort)(std::string, std::string) = nullptr;

int RefusingMakePort(std::string strType, std::string strDocument)
{
    return g_bRefuseMakePort.load() ? 0 : g_pfnHostMakePort(strType, strDocument);
}

TEST_F(PnPPending, RefusedPortCreationKeepsTheDevicePending)
{
    _PORTHANDLERPROPERTY props = CHost::PropertyCallbacks();
    g_pfnHostMakePort = props.MakePort;
    props.MakePort = &RefusingMakePort;
    g_bRefuseMakePort = true;
    ASSERT_EQ(InitializeServicePropertyCallbacks(&props), 1);
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    Start();
    ASSERT_TRUE(m_log->WaitForText("-- PnP MakePort () <FALSE>"));
    EXPECT_TRUE(WaitUntil([&] { return Pending() == std::map<std::string, int>{{p->deviceName(), USBKIND_QX}}; }));

    g_bRefuseMakePort = false;
    ASSERT_TRUE(WaitUntil([&] { return Pending().empty(); }));
    std::string strName;
    EXPECT_TRUE(m_host.Properties().GetString("/QX/USB1/PortName", &strName));
    EXPECT_EQ(strName, p->deviceName());
}

}  // namespace
