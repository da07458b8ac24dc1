// Enumeration, open and close of the transport on the simulated bus.
#include <gmock/gmock.h>

#include "UsbSimFixture.h"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using usbsim::DeviceConfig;

namespace {

using DeviceMap = std::map<std::string, int>;

DeviceMap Enumerate() {
    DeviceMap m;
    CUSBDevice::zph_usb_enum(m);
    return m;
}

// A libusb handle of our own on the device, to look at its kernel-driver state.
int KernelDriverActive(const usbsim::DevicePtr& dev) {
    libusb_device** ppList = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &ppList);
    int nResult = -99;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(ppList[i]) == dev->busNumber() &&
            libusb_get_device_address(ppList[i]) == dev->address()) {
            libusb_device_handle* h = nullptr;
            if (libusb_open(ppList[i], &h) == 0) {
                nResult = libusb_kernel_driver_active(h, 0);
                libusb_close(h);
            }
        }
    }
    if (n >= 0) libusb_free_device_list(ppList, 1);
    return nResult;
}

class UsbEnum : public UsbSimTest {};
class UsbOpen : public UsbSimTest {};
class UsbPrinterClass : public UsbSimTest {};

}  // namespace

TEST_F(UsbEnum, ListsAcceptedDevicesUnderUpperCaseNames) {
    usbsim::plug(DeviceConfig::vendorPrinter("ab12x"));
    usbsim::plug(DeviceConfig::displayPrinter("jv-7f"));
    auto prt = usbsim::plug(DeviceConfig::printerClassDevice("prt9"));
    const unsigned int ulPrtProduct = prt->config().productId;
    ASSERT_EQ(ulPrtProduct & 0xFF00, 0x0E00u);

    DeviceMap m = Enumerate();
    EXPECT_EQ(m, (DeviceMap{{NameOf(0x202, "AB12X"), USBKIND_QX},
                            {NameOf(0x202, "JV-7F"), USBKIND_JV},
                            {NameOf(ulPrtProduct, "PRT9"), USBKIND_PRT}}));
    EXPECT_EQ(NameOf(0x202, "ab12x").substr(0, 20), "USB#VID_0XFFFF##PID_")
        << "hexadecimal digits and the 0x prefix are upper case";
    // Enumeration leaves nothing open or claimed.
    for (auto& dev : usbsim::attachedDevices()) {
        EXPECT_EQ(CountOf(Trace(dev), "CLAIM"), dev == prt ? 1u : 0u);
    }
}

TEST_F(UsbEnum, FilterRejectsForeignShapes) {
    DeviceConfig c = DeviceConfig::vendorPrinter("V1");
    c.vendorId = static_cast<uint16_t>(KORVO_USB_VENDOR_ID) ^ 0x0101;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("C2");
    c.numConfigurations = 2;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("I2");
    c.numInterfaces = 2;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("A2");
    c.numAltSettings = 2;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("P3");
    c.productId = 0x0203;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("NOCLASS");
    c.productId = 0x0E05;  // printer-class product without the printer-class interface
    usbsim::plug(c);
    c = DeviceConfig::printerClassDevice("WRONGPID");
    c.productId = 0x0F05;
    usbsim::plug(c);
    c = DeviceConfig::vendorPrinter("OK");
    usbsim::plug(c);

    EXPECT_EQ(Enumerate(), (DeviceMap{{NameOf(0x202, "OK"), USBKIND_QX}}));
}

TEST_F(UsbEnum, PrinterClassProductOfTheRangeIsAcceptedWithTwoOrFourEndpoints) {
    DeviceConfig c = DeviceConfig::printerClassDevice("P4");
    c.productId = 0x0E7A;
    c.endpoints = 4;
    usbsim::plug(c);
    EXPECT_EQ(Enumerate(), (DeviceMap{{NameOf(0xE7A, "P4"), USBKIND_PRT}}));
}

