// The shipped library end to end, through the substitute host, on whichever bus this program was
// built for: the simulated libusb, or the system libusb over emulated usbfs. The cases and their
// expectations are the same on both; a difference between the two is a fault of the simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <thread>

#include "component/PortHandler.h"
#include "host/Host.h"
#include "tests/substrate/Substrate.h"
#include "tests/support/WaitUntil.h"
#include "tools/ScopedLogDaemon.h"
#include "tools/qxhost/HotPlugNotifier.h"

namespace {

using testsupport::WaitUntil;
using usbsim::Bytes;
using usbsim::Channel;
using usbsim::DeviceConfig;
using usbsim::DevicePtr;

CData Data(const Bytes& b) { return CData(b.data(), static_cast<unsigned int>(b.size())); }
CData Data(const std::string& s) { return Data(Bytes(s.begin(), s.end())); }
CData Word(unsigned int ul) { return CData(reinterpret_cast<const unsigned char*>(&ul), sizeof ul); }
std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes Pattern(size_t n, unsigned seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
    return b;
}
Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

class UsbEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(substrate::Ready(&why)) << substrate::Name() << ": " << why;
        ASSERT_TRUE(m_log.Ok()) << m_log.Error();
        substrate::Reset();
    }
    void TearDown() override {
        m_notifier.Stop();
        if (m_host.IsInitialized()) m_host.Unload();
        substrate::Reset();
        if (HasFailure())
            for (const LogDaemonMessage& msg : m_log.Daemon().Messages())
                printf("  log: %s\n", CLogDaemon::FormatLine(msg).c_str());
    }

    CPropertyTree& Tree() { return m_host.Properties(); }
    void ConfigurePort(const std::string& strName, const std::string& strDevice, const std::string& strModel = "",
                       bool bDisplay = false) {
        Tree().SetString("/QX/" + strName + "/PortType", "USB");
        if (!strDevice.empty()) Tree().SetString("/QX/" + strName + "/PortName", strDevice);
        if (!strModel.empty()) Tree().SetString("/QX/" + strName + "/ModelName", strModel);
        if (bDisplay) Tree().SetString("/JV/" + strName + "/PortType", "USB");
    }
    // Loads the component and checks that it runs on this substrate's libusb.
    void Load() {
        ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        const std::string strLibusb = substrate::LoadedLibusb();
        ASSERT_TRUE(substrate::IsExpectedLibusb(strLibusb)) << "libusb in use: '" << strLibusb << "'";
        ASSERT_EQ(m_host.Initialize(), 1);
    }
    void* OpenOk(const std::string& strPath) {
        void* h = m_host.NewHandle();
        EXPECT_EQ(m_host.Open(h, strPath), PHR_SUCCESS) << strPath;
        return h;
    }
    std::string PortProperty(const std::string& strPort, const std::string& strName) {
        std::string s;
        return Tree().GetString("/QX/" + strPort + "/" + strName, &s) ? s : std::string("<unset>");
    }
    unsigned int PortNumber(const std::string& strPort, const std::string& strName) {
        unsigned int ul = 0xDEADBEEFu;
        Tree().GetNumber("/QX/" + strPort + "/" + strName, &ul);
        return ul;
    }
    // The one port that names the device, once there is one; else "".
    std::string WaitForPortOf(const std::string& strDevice) {
        std::string strPort;
        WaitUntil([&] {
            std::list<std::string> ports;
            Tree().GetChildren("/QX/", ports);
            std::vector<std::string> naming;
            for (const std::string& p : ports)
                if (PortProperty(p, "PortName") == strDevice) naming.push_back(p);
            strPort = naming.size() == 1 ? naming[0] : std::string();
            return !strPort.empty();
        });
        return strPort;
    }
    std::vector<int> PowerStates(void* h) const {
        std::vector<int> vec;
        for (const HOST_EVENT& e : m_host.Events(h))
            if (e.ulCode == PH_EVENT_POWER_STATE && e.vecData.size() == 4) {
                int n;
                memcpy(&n, e.vecData.data(), 4);
                vec.push_back(n);
            }
        return vec;
    }
    bool WaitForPower(void* h, int nState) {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            return !vec.empty() && vec.back() == nState;
        });
    }
    bool WaitForUnavailableThenReady(void* h, size_t ulFrom) {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            if (vec.size() <= ulFrom) return false;
            auto it = std::find(vec.begin() + static_cast<long>(ulFrom), vec.end(), PH_POWER_UNAVAILABLE);
            return it != vec.end() && std::find(it, vec.end(), PH_POWER_READY) != vec.end();
        });
    }
    bool WriteWhenReady(void* h, const std::string& strData) {
        return WaitUntil([&] {
            unsigned int ulWritten = 0;
            return m_host.Write(h, Data(strData), &ulWritten) == PHR_SUCCESS && ulWritten == strData.size();
        });
    }
    void WriteAll(void* h, const Bytes& data) {
        unsigned int ulWritten = 0;
        EXPECT_EQ(m_host.Write(h, Data(data), &ulWritten), PHR_SUCCESS);
        EXPECT_EQ(ulWritten, data.size());
    }
    // A configured port bound to a fresh device, loaded and opened.
    void* OpenedPort(const DeviceConfig& cfg, DevicePtr* pDevice, bool bDisplay = false) {
        *pDevice = substrate::Plug(cfg);
        EXPECT_TRUE(*pDevice);
        if (!*pDevice) return nullptr;
        ConfigurePort("P1", (*pDevice)->deviceName(), "", bDisplay);
        Load();
        void* h = OpenOk("QX/P1");
        EXPECT_TRUE(WaitForPower(h, PH_POWER_READY));
        return h;
    }

    CScopedLogDaemon m_log;
    CHost m_host;
    CHotPlugNotifier m_notifier;
};

