// Devices that send what they should not: the transport keeps to defined results, stays
// inside its buffers (AddressSanitizer watches) and ends within its time-outs.
#include <gmock/gmock.h>

#include "UsbSimFixture.h"

using namespace usbtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using usbsim::DeviceConfig;

namespace {

class UsbHostile : public UsbSimTest {
protected:
    void TearDown() override {
        CUSBDevice::zph_usb_close(&m_ctx);
        UsbSimTest::TearDown();
    }
    usbsim::DevicePtr PlugOpen(const DeviceConfig& cfg) {
        auto dev = usbsim::plug(cfg);
        EXPECT_EQ(OpenInto(dev, m_ctx), USBR_SUCCESS);
        dev->clearRecords();
        return dev;
    }
    _USBQX m_ctx;
};

usbsim::ControlFault VendorInFault(uint8_t ucRequest, usbsim::FaultAction action, int nCount = -1) {
    usbsim::ControlFault f;
    f.bmRequestType = 0xC1;
    f.bRequest = ucRequest;
    f.count = nCount;
    f.action = action;
    return f;
}

}  // namespace

TEST_F(UsbHostile, DeviceIdFillingTheWholeBufferWithoutTerminator) {
    // 2 length bytes and 1022 text bytes: every byte of the 1024-byte reply is text.
    DeviceConfig cfg = DeviceConfig::printerClassDevice("FULL");
    cfg.ieee1284Id = "COMMAND SET:" + std::string(1010, 'Q');
    usbsim::plug(cfg);
    DeviceConfig cfg2 = DeviceConfig::printerClassDevice("FULL2");
    cfg2.ieee1284Id = "CMD:" + std::string(1012, 'z') + "QORA/CS" + std::string(3000, 'y');
    usbsim::plug(cfg2);
    std::map<std::string, int> m;
    CUSBDevice::zph_usb_enum(m);
    EXPECT_THAT(m, IsEmpty());
}

TEST_F(UsbHostile, DeviceIdShorterThanItsLength) {
    auto dev = usbsim::plug(DeviceConfig::printerClassDevice("SHORTID"));
    usbsim::ControlFault f;
    f.bmRequestType = 0xA1;
    f.bRequest = 0;
    f.count = -1;
    f.action = usbsim::FaultAction::Short;
    f.shortLength = 1;  // half a length word
    dev->addControlFault(f);
    std::map<std::string, int> m;
    CUSBDevice::zph_usb_enum(m);
    EXPECT_THAT(m, IsEmpty());

    // A reply cut inside the text: only what came is text, the announced rest is not.
    dev->clearFaults();
    f.shortLength = 12;  // length bytes and "MFG:Korvo;"
    dev->addControlFault(f);
    CUSBDevice::zph_usb_enum(m);
    EXPECT_THAT(m, IsEmpty());
}

TEST_F(UsbHostile, EmptyDeviceIdReplies) {
    auto dev = usbsim::plug(DeviceConfig::printerClassDevice("NOID"));
    usbsim::ControlFault f;
    f.bmRequestType = 0xA1;
    f.bRequest = 0;
    f.count = -1;
    f.action = usbsim::FaultAction::Empty;
    dev->addControlFault(f);
    std::map<std::string, int> m;
    CUSBDevice::zph_usb_enum(m);
    EXPECT_THAT(m, IsEmpty());
    EXPECT_EQ(CountOf(Trace(dev), "CLASS a1/0"), 10u);
}

TEST_F(UsbHostile, LongestSerialNumberMakesAWholeName) {
    const std::string strSerial(300, 's');
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter(strSerial));
    std::map<std::string, int> m;
    CUSBDevice::zph_usb_enum(m);
    ASSERT_EQ(m.size(), 1u);
    const std::string strName = m.begin()->first;
    // A string descriptor holds at most 126 characters.
    EXPECT_EQ(strName, NameOf(0x202, strSerial.substr(0, 126)));
    EXPECT_LT(strName.size(), 256u);
    EXPECT_EQ(CUSBDevice::zph_usb_open(strName, &m_ctx), USBR_SUCCESS);
}

