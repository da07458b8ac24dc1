// The plug-and-play monitor end to end: initial enumeration, re-attaching replugged devices to
// their ports (open, released, both parts of a four-endpoint device), retries and notices.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>

#include "tests/portmanager/PnPFixture.h"

using namespace pnptest;

namespace {

using PnPStart = PnPFixture;
using PnPReplug = PnPFixture;
using PnPRetry = PnPFixture;
using PnPEnumeration = PnPFixture;

size_t ConfigProbes(const std::vector<usbsim::Record>& rs)
{
    size_t n = 0;
    for (const usbsim::Record& r : rs)
        n += r.type == usbsim::Record::Type::Control && r.bRequest == 6 && (r.wValue >> 8) == 2 ? 1 : 0;
    return n;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST_F(PnPStart, BindsDevicesAttachedBeforeInitialisation)
{
    usbsim::DevicePtr pFirst = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    usbsim::DevicePtr pSecond = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN2"));
    ConfigurePort("P1", "", "QX-K40V");
    Load();

    // SN1 comes first in name order and takes the unbound port; SN2 finds P1 bound to a device
    // that is attached and gets a port of its own.
    ASSERT_TRUE(WaitForPortProperty("P1", "PortName", pFirst->deviceName()));
    const std::string strNew = WaitForPortOf(pSecond->deviceName());
    ASSERT_EQ(strNew, "USB1");
    EXPECT_TRUE(WaitForLine("FindPortUpdate is SLn exist " + pFirst->deviceName()));
    EXPECT_EQ(PortNumber("P1", "DeviceClass"), 0u);

    void* h1 = OpenOk("QX/P1");
    void* h2 = OpenOk("QX/USB1");
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h1, ToData("first"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(m_host.Write(h2, ToData("second"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(Text(pFirst->received()), IdentifiedThen("first"));
    EXPECT_EQ(Text(pSecond->received()), IdentifiedThen("second"));
}

TEST_F(PnPStart, DevicesPluggedDuringStartUpAreHandledOnce)
{
    SignalOnPlug();
    std::vector<usbsim::DevicePtr> vecDevices;
    vecDevices.push_back(usbsim::plug(usbsim::DeviceConfig::vendorPrinter("A1")));
    std::atomic<bool> bGo{false};
    std::thread plugger([&] {
        while (!bGo.load())
            std::this_thread::yield();
        vecDevices.push_back(usbsim::plug(usbsim::DeviceConfig::vendorPrinter("A2")));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        vecDevices.push_back(usbsim::plug(usbsim::DeviceConfig::vendorPrinter("A3")));
    });
    bGo = true;
    Load();
    plugger.join();

    for (const usbsim::DevicePtr& p : vecDevices)
        EXPECT_FALSE(WaitForPortOf(p->deviceName()).empty()) << p->deviceName();
    // A device plugged after every notice so far: once it has its port, every earlier notice has
    // been taken and no pass is left to handle the others a second time.
    usbsim::DevicePtr pLast = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("Z9"));
    ASSERT_FALSE(WaitForPortOf(pLast->deviceName()).empty());
    vecDevices.push_back(pLast);
    EXPECT_EQ(Ports().size(), vecDevices.size());
    for (const usbsim::DevicePtr& p : vecDevices) {
        EXPECT_EQ(PortsNaming(p->deviceName()).size(), 1u) << p->deviceName();
        EXPECT_EQ(IdentifyRequests(p), 1u) << p->deviceName();
    }
}

TEST_F(PnPEnumeration, LowerCasePortNameMatchesTheDevice)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("abc1"));
    ASSERT_NE(pDevice->deviceName(), Lower(pDevice->deviceName()));
    ConfigurePort("P1", Lower(pDevice->deviceName()));
    // Sorts after the configured device: once it has its port the pass has passed P1's device.
    usbsim::DevicePtr pMarker = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("ZZ9"));
    Load();
    ASSERT_EQ(WaitForPortOf(pMarker->deviceName()), "USB1");

    // The device was recognised as P1's: it was never identified and got no port of its own.
    EXPECT_EQ(IdentifyRequests(pDevice), 0u);
    EXPECT_EQ(Ports().size(), 2u);
    // The open finds the device by the name held in memory, which is upper case by now.
    void* h = OpenOk("QX/P1");
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("hello"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(Text(pDevice->received()), "hello");
    // The host's property keeps its own spelling.
    EXPECT_EQ(PortProperty("P1", "PortName"), Lower(pDevice->deviceName()));
}

TEST_F(PnPReplug, OpenPortMovesToTheNewInstanceWithoutANewOpen)
{
    usbsim::DevicePtr pOld = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ConfigurePort("P1", pOld->deviceName());
    Load();
    ASSERT_TRUE(WaitForStartUpScan());
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WriteWhenReady(h, "before"));
    ASSERT_TRUE(WaitUntil([&] { return !PowerStates(h).empty(); }));
    const size_t ulEvents = PowerStates(h).size();

    usbsim::DevicePtr pNew = usbsim::replug(pOld);
    Notice();
    EXPECT_TRUE(WaitForLine("-- Port error, Port HANDLE already exists(" + HandleText(h) + ")"));
    ASSERT_TRUE(WaitForUnavailableThenReady(h, ulEvents)) << ::testing::PrintToString(PowerStates(h));
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("after"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 5u);
    EXPECT_EQ(Text(pOld->received()), "before");
    EXPECT_EQ(Text(pNew->received()), "after");

    // The same handle, opened once; no port was created and the binding stays where it was.
    size_t ulOpens = 0;
    for (const std::string& s : Lines())
        ulOpens += s.rfind("-- Open(", 0) == 0 ? 1 : 0;
    EXPECT_EQ(ulOpens, 1u);
    EXPECT_EQ(Ports().size(), 1u);
    EXPECT_EQ(IdentifyRequests(pNew), 0u);
    EXPECT_EQ(CountLines("-- Reopened(" + HandleText(h) + ") failure " + pNew->deviceName()), 0u);
}

TEST_F(PnPReplug, NewInstanceThatDoesNotOpenLeavesThePortBoundUntilTheNextNotice)
{
    usbsim::DevicePtr pOld = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ConfigurePort("P1", pOld->deviceName());
    Load();
    ASSERT_TRUE(WaitForStartUpScan());
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WriteWhenReady(h, "a"));

    usbsim::DevicePtr pNew = usbsim::replug(pOld);
    pNew->failClaim(-1);
    Notice();
    ASSERT_TRUE(WaitForLine("-- Reopened(" + HandleText(h) + ") failure " + pNew->deviceName()));
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("b"), &ulWritten), PHR_DEVICE_NOT_AVAILABLE);
    // Not treated as a new device: the port still names it.
    EXPECT_EQ(IdentifyRequests(pNew), 0u);
    EXPECT_EQ(Ports().size(), 1u);

    pNew->clearFaults();
    Notice();
    ASSERT_TRUE(WriteWhenReady(h, "c"));
    EXPECT_EQ(Text(pNew->received()), "c");
}

TEST_F(PnPReplug, ReopenKeepsThePrinterClassInStepWithTheDevice)
{
    usbsim::DevicePtr pOld = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ConfigurePort("P1", pOld->deviceName());
    Tree().SetNumber("/QX/P1/DeviceClass", 1);
    Load();
    ASSERT_TRUE(WaitForStartUpScan());
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WriteWhenReady(h, "a"));
    usbsim::DevicePtr pNew = usbsim::replug(pOld);
    Notice();
    // Enumeration reports a vendor-class device: the part follows it.
    EXPECT_TRUE(WaitUntil([&] { return PortNumber("P1", "DeviceClass") == 0u; }));
    ASSERT_TRUE(WriteWhenReady(h, "b"));
    EXPECT_EQ(Text(pNew->received()), "b");
}

TEST_F(PnPReplug, ReleasedPortHandsTheDeviceToTheNewDevicePath)
{
    usbsim::DevicePtr pOld = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ConfigurePort("P1", pOld->deviceName());
    Load();
    ASSERT_TRUE(WaitForStartUpScan());
    void* h = OpenOk("QX/P1");
    ASSERT_EQ(m_host.Ioctl(h, PH_USB_SET_DISCONNECTED, Word(1), nullptr), PHR_SUCCESS);

    usbsim::DevicePtr pNew = usbsim::replug(pOld);
    Notice();
    const std::string strExists = "-- Port error, Port HANDLE already exists(" + HandleText(h) + ")";
    const std::string strReleased = "-- Reopened(" + HandleText(h) + ") port in disconnect state " + pNew->deviceName();
    ASSERT_TRUE(WaitForLine(strReleased));
    EXPECT_LT(LineIndex(strExists), LineIndex(strReleased));
    EXPECT_GE(LineIndex(strExists), 0);

    // As a new device it is identified; P1 still names it and it is attached, so P1 is not taken
    // over and the host is asked for a port.
    EXPECT_TRUE(WaitForLine("FindPortUpdate is SLn exist " + pNew->deviceName()));
    EXPECT_TRUE(WaitUntil([&] { return PortsNaming(pNew->deviceName()).size() == 2; }));
    EXPECT_GE(IdentifyRequests(pNew), 1u);
    EXPECT_EQ(PortProperty("USB1", "PortName"), pNew->deviceName());
}

