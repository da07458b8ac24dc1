// The substrate itself: the system libusb over the emulated usbfs, driven directly.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <thread>

#include "mockdev/MockBus.h"

namespace {

class MockdevLibusb : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(mockdev::Start(&why)) << why;
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }
    void TearDown() override {
        if (h_) libusb_close(h_);
        if (ctx_) libusb_exit(ctx_);
        mockdev::resetBus();
    }
    libusb_device_handle* openFirst(uint16_t product) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(list[i], &d);
            if (d.idVendor == KORVO_USB_VENDOR_ID && d.idProduct == product) {
                EXPECT_EQ(libusb_open(list[i], &h_), 0);
                break;
            }
        }
        libusb_free_device_list(list, 1);
        return h_;
    }
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* h_ = nullptr;
};

TEST_F(MockdevLibusb, VendorRequestAndBulkWriteReachTheModel) {
    auto dev = mockdev::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ASSERT_TRUE(dev);
    ASSERT_TRUE(openFirst(0x0202));
    ASSERT_EQ(libusb_claim_interface(h_, 0), 0);
    unsigned char status[2] = {9, 9};
    EXPECT_EQ(libusb_control_transfer(h_, 0xC1, 1, 0, 0, status, 2, 1000), 2);
    EXPECT_EQ(status[0], 0);
    unsigned char data[] = "hello";
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x01, data, 5, &done, 1000), 0);
    EXPECT_EQ(done, 5);
    EXPECT_EQ(dev->received(), usbsim::Bytes(data, data + 5));
    unsigned char serial[64] = {};
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(libusb_get_device(h_), &d);
    EXPECT_GT(libusb_get_string_descriptor_ascii(h_, d.iSerialNumber, serial, sizeof serial), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "SN1");
}

// A device that NAKs: libusb's own time-out discards the URB, and nothing stays in flight.
TEST_F(MockdevLibusb, UnansweredTransferTimesOutThroughDiscard) {
    usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("SN1");
    cfg.idleInZeroLength = false;
    auto dev = mockdev::plug(cfg);
    ASSERT_TRUE(openFirst(0x0202));
    ASSERT_EQ(libusb_claim_interface(h_, 0), 0);
    unsigned char buf[64];
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x82, buf, sizeof buf, &done, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(mockdev::counters().urbsLive, 0u);
    dev->queueInput({1, 2, 3});
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x82, buf, sizeof buf, &done, 1000), 0);
    EXPECT_EQ(done, 3);
}

// The node polls ready only while a URB waits to be reaped: an idle open device costs no reaps.
TEST_F(MockdevLibusb, IdleOpenDeviceIsNotPolledBusily) {
    auto dev = mockdev::plug(usbsim::DeviceConfig::vendorPrinter("SN1"));
    ASSERT_TRUE(openFirst(0x0202));
    std::atomic<bool> stop{false};
    std::thread events([&] {
        timeval tv{0, 50000};
        while (!stop) libusb_handle_events_timeout(ctx_, &tv);
    });
    const unsigned long before = mockdev::counters().emptyReaps;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const unsigned long after = mockdev::counters().emptyReaps;
    stop = true;
    events.join();
    EXPECT_LE(after - before, 2u);
}

// Unplugged under a pending transfer: the URB ends with -ESHUTDOWN, libusb says NO_DEVICE.
TEST_F(MockdevLibusb, UnplugEndsAPendingTransferWithNoDevice) {
    usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("SN1");
    cfg.idleInZeroLength = false;
    auto dev = mockdev::plug(cfg);
    ASSERT_TRUE(openFirst(0x0202));
    ASSERT_EQ(libusb_claim_interface(h_, 0), 0);
    std::thread unplugger([&] {
        while (mockdev::counters().urbsLive == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        mockdev::unplug(dev);
    });
    unsigned char buf[64];
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x82, buf, sizeof buf, &done, 5000), LIBUSB_ERROR_NO_DEVICE);
    unplugger.join();
    unsigned char status[2];
    EXPECT_EQ(libusb_control_transfer(h_, 0xC1, 1, 0, 0, status, 2, 1000), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace
