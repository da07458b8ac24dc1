// The substrate itself: the system libusb over the emulated usbfs, driven directly.
#include <gtest/gtest.h>
#include <libusb.h>

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

}  // namespace