using Enumeration = UsbEndToEnd;
using Binding = UsbEndToEnd;
using Printing = UsbEndToEnd;
using Events = UsbEndToEnd;
using ControlCodes = UsbEndToEnd;
using KernelDriver = UsbEndToEnd;
using WriteFaults = UsbEndToEnd;
using HotPlug = UsbEndToEnd;
using Unload = UsbEndToEnd;

// Every kind is enumerated under its IDs and serial number, identified, and given a port by the
// host's MakePort with the model the device announced.
TEST_F(Enumeration, NewDevicesAreNamedIdentifiedAndGetPortsFromTheHost) {
    const DevicePtr qx = substrate::Plug(DeviceConfig::vendorPrinter("QX0001"));
    const DevicePtr jv = substrate::Plug(DeviceConfig::displayPrinter("JV0001"));
    const DevicePtr prt = substrate::Plug(DeviceConfig::printerClassDevice("PRT0001"));
    ASSERT_TRUE(qx && jv && prt);
    EXPECT_EQ(qx->deviceName(), "USB#VID_0XFFFF##PID_0X202QX0001");
    EXPECT_EQ(prt->deviceName(), "USB#VID_0XFFFF##PID_0XE01PRT0001");
    Load();
    for (const DevicePtr& d : {qx, jv, prt}) {
        const std::string strPort = WaitForPortOf(d->deviceName());
        ASSERT_FALSE(strPort.empty()) << d->deviceName();
        EXPECT_EQ(PortProperty(strPort, "ModelName"), d->config().model) << d->deviceName();
        EXPECT_EQ(PortNumber(strPort, "DeviceID"), 0x20u) << d->deviceName();
        const Bytes received = d->received();
        EXPECT_NE(std::search(received.begin(), received.end(), usbsim::onlineIdentifyRequest().begin(),
                              usbsim::onlineIdentifyRequest().end()),
                  received.end())
            << d->deviceName() << " was not asked for its model";
    }
}

TEST_F(Binding, PortWaitingForAModelIsBoundToTheDeviceAndPrints) {
    ConfigurePort("P1", "", "QX-K40V");
    const DevicePtr dev = substrate::Plug(DeviceConfig::vendorPrinter("SN1"));
    Load();
    ASSERT_TRUE(WaitUntil([&] { return PortProperty("P1", "PortName") == dev->deviceName(); }));
    void* h = OpenOk("QX/P1");
    WriteAll(h, Bytes{'h', 'i'});
    EXPECT_EQ(Text(dev->received()), Text(usbsim::onlineIdentifyRequest()) + "hi");
}

TEST_F(Printing, BothChannelsOfADisplayPrinterGetTheirOwnBytes) {
    DevicePtr dev;
    void* hPrinter = OpenedPort(DeviceConfig::displayPrinter("JV1"), &dev, true);
    void* hDisplay = OpenOk("JV/P1");
    const Bytes receipt = Pattern(150000);
    WriteAll(hPrinter, receipt);
    WriteAll(hDisplay, Bytes{'\f', 'T', 'O', 'T', 'A', 'L', ' ', '5', '.', '3', '0'});
    EXPECT_EQ(dev->received(Channel::Printer), receipt);
    EXPECT_EQ(Text(dev->received(Channel::Display)), "\fTOTAL 5.30");
}

