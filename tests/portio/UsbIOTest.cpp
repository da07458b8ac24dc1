// CUsbIO on a simulated device, with a stand-in for the port manager's binding table and an
// event recorder in place of the connection manager.
#include "portio/UsbIO.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "contract/PortHandler.h"
#include "sim/SimBus.h"
#include "tests/support/PortTestSupport.h"

using namespace porttest;

namespace {

struct RecordedEvent {
    void* hPort;
    unsigned int ulCode;
    std::vector<unsigned char> vecData;
};

// What the port manager would be for a port I/O object: the handle's device binding. A stale
// binding is dropped whatever device it holds.
struct FakeManager : CPortManagerCalls {
    std::mutex mutex;
    std::map<void*, CUSBDevice> mapDevices;
    int nCloseUSBDevice = 0;
    int nCloseHandleOnly = 0;
    int nOpenHandleOnly = 0;
    std::vector<int> vecConnectStatus;

    std::mutex eventMutex;
    std::condition_variable eventCondition;
    std::vector<RecordedEvent> vecEvents;

    CUSBDevice GetUSBDevice(void* h) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = mapDevices.find(h);
        return it == mapDevices.end() ? CUSBDevice() : it->second;
    }
    void CloseUSBDeviceIf(void* h, const CUSBDevice&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++nCloseUSBDevice;
        mapDevices.erase(h);
    }
    unsigned int OpenHandleOnly(void* h) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++nOpenHandleOnly;
        auto it = mapDevices.find(h);
        return it == mapDevices.end() ? PHR_SUCCESS : it->second.Open();
    }
    void CloseHandleOnly(void* h) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++nCloseHandleOnly;
        auto it = mapDevices.find(h);
        if (it != mapDevices.end())
            it->second.ClearReference();
    }
    int UpdateConnectStatus(void*, int v) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        vecConnectStatus.push_back(v);
        return 1;
    }
};

FakeManager* g_pFake = nullptr;

void RecordEvent(void* hPort, unsigned int ulCode, CData data)
{
    FakeManager* pFake = g_pFake;
    if (pFake == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(pFake->eventMutex);
        pFake->vecEvents.push_back({hPort, ulCode, BytesOf(data)});
    }
    pFake->eventCondition.notify_all();
}

void* const kHandle = reinterpret_cast<void*>(0x1234);

int PowerOf(const RecordedEvent& e)
{
    int n = -100;
    if (e.vecData.size() == 4)
        memcpy(&n, e.vecData.data(), 4);
    return n;
}

bool IsStatusRequest(const usbsim::Record& r, uint8_t request)
{
    return r.isVendor(request) && (r.bmRequestType & 0x80) != 0;
}

class UsbIOFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        usbsim::resetBus();
        ASSERT_TRUE(CUSBDevice::zph_usb_lib_init());
        g_pFake = &m_fake;
        CUsbIO::SetEventSink(RecordEvent);
    }
    void TearDown() override
    {
        delete m_pUsbIO;
        m_pUsbIO = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_fake.mutex);
            m_fake.mapDevices.clear();
        }
        CUsbIO::SetEventSink(nullptr);
        g_pFake = nullptr;
        CUSBDevice::zph_usb_lib_exit();
        usbsim::resetBus();
    }

    // Plugs the device, binds it to the handle and opens a port I/O object on it.
    void OpenPort(const usbsim::DeviceConfig& cfg, bool bDisplay = false, bool bPlug = true)
    {
        if (bPlug)
            m_pDevice = usbsim::plug(cfg);
        CUSBDevice device(m_pDevice->deviceName(), bDisplay ? USBKIND_JV : USBKIND_QX);
        ASSERT_EQ(device.Open(), PHR_SUCCESS);
        {
            std::lock_guard<std::mutex> lock(m_fake.mutex);
            m_fake.mapDevices.emplace(kHandle, device);
        }
        _PORT_INFO info;
        info.hPort = kHandle;
        info.ulWriteTimeout = 5000;
        info.ulOfflineTimeout = 50;
        info.ulStatusPto = 100;
        info.strPath = bDisplay ? "/JV/P1/" : "/QX/P1/";
        m_pUsbIO = new CUsbIO();
        ASSERT_TRUE(m_pUsbIO->Init(&info, &m_fake));
    }

    std::vector<RecordedEvent> Events()
    {
        std::lock_guard<std::mutex> lock(m_fake.eventMutex);
        return m_fake.vecEvents;
    }
    std::vector<int> PowerEvents()
    {
        std::vector<int> vec;
        for (const RecordedEvent& e : Events())
            if (e.ulCode == PH_EVENT_POWER_STATE)
                vec.push_back(PowerOf(e));
        return vec;
    }
    bool WaitForPowerEvents(size_t ulCount, unsigned int ulTimeoutMs = 10000)
    {
        return WaitUntil([&] { return PowerEvents().size() >= ulCount; }, ulTimeoutMs);
    }
    CTestDirectory m_dir;
    FakeManager m_fake;
    usbsim::DevicePtr m_pDevice;
    CUsbIO* m_pUsbIO = nullptr;
};

