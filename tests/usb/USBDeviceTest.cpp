// CUSBDevice: copies and the shared connection, the per-kind operations and the control codes.
#include <gmock/gmock.h>

#include "UsbSimFixture.h"
#include "contract/Data.h"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using usbsim::DeviceConfig;

namespace {

void* const kPort = reinterpret_cast<void*>(static_cast<intptr_t>(7));

class UsbDevice : public UsbSimTest {
protected:
    // Plugs the device and opens a device object of the given kind on it; the records of the
    // open are dropped.
    std::unique_ptr<CUSBDevice> PlugOpen(const DeviceConfig& cfg, int nKind,
                                         usbsim::DevicePtr* pDev) {
        *pDev = usbsim::plug(cfg);
        auto p = std::make_unique<CUSBDevice>((*pDev)->deviceName(), nKind);
        EXPECT_EQ(p->Open(), USBR_SUCCESS);
        (*pDev)->clearRecords();
        return p;
    }
};

class UsbDeviceCopies : public UsbDevice {};
class UsbDeviceOpen : public UsbDevice {};
class UsbDeviceControl : public UsbDevice {};
class UsbDeviceFlow : public UsbDevice {};
class UsbDeviceIO : public UsbDevice {};

unsigned int Timeouts(CUSBDevice& dev, unsigned int ulRead, unsigned int ulWrite) {
    unsigned int aul[8] = {0, ulRead, 0, ulWrite, 0, 0, 0, 0};
    return dev.Ioctl(USBDEV_SET_TIMEOUTS, aul, sizeof(aul), nullptr, 0, nullptr);
}

}  // namespace

TEST_F(UsbDeviceOpen, OpenSetsTimeoutsAndNormalFlow) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("O1"));
    CUSBDevice d(dev->deviceName(), USBKIND_QX);
    ASSERT_EQ(d.Open(), USBR_SUCCESS);
    ASSERT_NE(d.GetContext(), nullptr);
    EXPECT_EQ(d.GetContext()->nReadTimeout, 5000);
    EXPECT_EQ(d.GetContext()->nWriteTimeout, 1000);
    EXPECT_EQ(ProtocolTrace(dev).back(), "OUT 2=0");

    // The display kind sets its flow control on the display channel.
    auto jv = usbsim::plug(DeviceConfig::displayPrinter("O2"));
    CUSBDevice e(jv->deviceName(), USBKIND_JV);
    ASSERT_EQ(e.Open(), USBR_SUCCESS);
    EXPECT_EQ(ProtocolTrace(jv).back(), "OUT 4=0");
}

TEST_F(UsbDeviceOpen, MissingDeviceIsNotConnectedAndLeavesNoContext) {
    CUSBDevice d(NameOf(0x202, "ABSENT"), USBKIND_QX);
    EXPECT_EQ(d.Open(), USBR_NOT_CONNECTED);
    EXPECT_EQ(d.GetContext(), nullptr);

    DeviceConfig cfg = DeviceConfig::vendorPrinter("CLAIMFAIL");
    auto dev = usbsim::plug(cfg);
    dev->failClaim(1);
    CUSBDevice e(dev->deviceName(), USBKIND_PRT);
    EXPECT_EQ(e.Open(), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(e.GetContext(), nullptr);
}

TEST_F(UsbDeviceOpen, UnknownKindHasNoOperations) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("K3"));
    CUSBDevice d(dev->deviceName(), 3);
    EXPECT_EQ(d.GetKind(), USBKIND_QX);
    EXPECT_EQ(d.Open(), USBR_DEVICE_NOT_AVAILABLE);
    CUSBDevice e;
    EXPECT_EQ(e.Open(), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(e.GetKind(), USBKIND_QX);
    EXPECT_THAT(ProtocolTrace(dev), IsEmpty());
}

