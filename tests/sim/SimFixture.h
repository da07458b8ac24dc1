// Shared fixture: a clean bus and a fresh libusb context per test.
#pragma once

#include "sim/SimBus.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        usbsim::resetBus();
        ASSERT_EQ(libusb_init(&ctx), 0);
    }
    void TearDown() override {
        for (auto* h : handles) libusb_close(h);
        libusb_exit(ctx);
        usbsim::resetBus();
    }
    // Opens the attached device with this address; fails the test if it is not listed.
    libusb_device_handle* open(const usbsim::DevicePtr& d) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        libusb_device_handle* h = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_device_address(list[i]) == d->address()) {
                EXPECT_EQ(libusb_open(list[i], &h), 0);
            }
        }
        libusb_free_device_list(list, 1);
        EXPECT_NE(h, nullptr) << "device not listed";
        if (h) handles.push_back(h);
        return h;
    }
    void close(libusb_device_handle* h) {
        handles.erase(std::remove(handles.begin(), handles.end(), h), handles.end());
        libusb_close(h);
    }
    static int vendorIn(libusb_device_handle* h, uint8_t req, uint8_t* buf, uint16_t len) {
        return libusb_control_transfer(h, 0xC1, req, 0, 0, buf, len, 1000);
    }
    static int vendorOut(libusb_device_handle* h, uint8_t req, uint16_t value) {
        return libusb_control_transfer(h, 0x41, req, value, 0, nullptr, 0, 1000);
    }
    static int word(libusb_device_handle* h, uint8_t req) {
        uint8_t b[2] = {0xEE, 0xEE};
        const int r = vendorIn(h, req, b, 2);
        return r == 2 ? (b[0] | (b[1] << 8)) : (r < 0 ? r : -1000 - r);
    }

    libusb_context* ctx = nullptr;
    std::vector<libusb_device_handle*> handles;
};