TEST_F(Events, PowerChangesAndInputReachTheHost) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    dev->setOffline(true);
    EXPECT_TRUE(WaitForPower(h, PH_POWER_NOT_READY));
    dev->setOffline(false);
    EXPECT_TRUE(WaitForPower(h, PH_POWER_READY));
    dev->queueInput({0x41, 0x42});
    HOST_EVENT ev;
    ASSERT_TRUE(m_host.WaitForEvent(h, PH_EVENT_INPUT_DATA, 20000, &ev));
    EXPECT_EQ(ev.vecData, (std::vector<unsigned char>{0x41, 0x42}));
}

TEST_F(ControlCodes, PowerStateFlowControlAndVendorPassThrough) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    CData out;
    ASSERT_EQ(m_host.Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
    ASSERT_EQ(out.Length(), 4u);
    EXPECT_EQ(out.Buffer()[0], 0);
    // Forced flow control lets a write through to a printer that is not ready.
    dev->setOffline(true);
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_SET_FLOW_CONTROL, Word(PH_FLOW_CONTROL_FORCE), nullptr), PHR_SUCCESS);
    WriteAll(h, Bytes{'a', 'b', 'c', 'd', 'e'});
    EXPECT_EQ(Text(dev->received()), "abcde");
    // Read request 18 (the count since the write start), then send request 17 (a write start).
    CData count;
    ASSERT_EQ(m_host.Ioctl(h, PH_USB_DEVICE_IOCTL, Word(0x80000000u | 18), &count), PHR_SUCCESS);
    ASSERT_GE(count.Length(), 2u);
    EXPECT_EQ(count.Buffer()[0] | count.Buffer()[1] << 8, 5);
    dev->clearRecords();
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_DEVICE_IOCTL, Word(0x40000000u | 17), &out), PHR_SUCCESS);
    EXPECT_TRUE(dev->waitFor([](const usbsim::Record& r) { return r.isVendor(17) && r.bmRequestType == 0x41; }));
}

// usblp holds a printer-class interface; the port takes it over while open and gives it back.
TEST_F(KernelDriver, PrinterClassDriverIsDetachedWhileOpenAndReattachedAfter) {
    const DevicePtr dev = substrate::Plug(DeviceConfig::printerClassDevice("PRT1"));
    ConfigurePort("P1", dev->deviceName());
    Tree().SetNumber("/QX/P1/DeviceClass", 2);
    Load();
    ASSERT_TRUE(WaitUntil([&] { return dev->kernelDriverActive(); })) << "enumeration gives it back";
    void* h = OpenOk("QX/P1");
    EXPECT_FALSE(dev->kernelDriverActive());
    WriteAll(h, Pattern(3000));
    EXPECT_EQ(dev->received(), Pattern(3000));
    ASSERT_EQ(m_host.Close(h), PHR_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] { return dev->kernelDriverActive(); }));
    h = OpenOk("QX/P1");
    EXPECT_FALSE(dev->kernelDriverActive());
    WriteAll(h, Pattern(10, 2));
    EXPECT_EQ(dev->received(), Concat(Pattern(3000), Pattern(10, 2)));
}

// Linux resets the alternate setting on release only when it is not already 0.
TEST_F(KernelDriver, ClosingAPortSendsNoSetInterface) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    ASSERT_EQ(m_host.Close(h), PHR_SUCCESS);
    ASSERT_TRUE(dev->waitFor([](const usbsim::Record& r) { return r.type == usbsim::Record::Type::Release; }));
    for (const usbsim::Record& r : dev->records())
        EXPECT_FALSE(r.type == usbsim::Record::Type::Control && r.bmRequestType == 0x01 && r.bRequest == 11)
            << "SET_INTERFACE " << r.wValue;
}