TEST_F(UsbDeviceOpen, ClosedObjectAnswersWithoutTouchingUSB) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("CLOSED"));
    CUSBDevice d(dev->deviceName(), USBKIND_QX);
    unsigned char auc[4] = {1, 2, 3, 4};
    unsigned int ul = 99;
    CData data;
    EXPECT_EQ(d.Reset(), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(d.GetStatus(), DeviceStatus::Unavailable);
    EXPECT_EQ(d.CanSetFlowControl(), 0);
    EXPECT_EQ(d.SetFlowControl(kPort, USB_FLOW_CONTROL_NORMAL), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(d.Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 2, &ul), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(d.Write(auc, 4, &ul, kPort), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(d.Read(&data, kPort), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(ul, 99u);
    EXPECT_THAT(Trace(dev), IsEmpty());
}

TEST_F(UsbDeviceCopies, OnlyASoleHolderOpens) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("SOLE"));
    CUSBDevice a(dev->deviceName(), USBKIND_QX);
    {
        CUSBDevice b(a);
        EXPECT_EQ(b.Open(), USBR_SUCCESS);
        EXPECT_EQ(b.GetContext(), nullptr) << "a copy with another holder does not open";
        EXPECT_EQ(a.Open(), USBR_SUCCESS);
        EXPECT_EQ(a.GetContext(), nullptr);
    }
    EXPECT_THAT(ProtocolTrace(dev), IsEmpty());
    ASSERT_EQ(a.Open(), USBR_SUCCESS);
    ASSERT_NE(a.GetContext(), nullptr);
    EXPECT_EQ(CountOf(ProtocolTrace(dev), "CLAIM"), 1u);

    // Copies of the open device carry their own context on the same handle.
    CUSBDevice c(a);
    ASSERT_NE(c.GetContext(), nullptr);
    EXPECT_NE(c.GetContext(), a.GetContext());
    EXPECT_EQ(c.GetContext()->pHandle, a.GetContext()->pHandle);
    EXPECT_EQ(c.GetDeviceName(), a.GetDeviceName());
    // A second open of the sole holder neither fails nor opens twice.
    c = CUSBDevice();
    EXPECT_EQ(a.Open(), USBR_SUCCESS);
    EXPECT_EQ(CountOf(ProtocolTrace(dev), "CLAIM"), 1u);
}

TEST_F(UsbDeviceCopies, CopiesHavePrivateTimeouts) {
    usbsim::DevicePtr dev;
    auto a = PlugOpen(DeviceConfig::vendorPrinter("PRIV"), USBKIND_QX, &dev);
    CUSBDevice b(*a);
    EXPECT_EQ(Timeouts(b, 10, 9000), USBR_SUCCESS);
    EXPECT_EQ(b.GetContext()->nReadTimeout, 50);
    EXPECT_EQ(b.GetContext()->nWriteTimeout, 5000);
    EXPECT_EQ(a->GetContext()->nReadTimeout, 5000);
    EXPECT_EQ(a->GetContext()->nWriteTimeout, 1000);
}

TEST_F(UsbDeviceCopies, ReleasingTheLastCopyClosesAndReattachesTheKernelDriver) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("LAST");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    usbsim::DevicePtr dev;
    auto a = PlugOpen(cfg, USBKIND_QX, &dev);
    auto b = std::make_unique<CUSBDevice>(*a);
    CUSBDevice c;
    c = *b;

    a.reset();
    b.reset();
    EXPECT_THAT(Trace(dev), IsEmpty()) << "the handle stays open for the remaining copy";
    EXPECT_EQ(c.GetStatus(), DeviceStatus::Ready);

    dev->clearRecords();
    c = CUSBDevice();
    EXPECT_THAT(ProtocolTrace(dev), ElementsAre("CLEAR_HALT 01", "CLEAR_HALT 82", "RELEASE"));
    // The device can be opened again, so the kernel driver had it back and the claim is gone.
    CUSBDevice d(dev->deviceName(), USBKIND_QX);
    EXPECT_EQ(d.Open(), USBR_SUCCESS);
}

TEST_F(UsbDeviceCopies, ExplicitClearReferenceIsNotCountedTwice) {
    usbsim::DevicePtr dev;
    auto a = PlugOpen(DeviceConfig::vendorPrinter("CLR"), USBKIND_QX, &dev);
    {
        CUSBDevice b(*a);
        b.ClearReference();
        EXPECT_EQ(b.GetContext(), nullptr);
    }  // b's destructor must not drop a's reference again
    EXPECT_EQ(a->GetStatus(), DeviceStatus::Ready);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1"));
    a.reset();
    EXPECT_EQ(CountOf(Trace(dev), "RELEASE"), 1u) << "the last holder closes";
}

TEST_F(UsbDeviceCopies, CopyWithKindServesTheDisplayChannel) {
    usbsim::DevicePtr dev;
    auto qx = PlugOpen(DeviceConfig::displayPrinter("BOTH"), USBKIND_QX, &dev);
    CUSBDevice jv(*qx, USBKIND_JV);
    EXPECT_EQ(jv.GetKind(), USBKIND_JV);
    unsigned char aucP[] = {'p'};
    unsigned char aucD[] = {'d', 'd'};
    unsigned int ul = 0;
    EXPECT_EQ(qx->Write(aucP, 1, &ul, kPort), USBR_SUCCESS);
    EXPECT_EQ(jv.Write(aucD, 2, &ul, kPort), USBR_SUCCESS);
    EXPECT_EQ(ul, 2u);
    EXPECT_EQ(dev->received(usbsim::Channel::Printer), usbsim::Bytes({'p'}));
    EXPECT_EQ(dev->received(usbsim::Channel::Display), usbsim::Bytes({'d', 'd'}));
    EXPECT_EQ(jv.Reset(), USBR_NOT_SUPPORTED);

    CUSBDevice odd(*qx, 5);
    EXPECT_EQ(odd.GetKind(), 5);
    unsigned int ulT = 99;
    EXPECT_EQ(odd.Ioctl(USBDEV_GET_STATUS, nullptr, 0, nullptr, 0, &ulT), USBR_SUCCESS);
    EXPECT_EQ(ulT, 0u);
    EXPECT_EQ(odd.Write(aucP, 1, &ul, kPort), USBR_SUCCESS);
    EXPECT_EQ(ul, 0u);
    EXPECT_EQ(dev->received(usbsim::Channel::Printer), usbsim::Bytes({'p'}));
}

TEST_F(UsbDeviceCopies, CopiesMadeAndReleasedOnManyThreadsCloseOnce) {
    usbsim::DevicePtr dev;
    auto a = PlugOpen(DeviceConfig::vendorPrinter("MT"), USBKIND_QX, &dev);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&a] {
            for (int i = 0; i < 200; ++i) {
                CUSBDevice b(*a);
                CUSBDevice c(b, USBKIND_PRT);
                c = b;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_THAT(Trace(dev), IsEmpty());
    EXPECT_EQ(a->GetStatus(), DeviceStatus::Ready) << "still open";
    a.reset();
    EXPECT_EQ(CountOf(Trace(dev), "RELEASE"), 1u);
}

TEST_F(UsbDeviceControl, ResetPerKind) {
    usbsim::DevicePtr dev;
    auto qx = PlugOpen(DeviceConfig::displayPrinter("RST"), USBKIND_QX, &dev);
    EXPECT_EQ(qx->Reset(), USBR_SUCCESS);
    EXPECT_THAT(Trace(dev), ElementsAre("OUT 127=0"));

    // The printer-class kind succeeds even when the device refuses the request.
    dev->clearRecords();
    usbsim::ControlFault f;
    f.bmRequestType = 0x41;
    f.bRequest = 127;
    f.count = -1;
    dev->addControlFault(f);
    CUSBDevice prt(*qx, USBKIND_PRT);
    EXPECT_EQ(prt.Reset(), USBR_SUCCESS);
    EXPECT_THAT(Trace(dev), ElementsAre("OUT 127=0"));

    dev->clearRecords();
    CUSBDevice jv(*qx, USBKIND_JV);
    EXPECT_EQ(jv.Reset(), USBR_NOT_SUPPORTED);
    EXPECT_THAT(Trace(dev), IsEmpty());
}

TEST_F(UsbDeviceControl, TimeoutsAreClampedAndNeedEightValues) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("TMO"), USBKIND_QX, &dev);
    unsigned int ul = 77;
    unsigned int aul[8] = {1, 10, 2, 9000, 3, 4, 5, 6};
    EXPECT_EQ(d->Ioctl(USBDEV_SET_TIMEOUTS, aul, sizeof(aul), nullptr, 0, &ul), USBR_SUCCESS);
    EXPECT_EQ(ul, 0u);
    EXPECT_EQ(d->GetContext()->nReadTimeout, 50);
    EXPECT_EQ(d->GetContext()->nWriteTimeout, 5000);
    EXPECT_EQ(Timeouts(*d, 50, 5000), USBR_SUCCESS);
    EXPECT_EQ(d->GetContext()->nReadTimeout, 50);
    EXPECT_EQ(d->GetContext()->nWriteTimeout, 5000);
    EXPECT_EQ(Timeouts(*d, 1234, 49), USBR_SUCCESS);
    EXPECT_EQ(d->GetContext()->nReadTimeout, 1234);
    EXPECT_EQ(d->GetContext()->nWriteTimeout, 50);

    // Fewer than eight values are refused rather than read beyond the input.
    EXPECT_EQ(d->Ioctl(USBDEV_SET_TIMEOUTS, aul, 16, nullptr, 0, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(d->Ioctl(USBDEV_SET_TIMEOUTS, nullptr, 32, nullptr, 0, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(d->GetContext()->nReadTimeout, 1234);
    EXPECT_THAT(Trace(dev), IsEmpty());
}

TEST_F(UsbDeviceControl, CapabilityStatusAndFlowRequestsPerKind) {
    DeviceConfig cfg = DeviceConfig::displayPrinter("REQ");
    cfg.capabilityWord = 0x0206;
    usbsim::DevicePtr dev;
    auto qx = PlugOpen(cfg, USBKIND_QX, &dev);
    CUSBDevice prt(*qx, USBKIND_PRT);
    CUSBDevice jv(*qx, USBKIND_JV);
    unsigned char auc[2] = {0, 0};
    unsigned int ul = 0;
    unsigned short usFlow = 2;

    EXPECT_EQ(qx->Ioctl(USBDEV_GET_CAPABILITY, nullptr, 0, auc, 2, &ul), USBR_SUCCESS);
    EXPECT_EQ(ul, 2u);
    EXPECT_EQ(auc[0], 0x06);
    EXPECT_EQ(auc[1], 0x02);
    EXPECT_EQ(qx->Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 2, &ul), USBR_SUCCESS);
    EXPECT_EQ(prt.Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 2, &ul), USBR_SUCCESS);
    EXPECT_EQ(jv.Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 2, &ul), USBR_SUCCESS);
    EXPECT_EQ(jv.Ioctl(USBDEV_GET_CAPABILITY, nullptr, 0, auc, 2, &ul), USBR_SUCCESS);
    EXPECT_EQ(qx->Ioctl(USBDEV_SET_FLOW, &usFlow, 2, nullptr, 0, &ul), USBR_SUCCESS);
    EXPECT_EQ(prt.Ioctl(USBDEV_SET_FLOW, &usFlow, 2, nullptr, 0, &ul), USBR_SUCCESS);
    EXPECT_EQ(jv.Ioctl(USBDEV_SET_FLOW, &usFlow, 2, nullptr, 0, &ul), USBR_SUCCESS);
    EXPECT_EQ(jv.Ioctl(USBDEV_RESET, nullptr, 0, nullptr, 0, &ul), USBR_SUCCESS);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 0", "IN 1", "IN 1", "IN 3", "IN 0", "OUT 2=2",
                                        "OUT 2=2", "OUT 4=2", "OUT 127=0"));
}

