// The bulk write protocol and the bulk read of the transport on the simulated bus.
#include <optional>
#include <gmock/gmock.h>

#include "UsbSimFixture.h"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using usbsim::DeviceConfig;

namespace {

class UsbIOTest : public UsbSimTest {
protected:
    // Plugs the device, opens it into m_ctx and forgets the open's own requests.
    usbsim::DevicePtr PlugOpen(const DeviceConfig& cfg) {
        auto dev = usbsim::plug(cfg);
        EXPECT_EQ(OpenInto(dev, m_ctx), USBR_SUCCESS);
        dev->clearRecords();
        return dev;
    }
    void TearDown() override {
        CUSBDevice::zph_usb_close(&m_ctx);
        UsbSimTest::TearDown();
    }
    static DeviceConfig Printer(uint16_t usCapability) {
        DeviceConfig c = DeviceConfig::vendorPrinter("W1");
        c.capabilityWord = usCapability;
        return c;
    }
    std::vector<std::string> Transfers(int nCount, int nSize, const char* pszEndpoint = "01") {
        return std::vector<std::string>(
            nCount, std::string("BULK_OUT ") + pszEndpoint + " " + std::to_string(nSize));
    }

    _USBQX m_ctx;
};

class UsbWrite : public UsbIOTest {};
class UsbRead : public UsbIOTest {};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> v;
    for (auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

}  // namespace

TEST_F(UsbWrite, ZeroBytesMakeOnePollAndWriteStart) {
    auto dev = PlugOpen(Printer(0x00));
    unsigned char uc = 0;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 0), 0);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0"));
}

TEST_F(UsbWrite, ZeroBytesWithCountReportAlsoAskForTheCount) {
    auto dev = PlugOpen(Printer(0x04));
    unsigned char uc = 0;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 0), 0);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0", "IN 18"));
}

TEST_F(UsbWrite, OneByteOverAChunkGoesOutAsTwoChunks) {
    auto dev = PlugOpen(Printer(0x04));
    usbsim::Bytes data = Pattern(65536);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 65536), 65536);
    EXPECT_THAT(Trace(dev),
                ElementsAreArray(Concat({{"IN 1", "OUT 17=0"},
                                         Transfers(15, 4096),
                                         {"BULK_OUT 01 4095", "IN 18"},
                                         {"IN 1", "OUT 17=0", "BULK_OUT 01 1", "IN 18"}})));
    EXPECT_EQ(dev->received(), data);
    for (auto& r : dev->records()) {
        if (r.type != usbsim::Record::Type::Control) continue;
        EXPECT_EQ(r.bmRequestType & 0x7F, 0x41);
        EXPECT_EQ(r.wIndex, 0);
        EXPECT_EQ(r.wLength, (r.bmRequestType & 0x80) ? 2 : 0);
    }
}

TEST_F(UsbWrite, WithoutCountReportTheSentBytesCount) {
    auto dev = PlugOpen(Printer(0x00));
    usbsim::Bytes data = Pattern(10000);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 10000), 10000);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 4096", "BULK_OUT 01 4096",
                                        "BULK_OUT 01 1808"));
    EXPECT_EQ(dev->received(), data);
}

TEST_F(UsbWrite, BusyLongerThanTheTimeoutEndsWithTheTotalSoFar) {
    auto dev = PlugOpen(Printer(0x04));
    m_ctx.nWriteTimeout = 300;
    // The count request after the first chunk fails once; during its retry pause the device
    // turns busy, so the second chunk's poll meets a busy device.
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 18;
    f.count = 1;
    f.action = usbsim::FaultAction::Empty;
    dev->addControlFault(f);
    SleepLog::OnSleep([dev](unsigned int us, size_t) {
        if (us == 2000) dev->setBusy(true);
    });
    usbsim::Bytes data = Pattern(70000);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 70000), 65535);
    EXPECT_EQ(SleepLog::Count(10000), 30u) << "10 ms steps up to the write timeout";
    std::vector<std::string> trace = Trace(dev);
    EXPECT_EQ(CountOf(trace, "OUT 17=0"), 1u) << "no write start while busy";
    EXPECT_EQ(CountOf(trace, "IN 1"), 1u + 31u);
    EXPECT_EQ(dev->received(), usbsim::Bytes(data.begin(), data.begin() + 65535));
}