TEST_F(UsbHostile, ShortStatusRepliesAreNoStatus) {
    auto dev = PlugOpen(DeviceConfig::vendorPrinter("ST1"));
    dev->addControlFault(VendorInFault(1, usbsim::FaultAction::Short));
    unsigned char uc = 0x41;
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), -1);
    dev->clearFaults();
    dev->addControlFault(VendorInFault(1, usbsim::FaultAction::Empty));
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, &uc, 1), -1);
    EXPECT_EQ(CountOf(Trace(dev), "OUT 17=0"), 0u);
    EXPECT_THAT(dev->received(), IsEmpty());
}

TEST_F(UsbHostile, ShortCountReplyCountsTheSentBytes) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("CNT1");
    cfg.capabilityWord = 0x04;
    auto dev = PlugOpen(cfg);
    dev->addControlFault(VendorInFault(18, usbsim::FaultAction::Short, 2));
    usbsim::Bytes data = Pattern(300);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 300), 300);
    EXPECT_THAT(Trace(dev), ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 300", "IN 18"));
}

TEST_F(UsbHostile, ForcedStopWithoutACountEndsTheWrite) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("FS1");
    cfg.capabilityWord = 0x04;
    auto dev = PlugOpen(cfg);
    usbsim::BulkOutFault f;
    f.afterBytes = 65535 + 100;
    dev->addBulkOutFault(f);
    dev->addControlFault(VendorInFault(18, usbsim::FaultAction::Short, 2));
    usbsim::Bytes data = Pattern(70000);
    // The first chunk goes out whole (its short count reply counts what was sent); the second
    // fails and the device says nothing useful about it.
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 70000), 65535);
    EXPECT_EQ(CountOf(Trace(dev), "OUT 17=0"), 2u);
}

TEST_F(UsbHostile, ForcedStopErrorIsReturned) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("FS2");
    cfg.capabilityWord = 0x04;
    auto dev = PlugOpen(cfg);
    usbsim::BulkOutFault f;
    f.afterBytes = 10;
    dev->addBulkOutFault(f);
    dev->addControlFault(VendorInFault(18, usbsim::FaultAction::Error, 2));
    usbsim::Bytes data = Pattern(100);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(CountOf(Trace(dev), "CLEAR_HALT 01"), 1u) << "the halt is cleared anyway";
}

TEST_F(UsbHostile, CountBeyondTheChunkDoesNotMoveThePastTheData) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("BIG");
    cfg.capabilityWord = 0x04;
    auto dev = PlugOpen(cfg);
    usbsim::BulkOutFault f;
    f.afterBytes = 10;
    f.reportedCount = 60000;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(100);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 100), 100);
    EXPECT_THAT(Trace(dev),
                ElementsAre("IN 1", "OUT 17=0", "BULK_OUT 01 -9", "IN 18", "CLEAR_HALT 01"));
}

TEST_F(UsbHostile, EndlessZeroLengthPacketsEndTheRead) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("ZLP");
    cfg.capabilityWord = 0x24;
    cfg.idleInZeroLength = true;
    auto dev = PlugOpen(cfg);
    unsigned char auc[1024];
    EXPECT_EQ(CUSBDevice::zph_bulk_read(&m_ctx, auc, sizeof(auc)), 0);
    EXPECT_THAT(Trace(dev), ElementsAre("BULK_IN 82 0", "BULK_IN 82 0", "BULK_IN 82 0"));
}

TEST_F(UsbHostile, SilentDeviceEndsTheWriteAtItsTimeout) {
    DeviceConfig cfg = DeviceConfig::vendorPrinter("NAKOUT");
    cfg.capabilityWord = 0x04;
    auto dev = PlugOpen(cfg);
    m_ctx.nWriteTimeout = 50;
    usbsim::BulkOutFault f;
    f.afterBytes = 0;
    f.action = usbsim::FaultAction::Timeout;
    f.reportedCount = 0;
    dev->addBulkOutFault(f);
    usbsim::Bytes data = Pattern(100);
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, data.data(), 100), 0);
}

TEST_F(UsbHostile, UnpluggedDeviceFailsEveryTransfer) {
    auto dev = PlugOpen(DeviceConfig::vendorPrinter("GONE"));
    usbsim::unplug(dev);
    unsigned char auc[16];
    EXPECT_EQ(CUSBDevice::zph_bulk_write_qx(&m_ctx, auc, 16), -1);
    EXPECT_LT(CUSBDevice::zph_bulk_read(&m_ctx, auc, 16), 0);
    EXPECT_LT(CUSBDevice::zph_usb_ctl_send(&m_ctx, 2, 0, 0), 0);
}