TEST_F(UsbDeviceControl, ReceiveCodesNeedTwoBytesEachWay) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("TWO"), USBKIND_QX, &dev);
    unsigned char auc[2] = {0xEE, 0xEE};
    unsigned int ul = 55;
    // A one-byte output buffer cannot take the reply: refused, nothing sent.
    EXPECT_EQ(d->Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 1, &ul), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(d->Ioctl(USBDEV_GET_CAPABILITY, nullptr, 0, nullptr, 2, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(d->Ioctl(USBDEV_SET_FLOW, auc, 1, nullptr, 0, &ul), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_THAT(Trace(dev), IsEmpty());
    EXPECT_EQ(ul, 55u) << "a failing code stores no transfer result";

    // A device that answers one byte fails the code.
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 1;
    f.count = 2;
    f.action = usbsim::FaultAction::Short;
    dev->addControlFault(f);
    EXPECT_EQ(d->Ioctl(USBDEV_GET_STATUS, nullptr, 0, auc, 2, &ul), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ul, 55u);
}

TEST_F(UsbDeviceControl, VendorRequestPassThroughBits) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("PASS"), USBKIND_QX, &dev);
    unsigned char aucOut[4096];
    unsigned int ul = 99;

    unsigned int ulWord = 0x80000012;  // read request 18
    EXPECT_EQ(d->Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, aucOut, sizeof(aucOut), &ul),
              USBR_SUCCESS);
    EXPECT_EQ(ul, 2u);
    ulWord = 0x40000011;  // send request 17
    EXPECT_EQ(d->Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, aucOut, sizeof(aucOut), &ul),
              USBR_SUCCESS);
    EXPECT_EQ(ul, 0u);
    ulWord = 0xC0000001;  // read request 1, then send request 1
    EXPECT_EQ(d->Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, aucOut, sizeof(aucOut), &ul),
              USBR_SUCCESS);
    ulWord = 0x00000005;  // neither bit: nothing is sent
    ul = 99;
    EXPECT_EQ(d->Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, aucOut, sizeof(aucOut), &ul),
              USBR_SUCCESS);
    EXPECT_EQ(ul, 0u);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 18", "OUT 17=0", "IN 1", "OUT 1=0"));
    std::vector<usbsim::Record> rs = dev->records();
    EXPECT_EQ(rs[0].wLength, 4096) << "the receive asks for the caller's whole buffer";
    EXPECT_EQ(rs[2].wLength, 4096);

    // The input must hold the request word.
    EXPECT_EQ(d->Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 3, aucOut, sizeof(aucOut), &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
}

TEST_F(UsbDeviceControl, UnrecognisedCodesAreLoggedPerKind) {
    usbsim::DevicePtr dev;
    auto qx = PlugOpen(DeviceConfig::displayPrinter("UNK"), USBKIND_QX, &dev);
    CUSBDevice prt(*qx, USBKIND_PRT);
    CUSBDevice jv(*qx, USBKIND_JV);
    unsigned int ulWord = 0x80000001;
    unsigned char auc[64] = {0};
    unsigned int ul = 42;
    EXPECT_EQ(qx->Ioctl(0x99, nullptr, 0, nullptr, 0, &ul), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(qx->Ioctl(USBDEV_CLASS_REQUEST, auc, sizeof(auc), nullptr, 0, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(prt.Ioctl(USBDEV_CLASS_REQUEST, auc, sizeof(auc), nullptr, 0, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(prt.Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, auc, 2, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(jv.Ioctl(USBDEV_VENDOR_REQUEST, &ulWord, 4, auc, 2, &ul),
              USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(jv.Ioctl(0xFFFFFFFF, nullptr, 0, nullptr, 0, &ul), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ul, 42u);
    EXPECT_THAT(LoggedTexts(), ElementsAre("-- CUSBDevice::QXIoctl(00000099) <FALSE>",
                                           "-- CUSBDevice::QXIoctl(00000080) <FALSE>",
                                           "-- CUSBDevice::PRTIoctl(00000080) <FALSE>",
                                           "-- CUSBDevice::PRTIoctl(00000081) <FALSE>",
                                           "-- CUSBDevice::JVIoctl(00000081) <FALSE>",
                                           "-- CUSBDevice::JVIoctl(FFFFFFFF) <FALSE>"));
    EXPECT_THAT(Trace(dev), IsEmpty()) << "the class request leaves the caller's input alone";
    EXPECT_EQ(auc[0], 0);
}

TEST_F(UsbDeviceControl, PrinterClassReceiveAsksTheInterface) {
    DeviceConfig cfg = DeviceConfig::printerClassDevice("CLS", "QORA/CS");
    usbsim::DevicePtr dev;
    auto prt = PlugOpen(cfg, USBKIND_PRT, &dev);
    unsigned char auc[1024];
    int r = CUSBDevice::zph_usb_ctl_rev_prtclass(prt->GetContext(), 0, auc, sizeof(auc));
    ASSERT_GT(r, 2);
    const std::string strId(reinterpret_cast<char*>(auc) + 2, static_cast<size_t>(r - 2));
    EXPECT_EQ(strId, cfg.ieee1284Id);
    EXPECT_THAT(Trace(dev), ElementsAre("CLASS a1/0"));
    EXPECT_EQ(dev->records()[0].wLength, 1024);
}

TEST_F(UsbDeviceFlow, ArgumentChecks) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("FLOW0"), USBKIND_QX, &dev);
    EXPECT_EQ(d->SetFlowControl(kPort, 0), USBR_INVALID_PARAMETER);
    EXPECT_EQ(d->SetFlowControl(kPort, 3), USBR_INVALID_PARAMETER);
    EXPECT_THAT(Trace(dev), IsEmpty());
}

TEST_F(UsbDeviceFlow, ForcedAndNormalAreReadBack) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("FLOW1"), USBKIND_QX, &dev);
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_FORCE), USBR_SUCCESS);
    EXPECT_TRUE(dev->forcedFlow());
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_NORMAL), USBR_SUCCESS);
    EXPECT_FALSE(dev->forcedFlow());
    EXPECT_THAT(Trace(dev), ElementsAre("OUT 2=2", "IN 1", "OUT 2=0", "IN 1"));
    EXPECT_THAT(LoggedTexts(),
                ElementsAre("-- USB SetPortFlowCtrl(7, PH_FLOW_CONTROL_FORCE) <PHR_SUCCESS>",
                            "-- USB SetPortFlowCtrl(7, PH_FLOW_CONTROL_NORMAL) <PHR_SUCCESS>"));
}

