// libusb as the component meets it, asked directly on whichever bus this program was built for.
// Each case is a behaviour in which the simulator once differed from libusb on Linux (usbfs).
#include <gtest/gtest.h>
#include <libusb.h>

#include "tests/substrate/Substrate.h"

namespace {

class LibusbSemantics : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(substrate::Ready(&why)) << why;
        substrate::Reset();
        ASSERT_EQ(libusb_init(&m_ctx), 0);
    }
    void TearDown() override {
        if (m_h) libusb_close(m_h);
        libusb_exit(m_ctx);
        substrate::Reset();
    }
    libusb_device_handle* Open(const usbsim::DeviceConfig& cfg) {
        m_dev = substrate::Plug(cfg);
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(m_ctx, &list);
        for (ssize_t i = 0; i < n && !m_h; ++i) {
            if (libusb_get_device_address(list[i]) == m_dev->address()) {
                EXPECT_EQ(libusb_open(list[i], &m_h), 0);
            }
        }
        libusb_free_device_list(list, 1);
        return m_h;
    }
    libusb_context* m_ctx = nullptr;
    libusb_device_handle* m_h = nullptr;
    usbsim::DevicePtr m_dev;
};

// usbfs refuses the submission (EBUSY), which libusb reports as an I/O error.
TEST_F(LibusbSemantics, TransfersToAnInterfaceAKernelDriverHoldsAreIoErrors) {
    ASSERT_TRUE(Open(usbsim::DeviceConfig::printerClassDevice("PRT1")));
    unsigned char data[4] = {1, 2, 3, 4};
    int done = -1;
    EXPECT_EQ(libusb_bulk_transfer(m_h, 0x01, data, 4, &done, 500), LIBUSB_ERROR_IO);
    unsigned char status = 0;
    EXPECT_EQ(libusb_control_transfer(m_h, 0xA1, 1, 0, 0, &status, 1, 500), LIBUSB_ERROR_IO) << "GET_PORT_STATUS";
    // The printer-class device ID is the kernel's one exception.
    unsigned char id[256];
    EXPECT_GT(libusb_control_transfer(m_h, 0xA1, 0, 0, 0, id, sizeof id, 500), 2);
    EXPECT_TRUE(m_dev->received().empty());
}

TEST_F(LibusbSemantics, KernelDriverAttachAnswers) {
    ASSERT_TRUE(Open(usbsim::DeviceConfig::printerClassDevice("PRT1")));
    EXPECT_EQ(libusb_kernel_driver_active(m_h, 0), 1);
    EXPECT_EQ(libusb_attach_kernel_driver(m_h, 0), LIBUSB_ERROR_BUSY) << "already bound";
    ASSERT_EQ(libusb_detach_kernel_driver(m_h, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(m_h, 0), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_claim_interface(m_h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(m_h, 0), 0) << "usbfs is not a kernel driver to libusb";
    EXPECT_EQ(libusb_set_configuration(m_h, 1), LIBUSB_ERROR_BUSY) << "claimed";
    EXPECT_EQ(libusb_attach_kernel_driver(m_h, 0), LIBUSB_ERROR_BUSY) << "claimed";
    ASSERT_EQ(libusb_release_interface(m_h, 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(m_h, 0), 0);
    EXPECT_TRUE(m_dev->kernelDriverActive());
}

TEST_F(LibusbSemantics, ReleasingAnInterfaceInSettingZeroSendsNothing) {
    ASSERT_TRUE(Open(usbsim::DeviceConfig::vendorPrinter("SN1")));
    ASSERT_EQ(libusb_claim_interface(m_h, 0), 0);
    m_dev->clearRecords();
    ASSERT_EQ(libusb_release_interface(m_h, 0), 0);
    for (const usbsim::Record& r : m_dev->records())
        EXPECT_NE(r.type, usbsim::Record::Type::Control) << "request " << int(r.bRequest);
}

TEST_F(LibusbSemantics, EveryCallOnAnUnpluggedDeviceIsNoDevice) {
    ASSERT_TRUE(Open(usbsim::DeviceConfig::vendorPrinter("SN1")));
    ASSERT_EQ(libusb_claim_interface(m_h, 0), 0);
    substrate::Unplug(m_dev);
    unsigned char b[2];
    int done = 0;
    EXPECT_EQ(libusb_control_transfer(m_h, 0xC1, 1, 0, 0, b, 2, 500), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_bulk_transfer(m_h, 0x01, b, 2, &done, 500), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(m_h, 0x01), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace
