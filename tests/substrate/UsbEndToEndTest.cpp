// The shipped library end to end, through the substitute host, on whichever bus this program was
// built for: the simulated libusb, or the system libusb over emulated usbfs. The cases and their
// expectations are the same on both; a difference between the two is a fault of the simulator.
#include "tests/substrate/SubstrateFixture.h"

using namespace substrate_test;

namespace {

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
    // The enumeration claims it for a moment to read its device ID; an open meanwhile finds it busy.
    ASSERT_TRUE(dev->waitForRelease());
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
    EXPECT_EQ(dev->received(), Concat({Pattern(3000), Pattern(10, 2)}));
}

// Linux resets the alternate setting on release only when it is not already 0.
TEST_F(KernelDriver, ClosingAPortSendsNoSetInterface) {
    DevicePtr dev;
    void* h = OpenedPort(DeviceConfig::vendorPrinter("SN1"), &dev);
    ASSERT_EQ(m_host.Close(h), PHR_SUCCESS);
    ASSERT_TRUE(dev->waitForRelease());
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
        all = Concat({all, job});
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
        ulResult = m_host.Write(h, ToData(Pattern(4 << 20)), &ul);
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
    ASSERT_TRUE(prt->waitForRelease())
        << "the enumeration is done with the printer-class device";
    prt->clearRecords();
    void* h1 = OpenOk("QX/P1");
    void* h2 = OpenOk("JV/P1");
    void* h3 = OpenOk("QX/P2");
    for (void* h : {h1, h2, h3}) ASSERT_TRUE(WaitUntil([&] { return !PowerStates(h).empty(); }));
    m_host.Unload();
    EXPECT_FALSE(m_host.IsInitialized());
    for (const DevicePtr& d : {jv, prt})
        EXPECT_TRUE(d->waitForRelease())
            << d->deviceName();
    EXPECT_TRUE(prt->kernelDriverActive());
}

}  // namespace