TEST_F(UsbDeviceFlow, DisplayKindUsesTheDisplayRequests) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::displayPrinter("FLOWJV"), USBKIND_JV, &dev);
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_FORCE), USBR_SUCCESS);
    EXPECT_TRUE(dev->forcedFlow(usbsim::Channel::Display));
    EXPECT_FALSE(dev->forcedFlow(usbsim::Channel::Printer));
    EXPECT_THAT(Trace(dev), ElementsAre("OUT 4=2", "IN 3"));
}

TEST_F(UsbDeviceFlow, ReadBackMismatchIsAnError) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("FLOW2"), USBKIND_QX, &dev);
    dev->setStatusOverride(0x0000);  // never reports forced flow
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_FORCE), USBR_UNEXPECTED_SYSTEM_ERROR);
    dev->setStatusOverride(0x0002);  // always reports forced flow
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_NORMAL), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_THAT(LoggedTexts(), IsEmpty());
}

TEST_F(UsbDeviceFlow, FailingStatusReadIsReturned) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("FLOW3"), USBKIND_QX, &dev);
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 1;
    f.count = -1;
    dev->addControlFault(f);
    EXPECT_EQ(d->SetFlowControl(kPort, USB_FLOW_CONTROL_NORMAL), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(d->GetStatus(), DeviceStatus::Unavailable);
}

TEST_F(UsbDeviceFlow, CanSetFlowControlFollowsCapabilityBitOne) {
    DeviceConfig with = DeviceConfig::vendorPrinter("CAN1");
    with.forcedFlow = true;
    DeviceConfig without = DeviceConfig::vendorPrinter("CAN0");
    without.forcedFlow = false;
    usbsim::DevicePtr dev1, dev0;
    auto d1 = PlugOpen(with, USBKIND_QX, &dev1);
    auto d0 = PlugOpen(without, USBKIND_QX, &dev0);
    EXPECT_EQ(d1->CanSetFlowControl(), 1);
    EXPECT_EQ(d0->CanSetFlowControl(), 0);
    EXPECT_THAT(ProtocolTrace(dev1), ElementsAre("IN 0"));
}

TEST_F(UsbDeviceFlow, StatusIsBitZero) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("STAT"), USBKIND_QX, &dev);
    EXPECT_EQ(d->GetStatus(), DeviceStatus::Ready);
    dev->setOffline(true);
    EXPECT_EQ(d->GetStatus(), DeviceStatus::NotReady);
    dev->setStatusOverride(0xFFFE);
    EXPECT_EQ(d->GetStatus(), DeviceStatus::Ready);
}