TEST_F(UsbWrite, BusyThatClearsLetsTheWriteStart) {
    auto dev = PlugOpen(Printer(0x00));
    dev->setBusy(true);
    SleepLog::OnSleep([dev](unsigned int us, size_t n) {
        if (us == 10000 && n == 3) dev->setBusy(false);
    });
    usbsim::Bytes data = Pattern(10);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 10), 10);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 1", "IN 1", "IN 1", "IN 1", "OUT 17=0", "BULK_OUT 01 10"));
}

TEST_F(UsbWrite, FailedTransferResumesAfterTheReportedCount) {
    auto dev = PlugOpen(Printer(0x04));
    usbsim::BulkOutFault f;
    f.afterBytes = 1000;
    f.action = usbsim::FaultAction::Stall;
    f.reportedCount = 1000;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(5000);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 5000), 5000);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 -9", "IN 18", "CLEAR_HALT 01", "IN 1",
                            "OUT 17=0", "BULK_OUT 01 4000", "IN 18"));
    EXPECT_EQ(dev->received(), data);
    // The second chunk starts at byte 1000 of the data.
    for (auto& r : dev->records()) {
        if (r.type == usbsim::Record::Type::BulkOut && r.result >= 0) {
            EXPECT_EQ(r.data, usbsim::Bytes(data.begin() + 1000, data.end()));
        }
    }
}

// Pieces of a chunk are in flight together; a fault in one cancels those behind it before the
// device sees them, and the write resumes where the device's count says.
TEST_F(UsbWrite, FaultMidChunkCancelsThePiecesBehindAndResumesAtTheCount) {
    const struct {
        usbsim::FaultAction action;
        int nFailed;  // the failing piece's record result
        std::optional<uint16_t> reportedCount;  // unset: the device reports what it took
    } cases[] = {
        {usbsim::FaultAction::Stall, LIBUSB_ERROR_PIPE, 10000},
        {usbsim::FaultAction::Timeout, LIBUSB_ERROR_TIMEOUT, 10000},
        {usbsim::FaultAction::Error, LIBUSB_ERROR_IO, 10000},
        // The device takes data again the moment the host gives the waiting piece up: a piece
        // still queued behind it would reach the device after the gap and count as taken.
        {usbsim::FaultAction::TimeoutThenReady, LIBUSB_ERROR_TIMEOUT, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.action));
        auto dev = PlugOpen(Printer(0x04));
        m_ctx.nWriteTimeout = 100;
        usbsim::BulkOutFault f;
        f.afterBytes = 10000;
        f.action = c.action;
        f.reportedCount = c.reportedCount;
        dev->addBulkOutFault(f);
        usbsim::Bytes data = Pattern(40000);
        EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 40000), 40000);
        EXPECT_EQ(dev->received(), data);
        int nFailed = 0;
        for (auto& r : dev->records())
            if (r.type == usbsim::Record::Type::BulkOut && r.result < 0) {
                ++nFailed;
                EXPECT_EQ(r.result, c.nFailed);
            }
        EXPECT_EQ(nFailed, 1);
        CUSBDevice::zph_usb_close(&m_ctx);
        m_ctx = _USBQX();
        usbsim::unplug(dev);
    }
}

TEST_F(UsbWrite, FailedTransferWithNothingTakenEndsTheWrite) {
    auto dev = PlugOpen(Printer(0x04));
    usbsim::BulkOutFault f;
    f.afterBytes = 0;
    f.action = usbsim::FaultAction::Stall;
    f.reportedCount = 0;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(100);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 100), 0);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 -9", "IN 18", "CLEAR_HALT 01"));
}