using UsbIOPower = UsbIOFixture;
using UsbIOWrite = UsbIOFixture;
using UsbIOControl = UsbIOFixture;

TEST_F(UsbIOPower, OfflineAtOpenReportsOneAtOnce)
{
    m_pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    m_pDevice->setOffline(true);
    OpenPort(m_pDevice->config(), false, false);
    ASSERT_TRUE(WaitForPowerEvents(1));
    EXPECT_EQ(PowerEvents(), std::vector<int>{1});
}

TEST_F(UsbIOPower, DisplayNotReadyGivesThreeNeverOne)
{
    m_pDevice = usbsim::plug(usbsim::DeviceConfig::displayPrinter("JV1"));
    m_pDevice->setOffline(true, usbsim::Channel::Display);
    OpenPort(m_pDevice->config(), true, false);
    ASSERT_TRUE(WaitForPowerEvents(1));
    m_pDevice->setOffline(false, usbsim::Channel::Display);
    ASSERT_TRUE(WaitForPowerEvents(2));
    m_pDevice->setOffline(true, usbsim::Channel::Display);
    ASSERT_TRUE(WaitForPowerEvents(3));
    EXPECT_EQ(PowerEvents(), (std::vector<int>{3, 0, 3}));
}

TEST_F(UsbIOPower, UnplugGivesTwoAndDropsTheBinding)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ASSERT_TRUE(WaitForPowerEvents(1));
    usbsim::unplug(m_pDevice);
    ASSERT_TRUE(WaitForPowerEvents(2));
    EXPECT_EQ(PowerEvents(), (std::vector<int>{0, 2}));
    std::lock_guard<std::mutex> lock(m_fake.mutex);
    EXPECT_GE(m_fake.nCloseUSBDevice, 1);
    EXPECT_EQ(m_fake.mapDevices.count(kHandle), 0u);
}

TEST_F(UsbIOWrite, SendsEveryByteInPieces)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    const std::vector<unsigned char> vecData = Pattern(200000);
    unsigned int ulWritten = 0;
    ASSERT_EQ(m_pUsbIO->WriteToPort(ToData(vecData), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, vecData.size());
    EXPECT_EQ(m_pDevice->received(), vecData);
    // Pieces of one protocol chunk each: three of 65535 bytes and the rest.
    int nWriteStarts = 0;
    for (const auto& r : m_pDevice->records())
        nWriteStarts += r.isVendor(0x11) ? 1 : 0;
    EXPECT_EQ(nWriteStarts, 4);
}

TEST_F(UsbIOWrite, EmptyWriteStillSwitchesToNormalFlow)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    m_pDevice->clearRecords();
    unsigned int ulWritten = 77;
    ASSERT_EQ(m_pUsbIO->WriteToPort(CData(), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 0u);
    EXPECT_TRUE(m_pDevice->waitFor([](const usbsim::Record& r) { return r.isVendor(2) && r.wValue == 0; }));
    EXPECT_TRUE(m_pDevice->received().empty());
}

TEST_F(UsbIOWrite, UnavailableDeviceFailsAtOnceWithoutCount)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    usbsim::unplug(m_pDevice);
    ASSERT_TRUE(WaitForPowerEvents(2));
    unsigned int ulWritten = 77;
    EXPECT_EQ(m_pUsbIO->WriteToPort(ToData(Pattern(10)), &ulWritten), PHR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(ulWritten, 77u);
}

TEST_F(UsbIOWrite, DisplayNotReadyWaitsTheWholeWriteTimeout)
{
    m_pDevice = usbsim::plug(usbsim::DeviceConfig::displayPrinter("JV1"));
    OpenPort(m_pDevice->config(), true, false);
    ASSERT_TRUE(WaitForPowerEvents(1));
    m_pDevice->setOffline(true, usbsim::Channel::Display);
    m_pDevice->clearRecords();
    unsigned int ulWritten = 77;
    EXPECT_EQ(m_pUsbIO->WriteToPort(ToData(Pattern(16)), &ulWritten), PHR_WRITE_TIMEOUT);
    EXPECT_EQ(ulWritten, 0u);
    EXPECT_TRUE(m_pDevice->received(usbsim::Channel::Display).empty());
    // A display part has a progress allowance like every port: it polled for seconds (10 ms
    // apart) before giving up, neither at once nor forever.
    int nPolls = 0;
    for (const auto& r : m_pDevice->records())
        nPolls += IsStatusRequest(r, 3) ? 1 : 0;
    EXPECT_GT(nPolls, 100);
}