TEST_F(UsbDeviceIO, WriteLogsTheHandleTimeAndBytes) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("WLOG");
    cfg.capabilityWord = 0x04;
    usbsim::DevicePtr dev;
    auto d = PlugOpen(cfg, USBKIND_QX, &dev);
    usbsim::Bytes data = Pattern(5000);
    unsigned int ul = 0;
    EXPECT_EQ(d->Write(data.data(), 5000, &ul, kPort), USBR_SUCCESS);
    EXPECT_EQ(ul, 5000u);
    EXPECT_EQ(dev->received(), data);
    std::vector<std::string> texts = LoggedTexts();
    ASSERT_EQ(texts.size(), 1u);
    // "-- Write(7) [<elapsed ms>]"
    const std::string strHead = "-- Write(7) [";
    ASSERT_GT(texts[0].size(), strHead.size() + 1) << texts[0];
    EXPECT_EQ(texts[0].substr(0, strHead.size()), strHead);
    EXPECT_EQ(texts[0].back(), ']');
    const std::string strMs = texts[0].substr(strHead.size(), texts[0].size() - strHead.size() - 1);
    EXPECT_EQ(strMs.find_first_not_of("0123456789"), std::string::npos) << texts[0];
    for (auto& m : LogMessages()) {
        if (m.text == texts[0]) {
            EXPECT_EQ(m.level, 2u);
            EXPECT_EQ(m.data, data);
        }
    }
}

TEST_F(UsbDeviceIO, WriteChecksItsArguments) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("WARG"), USBKIND_QX, &dev);
    unsigned int ul = 5;
    EXPECT_EQ(d->Write(nullptr, 1, &ul, kPort), USBR_INVALID_PARAMETER);
    unsigned char uc = 0;
    EXPECT_EQ(d->Write(&uc, 0x80000000u, &ul, kPort), USBR_INVALID_PARAMETER);
    EXPECT_EQ(ul, 5u);
    EXPECT_THAT(Trace(dev), IsEmpty());
    EXPECT_EQ(d->Write(&uc, 0, nullptr, kPort), USBR_SUCCESS);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0", "IN 18"));
}

TEST_F(UsbDeviceIO, FailedWriteIsASystemError) {
    usbsim::DevicePtr dev;
    auto d = PlugOpen(DeviceConfig::vendorPrinter("WFAIL"), USBKIND_QX, &dev);
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 1;
    f.count = -1;
    f.action = usbsim::FaultAction::Empty;
    dev->addControlFault(f);
    unsigned char uc = 0;
    unsigned int ul = 5;
    EXPECT_EQ(d->Write(&uc, 1, &ul, kPort), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ul, 5u);
    EXPECT_THAT(LoggedTexts(), IsEmpty());
}

TEST_F(UsbDeviceIO, DisplayWriteOnATwoEndpointInterfaceIsRefused) {
    usbsim::DevicePtr dev;
    auto jv = PlugOpen(DeviceConfig::vendorPrinter("NOJV"), USBKIND_JV, &dev);
    unsigned char auc[3] = {1, 2, 3};
    unsigned int ul = 9;
    EXPECT_EQ(jv->Write(auc, 3, &ul, kPort), USBR_INVALID_PARAMETER);
    EXPECT_EQ(ul, 9u);
    EXPECT_THAT(Trace(dev), IsEmpty());
    EXPECT_THAT(
        LoggedTexts(),
        ElementsAre("-- JVOpen <PHR_INVALID_PARAMETER> with handle [7] : no JV device connected"));
}

TEST_F(UsbDeviceIO, ReadFillsTheBufferOrLeavesItEmpty) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("READ");
    cfg.capabilityWord = 0x00;
    usbsim::DevicePtr dev;
    auto d = PlugOpen(cfg, USBKIND_QX, &dev);
    unsigned char aucOld[] = {9, 9};
    CData data(aucOld, 2);

    EXPECT_EQ(d->Read(&data, kPort), USBR_SUCCESS);
    EXPECT_EQ(data.Length(), 0u) << "nothing waiting: empty buffer";

    const usbsim::Bytes input = Pattern(3000);
    dev->queueInput(input);
    EXPECT_EQ(d->Read(&data, kPort), USBR_SUCCESS);
    ASSERT_EQ(data.Length(), 1024u);
    EXPECT_EQ(usbsim::Bytes(data.Buffer(), data.Buffer() + 1024),
              usbsim::Bytes(input.begin(), input.begin() + 1024));

    dev->failBulkIn(1, usbsim::FaultAction::Disconnect);
    EXPECT_EQ(d->Read(&data, kPort), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(data.Length(), 0u);
    CData* pNull = nullptr;
    EXPECT_EQ(d->Read(pNull, kPort), USBR_INVALID_PARAMETER);
}