// A stall and a time-out in the middle of a write: the write asks how much the device took,
// clears the halt and goes on, so every byte arrives once and in order.
TEST_F(WriteFaults, StallAndTimeOutMidWriteLoseNothing) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    Bytes all;
    unsigned seed = 1;
    for (usbsim::FaultAction action : {usbsim::FaultAction::Stall, usbsim::FaultAction::Timeout}) {
        usbsim::BulkOutFault fault;
        fault.afterBytes = 70000;
        fault.action = action;
        dev->addBulkOutFault(fault);
        const Bytes job = Pattern(100000, ++seed);
        WriteAll(h, job);
        all = Concat(all, job);
    }
    EXPECT_EQ(dev->received(), all);
}

TEST_F(HotPlug, UnplugDuringAWriteEndsItAndReportsTheDeviceUnavailable) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    std::atomic<unsigned int> ulResult{0};
    std::atomic<unsigned int> ulWritten{0};
    std::thread writer([&] {
        CHost::BlockHotPlugSignals();
        unsigned int ul = 0;
        ulResult = m_host.Write(h, Data(Pattern(4 << 20)), &ul);
        ulWritten = ul;
    });
    ASSERT_TRUE(dev->waitForReceived(100000));
    substrate::Unplug(dev);
    writer.join();
    EXPECT_EQ(ulResult.load(), PHR_DEVICE_NOT_AVAILABLE);
    EXPECT_LE(ulWritten.load(), dev->received().size()) << "reported bytes the device never took";
    EXPECT_TRUE(WaitForPower(h, PH_POWER_UNAVAILABLE));
}

// libusb's own arrival notice, turned into SIGUSR1 as a host's notifier does, brings the open port
// over to the new instance; a plain SIGUSR1 does the same.
TEST_F(HotPlug, ReplugWithTheLibusbNoticeRebindsTheOpenPort) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    std::string why;
    ASSERT_TRUE(m_notifier.Start(KORVO_USB_VENDOR_ID, &why)) << why;
    ASSERT_TRUE(WriteWhenReady(h, "before"));
    const size_t ulFrom = PowerStates(h).size();
    const unsigned ulArrivals = m_notifier.ArrivalCount();
    const DevicePtr fresh = substrate::Replug(dev);
    ASSERT_TRUE(WaitUntil([&] { return m_notifier.ArrivalCount() > ulArrivals; })) << "no libusb notice";
    ASSERT_TRUE(WaitForUnavailableThenReady(h, ulFrom)) << ::testing::PrintToString(PowerStates(h));
    ASSERT_TRUE(WriteWhenReady(h, "after"));
    EXPECT_EQ(Text(dev->received()), "before");
    EXPECT_EQ(Text(fresh->received()), "after");
}

TEST_F(HotPlug, ReplugWithAPlainSignalRebindsTheOpenPort) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::displayPrinter("JV1"), &dev, true);
    void* hDisplay = OpenOk("JV/P1");
    const size_t ulFrom = PowerStates(h).size();
    const DevicePtr fresh = substrate::Replug(dev);
    ASSERT_TRUE(CHost::SendHotPlugNotice());
    ASSERT_TRUE(WaitForUnavailableThenReady(h, ulFrom)) << ::testing::PrintToString(PowerStates(h));
    ASSERT_TRUE(WriteWhenReady(h, "printer"));
    ASSERT_TRUE(WriteWhenReady(hDisplay, "display"));
    EXPECT_EQ(Text(fresh->received(Channel::Printer)), "printer");
    EXPECT_EQ(Text(fresh->received(Channel::Display)), "display");
}

TEST_F(Unload, WithPortsOpenGivesEveryDeviceBack) {
    const DevicePtr jv = substrate::Plug(DeviceConfig::displayPrinter("JV1"));
    const DevicePtr prt = substrate::Plug(DeviceConfig::printerClassDevice("PRT1"));
    ConfigurePort("P1", jv->deviceName(), "", true);
    ConfigurePort("P2", prt->deviceName());
    Tree().SetNumber("/QX/P2/DeviceClass", 2);
    Load();
    void* h1 = OpenOk("QX/P1");
    void* h2 = OpenOk("JV/P1");
    void* h3 = OpenOk("QX/P2");
    for (void* h : {h1, h2, h3}) ASSERT_TRUE(WaitUntil([&] { return !PowerStates(h).empty(); }));
    m_host.Unload();
    EXPECT_FALSE(m_host.IsInitialized());
    for (const DevicePtr& d : {jv, prt})
        EXPECT_TRUE(d->waitFor([](const usbsim::Record& r) { return r.type == usbsim::Record::Type::Release; }))
            << d->deviceName();
    EXPECT_TRUE(prt->kernelDriverActive());
}

}  // namespace