TEST_F(UsbWrite, DeviceThatLeavesReportsTheError) {
    auto dev = PlugOpen(Printer(0x04));
    usbsim::BulkOutFault f;
    f.afterBytes = 10;
    f.action = usbsim::FaultAction::Disconnect;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(100);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 100), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(UsbWrite, StatusBitTwoIsBusyOnlyForDeviceCodeTwo) {
    auto code2 = PlugOpen(Printer(0x08));
    code2->setStatusOverride(0x0004);
    SleepLog::OnSleep([code2](unsigned int us, size_t n) {
        if (us == 10000 && n == 2) code2->setStatusOverride(std::nullopt);
    });
    unsigned char uc = 0x41;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), 1);
    EXPECT_THAT(Trace(code2), ElementsAre("IN 1", "IN 1", "IN 1", "OUT 17=0", "BULK_OUT 01 1"));
    CUSBDevice::zph_usb_close(&m_ctx);
    m_ctx = _USBQX();

    SleepLog::Reset();
    DeviceConfig c = Printer(0x00);
    c.serial = "W2";
    auto code0 = PlugOpen(c);
    code0->setStatusOverride(0x0004);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), 1);
    EXPECT_THAT(Trace(code0), ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 1"));
    EXPECT_THAT(SleepLog::All(), IsEmpty());
}

TEST_F(UsbWrite, ForcedFlowLetsANotReadyDeviceTakeData) {
    auto dev = PlugOpen(Printer(0x00));
    dev->setStatusOverride(0x0003);  // not ready, forced flow in effect
    unsigned char uc = 0x41;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), 1);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 1"));
    dev->clearRecords();
    m_ctx.nWriteTimeout = 20;
    dev->setStatusOverride(0x0001);  // not ready without forced flow: busy
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), 0);
}

TEST_F(UsbWrite, BadStatusReplyFailsThePoll) {
    auto dev = PlugOpen(Printer(0x00));
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 1;
    f.count = -1;
    f.action = usbsim::FaultAction::Short;
    dev->addControlFault(f);
    unsigned char uc = 0x41;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), -1);
    EXPECT_EQ(CountOf(Trace(dev), "OUT 17=0"), 0u);
}

TEST_F(UsbWrite, DisplayChannelUsesItsOwnRequestsAndEndpoints) {
    DeviceConfig c = DeviceConfig::displayPrinter("JVW");
    c.capabilityWord = 0x24;
    auto dev = PlugOpen(c);
    usbsim::Bytes data = Pattern(5000);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_jv(&m_ctx, data.data(), 5000), 5000);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 3", "OUT 19=0", "BULK_OUT 03 4096", "BULK_OUT 03 904", "IN 20"));
    EXPECT_EQ(dev->received(usbsim::Channel::Display), data);
    EXPECT_THAT(dev->received(usbsim::Channel::Printer), IsEmpty());
}

TEST_F(UsbWrite, DisplayChannelForcedStopAsksTheDisplayCount) {
    DeviceConfig c = DeviceConfig::displayPrinter("JVF");
    c.capabilityWord = 0x04;
    auto dev = PlugOpen(c);
    usbsim::BulkOutFault f;
    f.channel = usbsim::Channel::Display;
    f.afterBytes = 300;
    f.reportedCount = 300;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(600);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_jv(&m_ctx, data.data(), 600), 600);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 3", "OUT 19=0", "BULK_OUT 03 -9", "IN 20", "CLEAR_HALT 03", "IN 3",
                            "OUT 19=0", "BULK_OUT 03 300", "IN 20"));
    EXPECT_EQ(dev->received(usbsim::Channel::Display), data);
}