TEST_F(UsbIOControl, ForcedFlowRefusedWithoutTheCapability)
{
    usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("SN1");
    cfg.forcedFlow = false;
    OpenPort(cfg);
    EXPECT_FALSE(m_pUsbIO->SetFlow(PH_FLOW_CONTROL_FORCE));
    EXPECT_EQ(m_pUsbIO->GetFlow(), 0);
    EXPECT_TRUE(m_pUsbIO->SetFlow(PH_FLOW_CONTROL_NORMAL));
    EXPECT_EQ(m_pUsbIO->GetFlow(), 1);
}

TEST_F(UsbIOControl, MonitoringIntervalsAndLimits)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    m_pUsbIO->SaveMonInterval(0);
    EXPECT_EQ(m_pUsbIO->GetSavedMonInterval(), 1u);
    m_pUsbIO->SaveMonInterval(100000);
    EXPECT_EQ(m_pUsbIO->GetSavedMonInterval(), 65536u);

    m_pUsbIO->SetMonInterval(false);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulStatusPto, 65536u);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulReadInterval, 65536u);
    m_pUsbIO->SetMonInterval(true);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulStatusPto, 100u);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulReadInterval, 10u);

    m_pUsbIO->SetPortProp(10, 5);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulOfflineTimeout, 10u);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulStatusPto, 100u);
    m_pUsbIO->SetPortProp(10, 250);
    EXPECT_EQ(m_pUsbIO->GetPortInfo().ulStatusPto, 250u);
}

TEST_F(UsbIOControl, DeviceRequestPassThrough)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    CData out = Word(0xDEAD);
    const unsigned char aucShort[3] = {1, 0, 0};
    EXPECT_EQ(m_pUsbIO->DevIoControl(CData(aucShort, 3), &out), PHR_INVALID_PARAMETER);

    // Receive request 1: the two status bytes.
    ASSERT_EQ(m_pUsbIO->DevIoControl(Word(0x80000001u), &out), PHR_SUCCESS);
    EXPECT_EQ(BytesOf(out), (std::vector<unsigned char>{0x00, 0x00}));  // ready, normal flow

    // Send-only request 2 (set flow, value 0): nothing comes back.
    m_pDevice->clearRecords();
    ASSERT_EQ(m_pUsbIO->DevIoControl(Word(0x40000002u), &out), PHR_SUCCESS);
    EXPECT_EQ(out.Length(), 0u);
    EXPECT_TRUE(m_pDevice->waitFor([](const usbsim::Record& r) { return r.isVendor(2) && (r.bmRequestType & 0x80) == 0; }));
}

TEST_F(UsbIOControl, ReleaseTwiceReleasesOnceAndTakingBackReconnects)
{
    OpenPort(usbsim::DeviceConfig::vendorPrinter("SN1"));
    EXPECT_EQ(m_pUsbIO->HandleDisconnect(1), PHR_SUCCESS);
    EXPECT_EQ(m_pUsbIO->HandleDisconnect(1), PHR_SUCCESS);
    EXPECT_EQ(m_pUsbIO->IsDisconnected(), 1);
    {
        std::lock_guard<std::mutex> lock(m_fake.mutex);
        EXPECT_EQ(m_fake.nCloseHandleOnly, 1);
        EXPECT_EQ(m_fake.vecConnectStatus, std::vector<int>{1});
    }
    EXPECT_EQ(m_pUsbIO->HandleDisconnect(0), PHR_SUCCESS);
    EXPECT_EQ(m_pUsbIO->HandleDisconnect(0), PHR_SUCCESS);
    EXPECT_EQ(m_pUsbIO->IsDisconnected(), 0);
    std::lock_guard<std::mutex> lock(m_fake.mutex);
    EXPECT_EQ(m_fake.nOpenHandleOnly, 1);
    EXPECT_EQ(m_fake.vecConnectStatus, (std::vector<int>{1, 0}));
}

TEST_F(UsbIOControl, InitRefusesMissingArguments)
{
    CUsbIO io;
    _PORT_INFO info;
    EXPECT_FALSE(io.Init(nullptr, &m_fake));
    EXPECT_FALSE(io.Init(&info, nullptr));
    EXPECT_TRUE(m_dir.WaitForLine("-- CUsbIO::Init : Invalid parameters are passed in."));
}

}  // namespace