TEST_F(UsbEnum, SameSerialGivesOneEntryOfTheFirstDevice) {
    usbsim::plug(DeviceConfig::displayPrinter("TWIN"));
    usbsim::plug(DeviceConfig::vendorPrinter("TWIN"));
    ASSERT_EQ(Enumerate(), (DeviceMap{{NameOf(0x202, "TWIN"), USBKIND_JV}}));
    usbsim::resetBus();
    usbsim::plug(DeviceConfig::vendorPrinter("TWIN"));
    usbsim::plug(DeviceConfig::displayPrinter("TWIN"));
    ASSERT_EQ(Enumerate(), (DeviceMap{{NameOf(0x202, "TWIN"), USBKIND_QX}}));

    // Entries already in the map stay as they are.
    DeviceMap m{{NameOf(0x202, "TWIN"), 99}};
    CUSBDevice::zph_usb_enum(m);
    EXPECT_EQ(m, (DeviceMap{{NameOf(0x202, "TWIN"), 99}}));
}

TEST_F(UsbEnum, AnswerProbeIsTriedFiveTimesHalfASecondApart) {
    auto late = usbsim::plug(DeviceConfig::vendorPrinter("LATE"));
    late->failAnswerProbe(4);
    auto mute = usbsim::plug(DeviceConfig::vendorPrinter("MUTE"));
    mute->failAnswerProbe(5);

    EXPECT_EQ(Enumerate(), (DeviceMap{{NameOf(0x202, "LATE"), USBKIND_QX}}));
    EXPECT_EQ(CountOf(Trace(late), "GET_DESCRIPTOR 02"), 5u);
    EXPECT_EQ(CountOf(Trace(mute), "GET_DESCRIPTOR 02"), 5u);
    // The device that never answers is not asked for its serial number.
    EXPECT_EQ(CountOf(Trace(mute), "GET_DESCRIPTOR 03"), 0u);
    EXPECT_EQ(SleepLog::All(), std::vector<unsigned int>(8, 500000));
    for (auto& r : late->records()) {
        if (r.type != usbsim::Record::Type::Control ||
            r.bRequest != LIBUSB_REQUEST_GET_DESCRIPTOR || (r.wValue >> 8) != LIBUSB_DT_CONFIG)
            continue;
        EXPECT_EQ(r.bmRequestType, 0x80);
        EXPECT_EQ(r.wValue, 0x0200);
        EXPECT_EQ(r.wIndex, 0);
        EXPECT_EQ(r.wLength, 256);
    }
}

TEST_F(UsbEnum, DevicesWithoutReadableSerialAreLeftOut) {
    auto flaky = usbsim::plug(DeviceConfig::vendorPrinter("FLAKY"));
    flaky->failStringDescriptors(1);
    usbsim::plug(DeviceConfig::vendorPrinter(std::nullopt));
    auto closed = usbsim::plug(DeviceConfig::vendorPrinter("NOOPEN"));
    closed->failOpen(1);

    EXPECT_THAT(Enumerate(), IsEmpty());
    // The next scan reads the serial that failed once.
    EXPECT_EQ(Enumerate(), (DeviceMap{{NameOf(0x202, "FLAKY"), USBKIND_QX},
                                      {NameOf(0x202, "NOOPEN"), USBKIND_QX}}));
}

TEST_F(UsbPrinterClass, CommandSetMustFollowCmdOrCommandSet) {
    struct Case {
        const char* pszId;
        bool fListed;
    };
    const Case cases[] = {
        {"MFG:Korvo;CMD:QORA/CS,VELT/RX;MDL:PC-100;", true},
        {"MFG:Korvo;COMMAND SET:VELT/RX,QORA/CS;MDL:PC-100;", true},
        {"MFG:Korvo;CMD:VELT/RX;COMMAND SET:QORA/CS;", false},  // CMD: wins and lacks it
        {"MFG:Korvo;CMD:VELT/RX;MDL:QORA/CS;", false},          // after the ';' does not count
        {"MFG:Korvo;MDL:QORA/CS;", false},
        {"CMD:QORA/C;S", false},
        {"", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        DeviceConfig cfg = DeviceConfig::printerClassDevice("PC" + std::to_string(n++));
        cfg.ieee1284Id = c.pszId;
        usbsim::plug(cfg);
    }
    DeviceMap m = Enumerate();
    const unsigned int ulProduct = usbsim::attachedDevices()[0]->config().productId;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(m.count(NameOf(ulProduct, "PC" + std::to_string(i))), cases[i].fListed ? 1u : 0u)
            << cases[i].pszId;
    }
}