TEST_F(PnPReplug, FourEndpointDeviceReopensPrinterThenDisplay)
{
    usbsim::DevicePtr pOld = usbsim::plug(usbsim::DeviceConfig::displayPrinter("JV1"));
    ConfigurePort("P1", pOld->deviceName(), "", -1, true);
    Load();
    ASSERT_TRUE(WaitForStartUpScan());
    void* hQX = OpenOk("QX/P1");
    void* hJV = OpenOk("JV/P1");
    ASSERT_TRUE(WriteWhenReady(hQX, "p0"));
    ASSERT_TRUE(WriteWhenReady(hJV, "d0"));
    ASSERT_TRUE(WaitUntil([&] { return !PowerStates(hQX).empty() && !PowerStates(hJV).empty(); }));
    const size_t ulQX = PowerStates(hQX).size(), ulJV = PowerStates(hJV).size();

    usbsim::DevicePtr pNew = usbsim::replug(pOld);
    Notice();
    const std::string strQX = "-- Port error, Port HANDLE already exists(" + HandleText(hQX) + ")";
    const std::string strJV = "-- Port error, Port HANDLE already exists(" + HandleText(hJV) + ")";
    ASSERT_TRUE(WaitForLine(strJV));
    EXPECT_LT(LineIndex(strQX), LineIndex(strJV));
    EXPECT_GE(LineIndex(strQX), 0);
    ASSERT_TRUE(WaitForUnavailableThenReady(hQX, ulQX));
    ASSERT_TRUE(WaitForUnavailableThenReady(hJV, ulJV));

    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(hQX, ToData("p1"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(m_host.Write(hJV, ToData("d1"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(Text(pNew->received(usbsim::Channel::Printer)), "p1");
    EXPECT_EQ(Text(pNew->received(usbsim::Channel::Display)), "d1");
    EXPECT_EQ(Ports().size(), 1u);
}

TEST_F(PnPRetry, UnopenableDeviceIsRetriedUntilItOpens)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    // The first three opens (power queries) fail; nothing but the retry timer brings it back.
    pDevice->failClaim(3);
    Load();
    ASSERT_EQ(WaitForPortOf(pDevice->deviceName()), "USB1");
    EXPECT_EQ(CountLines(kPlugLine), 0u);
    EXPECT_EQ(IdentifyRequests(pDevice), 1u);
    EXPECT_EQ(PortProperty("USB1", "ModelName"), "QX-K40V");
}

TEST_F(PnPRetry, NoticeDuringARetryPassIsTakenAfterIt)
{
    // The device never answers identification, so every retry pass spends the answer window on it.
    usbsim::DevicePtr pSilent = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    pSilent->setOnlineAnswer({});
    Load();
    // The second request comes from a retry pass.
    ASSERT_TRUE(pSilent->waitUntil(
        [](const std::vector<usbsim::Record>& rs) {
            size_t n = 0;
            for (const auto& r : rs)
                n += r.type == usbsim::Record::Type::BulkOut && r.data == usbsim::onlineIdentifyRequest() ? 1 : 0;
            return n >= 2;
        },
        usbsim::Millis(20000)));
    usbsim::DevicePtr pNew = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN2"));
    Notice();

    ASSERT_EQ(WaitForPortOf(pNew->deviceName()), "USB1");
    EXPECT_EQ(CountLines(kPlugLine), 1u);
    // The silent device stays in the retries after the notice was handled.
    const size_t ulRequests = IdentifyRequests(pSilent);
    EXPECT_TRUE(WaitUntil([&] { return IdentifyRequests(pSilent) > ulRequests; }));
    EXPECT_TRUE(PortsNaming(pSilent->deviceName()).empty());
}

TEST_F(PnPEnumeration, TwoDevicesWithOneNameAreOneDevice)
{
    usbsim::DevicePtr pA = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SAME"));
    usbsim::DevicePtr pB = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SAME"));
    ASSERT_EQ(pA->deviceName(), pB->deviceName());
    usbsim::DevicePtr pMarker = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("ZZ9"));
    Load();
    ASSERT_EQ(WaitForPortOf(pMarker->deviceName()), "USB2");
    EXPECT_EQ(PortsNaming(pA->deviceName()), std::vector<std::string>{"USB1"});
    EXPECT_EQ(IdentifyRequests(pA) + IdentifyRequests(pB), 1u);
    EXPECT_EQ(Ports().size(), 2u);
}

TEST_F(PnPStart, UnloadStopsTheMonitorWhileDevicesArePending)
{
    usbsim::DevicePtr pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    pDevice->failClaim(-1);
    Load();
    // One probe from the enumeration, one per open attempt: a third means a retry has run.
    ASSERT_TRUE(pDevice->waitUntil([](const std::vector<usbsim::Record>& rs) { return ConfigProbes(rs) >= 3; },
                                   usbsim::Millis(20000)));
    m_host.Unload();
    EXPECT_FALSE(m_host.IsInitialized());
    // The process-wide retry timer went with the thread: no SIGALRM is left to come.
    itimerval timer = {};
    ASSERT_EQ(getitimer(ITIMER_REAL, &timer), 0);
    EXPECT_EQ(timer.it_value.tv_sec, 0);
    EXPECT_EQ(timer.it_value.tv_usec, 0);
}

TEST_F(PnPStart, UnloadWakesTheMonitorWithoutRunningAPass)
{
    usbsim::DevicePtr pMarker = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("ZZ9"));
    Load();
    ASSERT_FALSE(WaitForPortOf(pMarker->deviceName()).empty());
    // Attached without a notice: only a pass that the stop set off by mistake would look at it.
    usbsim::DevicePtr pUnseen = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    m_host.Unload();
    EXPECT_FALSE(m_host.IsInitialized());
    EXPECT_EQ(ConfigProbes(pUnseen->records()), 0u);
}

}  // namespace