TEST_F(UsbWrite, ContextWithoutHandleDoesNothing) {
    _USBQX ctx;
    unsigned char uc = 0;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&ctx, &uc, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_jv(&ctx, &uc, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&ctx, &uc, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(CUSBDevice::zph_usb_ctl_send(&ctx, 1, 0, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(CUSBDevice::zph_usb_ctl_rev(&ctx, 1, &uc, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(CUSBDevice::zph_usb_ctl_rev_prtclass(&ctx, 0, &uc, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_THAT(SleepLog::All(), IsEmpty());
}

TEST_F(UsbWrite, VendorReceiveIsRepeatedOnceAfterTwoMilliseconds) {
    auto dev = PlugOpen(Printer(0x00));
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = 0x22;
    f.count = 1;
    f.action = usbsim::FaultAction::Empty;
    dev->addControlFault(f);
    unsigned char auc[2];
    // The model stalls unknown requests, so the repeat fails too; both are sent.
    CUSBDevice::zph_usb_ctl_rev(&m_ctx, 0x22, auc, 2);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 34", "IN 34"));
    EXPECT_EQ(SleepLog::All(), std::vector<unsigned int>(2, 2000));

    dev->clearRecords();
    SleepLog::Reset();
    f.bRequest = 1;
    dev->addControlFault(f);
    EXPECT_EQ(CUSBDevice::zph_usb_ctl_rev(&m_ctx, 0x101, auc, 2), 2) << "only the low 8 bits count";
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "IN 1"));
    EXPECT_EQ(SleepLog::All(), std::vector<unsigned int>(1, 2000));
}

TEST_F(UsbRead, EmptyTransferEndsTheReadAtOnceForDeviceCodeZero) {
    auto dev = PlugOpen(Printer(0x00));
    dev->queueInput({'a', 'b', 'c'});
    unsigned char auc[1024];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 3);
    EXPECT_THAT(Trace(dev), ElementsAre("BULK_IN 82 3", "BULK_IN 82 0"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(auc), 3), "abc");
}

TEST_F(UsbRead, OtherDeviceCodesEndOnTheThirdEmptyTransferInARow) {
    auto dev = PlugOpen(Printer(0x04));
    dev->queueInput({'a', 'b', 'c'});
    unsigned char auc[1024];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 3);
    EXPECT_THAT(Trace(dev),
                ElementsAre("BULK_IN 82 3", "BULK_IN 82 0", "BULK_IN 82 0", "BULK_IN 82 0"));
}

TEST_F(UsbRead, FullBufferEndsTheRead) {
    auto dev = PlugOpen(Printer(0x04));
    const usbsim::Bytes input = Pattern(100);
    dev->queueInput(input);
    unsigned char auc[10];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 10);
    EXPECT_EQ(usbsim::Bytes(auc, auc + 10), usbsim::Bytes(input.begin(), input.begin() + 10));
    EXPECT_THAT(Trace(dev), ElementsAre("BULK_IN 82 10"));
}

TEST_F(UsbRead, TimeoutReturnsWhatWasRead) {
    DeviceConfig c = Printer(0x04);
    c.idleInZeroLength = false;  // an idle device NAKs: the read runs into its timeout
    auto dev = PlugOpen(c);
    m_ctx.nReadTimeout = 50;
    dev->queueInput({'x', 'y'});
    unsigned char auc[64];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 2);
    EXPECT_THAT(Trace(dev), ElementsAre("BULK_IN 82 2", "BULK_IN 82 -7", "CLEAR_HALT 82"));
}

TEST_F(UsbRead, FailureWithFailingClearHaltReturnsTheError) {
    auto dev = PlugOpen(Printer(0x04));
    dev->failBulkIn(1, usbsim::FaultAction::Disconnect);
    unsigned char auc[64];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(UsbRead, StallClearsTheHaltAndReturnsTheTotal) {
    auto dev = PlugOpen(Printer(0x04));
    dev->failBulkIn(1, usbsim::FaultAction::Stall);
    unsigned char auc[64];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 0);
    EXPECT_THAT(Trace(dev), ElementsAre("BULK_IN 82 -9", "CLEAR_HALT 82"));
}