TEST_F(UsbPrinterClass, DeviceIdIsReadWithClaimAndKernelDriverGivenBack) {
    DeviceConfig cfg = DeviceConfig::printerClassDevice("KD");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto dev = usbsim::plug(cfg);
    dev->failDetach(9);

    EXPECT_EQ(Enumerate().size(), 1u);
    EXPECT_THAT(ProtocolTrace(dev), ElementsAre("CLAIM", "CLASS a1/0", "RELEASE"));
    EXPECT_EQ(SleepLog::All(), std::vector<unsigned int>(9, 1000000));
    for (auto& r : dev->records()) {
        if (r.type != usbsim::Record::Type::Control || r.bmRequestType != 0xA1) continue;
        EXPECT_EQ(r.wValue, 0);
        EXPECT_EQ(r.wIndex, 0);
        EXPECT_EQ(r.wLength, 1024);
    }
    EXPECT_EQ(KernelDriverActive(dev), 1);
}

TEST_F(UsbPrinterClass, UndetachableDeviceIsNotListed) {
    DeviceConfig cfg = DeviceConfig::printerClassDevice("STUCK");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto stuck = usbsim::plug(cfg);
    stuck->failDetach(10);
    auto odd = usbsim::plug(DeviceConfig::printerClassDevice("ODD"));
    odd->failKernelDriverQuery(LIBUSB_ERROR_IO);

    EXPECT_THAT(Enumerate(), IsEmpty());
    EXPECT_EQ(SleepLog::Count(1000000), 9u);
    EXPECT_THAT(ProtocolTrace(stuck), IsEmpty());
    EXPECT_THAT(ProtocolTrace(odd), IsEmpty());
}

// An open device holds its interface; the enumeration still sees it (the device-ID request needs
// no claim), and the holder keeps the interface.
TEST_F(UsbPrinterClass, DeviceWhoseInterfaceIsHeldIsStillListed) {
    auto dev = usbsim::plug(DeviceConfig::printerClassDevice("HELD"));
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    dev->clearRecords();

    EXPECT_EQ(Enumerate(), (DeviceMap{{dev->deviceName(), USBKIND_PRT}}));
    EXPECT_THAT(ProtocolTrace(dev), ElementsAre("CLASS a1/0"));
    unsigned char aucData[] = {'o', 'k'};
    int nSent = 0;
    EXPECT_EQ(libusb_bulk_transfer(ctx.pHandle, ctx.ucBulkOut, aucData, 2, &nSent, 1000), 0);
    EXPECT_EQ(nSent, 2);
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbPrinterClass, DeviceIdRequestIsRetriedTenTimes) {
    auto dev = usbsim::plug(DeviceConfig::printerClassDevice("SLOWID"));
    usbsim::ControlFault f;
    f.bmRequestType = 0xA1;
    f.bRequest = 0;
    f.count = 9;
    dev->addControlFault(f);
    EXPECT_EQ(Enumerate().size(), 1u);
    EXPECT_EQ(CountOf(Trace(dev), "CLASS a1/0"), 10u);
    EXPECT_EQ(SleepLog::Count(500000), 9u);

    dev->clearRecords();
    f.count = 10;
    dev->addControlFault(f);
    EXPECT_THAT(Enumerate(), IsEmpty());
    EXPECT_EQ(CountOf(Trace(dev), "CLASS a1/0"), 10u);
}

TEST_F(UsbPrinterClass, LengthIsBigEndianWithLittleEndianFallbackAndClamp) {
    // The simulated device sends its ID text after a big-endian length of text + 2, so the
    // text length picks the length bytes.
    auto idOfLength = [](size_t n, const std::string& head, const std::string& at, size_t pos) {
        std::string s(n, 'x');
        s.replace(0, head.size(), head);
        if (!at.empty()) s.replace(pos, at.size(), at);
        return s;
    };
    struct Case {
        std::string strId;
        bool fListed;
        const char* pszWhy;
    };
    const std::vector<Case> cases = {
        // 0x0C00 big-endian is too long; little-endian 0x000C: the text is "CMD:QORA/CS;".
        {idOfLength(0x0C00 - 2, "CMD:QORA/CS;", "", 0), true, "little-endian 12"},
        // Same length, but only the first 12 bytes count: the set after them is not seen.
        {idOfLength(0x0C00 - 2, "CMD:xxxxxxxx", "QORA/CS", 12), false, "little-endian cuts"},
        // 0x0B04 and 0x040B both exceed 1022: 1022 bytes of text, the set ends at the last byte.
        {idOfLength(0x0B04 - 2, "CMD:", "QORA/CS", 1022 - 7), true, "clamped to 1022"},
        {idOfLength(0x0B04 - 2, "CMD:", "QORA/CS", 1022 - 6), false, "clamp cuts the set"},
        // 0x03FE: big-endian 1022 is taken as it is.
        {idOfLength(0x03FE - 2, "CMD:", "QORA/CS", 1022 - 2 - 7), true, "big-endian 1022"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        DeviceConfig cfg = DeviceConfig::printerClassDevice("L" + std::to_string(i));
        cfg.ieee1284Id = cases[i].strId;
        usbsim::plug(cfg);
    }
    DeviceMap m = Enumerate();
    const unsigned int ulProduct = usbsim::attachedDevices()[0]->config().productId;
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(m.count(NameOf(ulProduct, "L" + std::to_string(i))), cases[i].fListed ? 1u : 0u)
            << cases[i].pszWhy;
    }
}

TEST_F(UsbOpen, TwoEndpointDeviceGetsTheFirstPairOnly) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("QX1"));
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_NE(ctx.pHandle, nullptr);
    EXPECT_EQ(ctx.strName, NameOf(0x202, "QX1"));
    EXPECT_EQ(ctx.ucBulkOut, 0x01);
    EXPECT_EQ(ctx.ucBulkIn, 0x82);
    EXPECT_EQ(ctx.ucBulkOut2, 0xFF);
    EXPECT_EQ(ctx.ucBulkIn2, 0xFF);
    EXPECT_EQ(ctx.ucDisplay, 0);
    EXPECT_EQ(ctx.nInterface, 0);
    EXPECT_EQ(ctx.nWriteTimeout, 5000);
    EXPECT_EQ(ctx.nReadTimeout, 5000);
    EXPECT_EQ(ctx.usCapability, dev->config().capability());
    EXPECT_EQ(CUSBDevice::zph_usb_close(&ctx), 1);
}

TEST_F(UsbOpen, FourEndpointDeviceGetsTheDisplayPair) {
    DeviceConfig cfg = DeviceConfig::displayPrinter("JV1");
    cfg.interruptIn = true;
    auto dev = usbsim::plug(cfg);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_EQ(ctx.ucBulkOut, 0x01);
    EXPECT_EQ(ctx.ucBulkIn, 0x82);  // an interrupt IN endpoint serves as the IN endpoint
    EXPECT_EQ(ctx.ucBulkOut2, 0x03);
    EXPECT_EQ(ctx.ucBulkIn2, 0x84);
    EXPECT_EQ(ctx.ucDisplay, 1);
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbOpen, ANonMatchingFourEndpointDeviceLeavesNoDisplayChannelBehind) {
    DeviceConfig jv = DeviceConfig::displayPrinter("AAA");
    jv.port = 1;
    DeviceConfig qx = DeviceConfig::vendorPrinter("BBB");
    qx.port = 2;
    usbsim::plug(jv);
    auto dev = usbsim::plug(qx);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_EQ(ctx.ucDisplay, 0);
    EXPECT_EQ(ctx.ucBulkOut2, 0xFF);
    EXPECT_EQ(ctx.ucBulkIn2, 0xFF);
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbOpen, KernelDriverDetachIsRetriedFiveTimes) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("KD1");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto dev = usbsim::plug(cfg);
    dev->failDetach(4);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_EQ(SleepLog::Count(500000), 4u);
    EXPECT_EQ(KernelDriverActive(dev), 0);
    CUSBDevice::zph_usb_close(&ctx);
    EXPECT_EQ(KernelDriverActive(dev), 1) << "close gives the interface back to the kernel driver";
}

TEST_F(UsbOpen, DetachFailureIsLoggedAndReleasesEverything) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("KD2");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto dev = usbsim::plug(cfg);
    dev->failDetach(5);
    _USBQX ctx;
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ctx.pHandle, nullptr);
    EXPECT_EQ(SleepLog::Count(500000), 4u);
    EXPECT_THAT(ProtocolTrace(dev), IsEmpty());
    EXPECT_THAT(LoggedTexts(),
                ElementsAre("-- CUSBDevice::zph_usb_open(" + NameOf(0x202, "KD2") +
                            ") <PHR_UNEXPECTED_SYSTEM_ERROR> : Unable to detach kernel driver."));

    // A kernel-driver query that fails outright takes the same path.
    dev->clearFaults();
    dev->failKernelDriverQuery(LIBUSB_ERROR_IO);
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_TRUE(WaitForLog("-- CUSBDevice::zph_usb_open(" + NameOf(0x202, "KD2") +
                           ") <PHR_UNEXPECTED_SYSTEM_ERROR> : Unable to detach kernel driver."));
}

TEST_F(UsbOpen, ClaimFailureGivesTheInterfaceBackToTheKernelDriver) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("CL1");
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto dev = usbsim::plug(cfg);
    dev->failClaim(1);
    _USBQX ctx;
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ctx.pHandle, nullptr);
    EXPECT_THAT(LoggedTexts(),
                ElementsAre("-- CUSBDevice::zph_usb_open(" + NameOf(0x202, "CL1") +
                            ") <PHR_UNEXPECTED_SYSTEM_ERROR> : Unable to claim interface."));
    EXPECT_EQ(KernelDriverActive(dev), 1);
    // Nothing is left claimed: the next open succeeds.
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbOpen, CapabilityWordSetsCountReportAndClearsTheRightHalt) {
    struct Case {
        bool fDisplay;
        uint16_t usWord;
        bool fCountReport;
        const char* pszHalt;  // cleared endpoint, or null
    };
    const Case cases[] = {
        {false, 0x04, true, "CLEAR_HALT 01"}, {false, 0x26, true, "CLEAR_HALT 01"},
        {true, 0x24, true, "CLEAR_HALT 03"},  {true, 0x06, true, "CLEAR_HALT 03"},
        {false, 0x08, false, nullptr},        {false, 0x10, false, nullptr},
        {false, 0x40, false, nullptr},        {false, 0x02, false, nullptr},
        {true, 0x84, true, "CLEAR_HALT 03"},  // bit 7 is outside the device code
    };
    int n = 0;
    for (const Case& c : cases) {
        DeviceConfig cfg = c.fDisplay ? DeviceConfig::displayPrinter("CW" + std::to_string(n))
                                      : DeviceConfig::vendorPrinter("CW" + std::to_string(n));
        ++n;
        cfg.capabilityWord = c.usWord;
        auto dev = usbsim::plug(cfg);
        _USBQX ctx;
        ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
        EXPECT_EQ(ctx.ucCountReport, c.fCountReport ? 1 : 0) << c.usWord;
        EXPECT_EQ(ctx.usCapability, c.usWord);
        std::vector<std::string> trace = ProtocolTrace(dev);
        if (c.pszHalt)
            EXPECT_THAT(trace, ElementsAre("CLAIM", "IN 0", c.pszHalt)) << c.usWord;
        else
            EXPECT_THAT(trace, ElementsAre("CLAIM", "IN 0")) << c.usWord;
        CUSBDevice::zph_usb_close(&ctx);
        usbsim::unplug(dev);
    }
}

TEST_F(UsbOpen, ShortCapabilityReplyLeavesTheFlagClear) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("SHORT"));
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 0;
    f.count = 2;
    f.action = usbsim::FaultAction::Short;
    dev->addControlFault(f);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_EQ(ctx.ucCountReport, 0);
    EXPECT_EQ(ctx.usCapability, 0);
    EXPECT_THAT(ProtocolTrace(dev), ElementsAre("CLAIM", "IN 0"));
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbOpen, NameThatMatchesNoDeviceIsNotAvailable) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("HERE"));
    _USBQX ctx;
    EXPECT_EQ(CUSBDevice::zph_usb_open(NameOf(0x202, "GONE"), &ctx), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(ctx.pHandle, nullptr);
    // Names compare exactly: the lower-case form is another name.
    EXPECT_EQ(CUSBDevice::zph_usb_open("USB#VID_0xffff##PID_0x202HERE", &ctx),
              USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_THAT(ProtocolTrace(dev), IsEmpty());
    EXPECT_THAT(LoggedTexts(), IsEmpty());

    usbsim::resetBus();
    EXPECT_EQ(CUSBDevice::zph_usb_open(NameOf(0x202, "HERE"), &ctx), USBR_DEVICE_NOT_AVAILABLE);
}

TEST_F(UsbOpen, SerialNumberIsReadAgainAfterReopening) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("RETRY"));
    dev->failStringDescriptors(1);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    EXPECT_EQ(SleepLog::Count(500000), 1u);
    // Five probes would have been the first open; the second open probes once.
    EXPECT_EQ(CountOf(Trace(dev), "GET_DESCRIPTOR 02"), 2u);
    CUSBDevice::zph_usb_close(&ctx);
}

TEST_F(UsbOpen, SerialFailuresAreReportedAsDescriptorFailure) {
    const std::string strLine =
        "-- CUSBDevice::zph_usb_open() <PHR_UNEXPECTED_SYSTEM_ERROR> : "
        "libusb_get_string_descriptor_ascii Function Failed.";
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("NOSN"));
    _USBQX ctx;

    dev->failStringDescriptors(2);
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);
    EXPECT_EQ(ctx.pHandle, nullptr);

    dev->clearFaults();
    dev->failStringDescriptors(1);
    dev->failAnswerProbe(-1);
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);

    dev->clearFaults();
    dev->failAnswerProbe(5);
    EXPECT_EQ(OpenInto(dev, ctx), USBR_UNEXPECTED_SYSTEM_ERROR);

    EXPECT_THAT(LoggedTexts(), ElementsAre(strLine, strLine, strLine));
    EXPECT_THAT(ProtocolTrace(dev), IsEmpty()) << "nothing was claimed";
}

TEST_F(UsbOpen, ReopenFailureAfterSerialFailureSkipsTheDevice) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("REOPEN"));
    dev->failStringDescriptors(1);
    _USBQX ctx;
    // The open after the serial failure is refused.
    SleepLog::OnSleep([dev](unsigned int us, size_t) {
        if (us == 500000) dev->failOpen(1);
    });
    EXPECT_EQ(OpenInto(dev, ctx), USBR_DEVICE_NOT_AVAILABLE);
    EXPECT_THAT(LoggedTexts(), IsEmpty());
}

TEST_F(UsbOpen, CloseClearsHaltsReleasesAndReattaches) {
    DeviceConfig cfg = DeviceConfig::displayPrinter("CLOSE");
    cfg.capabilityWord = 0x08;
    cfg.hasKernelDriver = true;
    cfg.kernelDriverActive = true;
    auto dev = usbsim::plug(cfg);
    _USBQX ctx;
    ASSERT_EQ(OpenInto(dev, ctx), USBR_SUCCESS);
    dev->clearRecords();
    EXPECT_EQ(CUSBDevice::zph_usb_close(&ctx), 1);
    EXPECT_THAT(ProtocolTrace(dev), ElementsAre("CLEAR_HALT 01", "CLEAR_HALT 82", "CLEAR_HALT 03",
                                                "CLEAR_HALT 84", "RELEASE"));
    EXPECT_EQ(KernelDriverActive(dev), 1);

    _USBQX empty;
    EXPECT_EQ(CUSBDevice::zph_usb_close(&empty), 0);
    EXPECT_EQ(CUSBDevice::zph_usb_close(nullptr), 0);
}
