// Plug and unplug on one thread while another enumerates, opens and transfers.
#include "SimFixture.h"

#include <atomic>
#include <thread>

using usbsim::DeviceConfig;

TEST(SimStress, PlugCyclesWhileAnotherThreadUsesTheBus) {
    usbsim::resetBus();
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> opened{0}, transferred{0}, lost{0};
    std::atomic<bool> userDone{false};
    std::thread user([&] {
        struct Mark {
            std::atomic<bool>& done;
            ~Mark() { done = true; }
        } mark{userDone};
        while (!stop) {
            libusb_device** list = nullptr;
            const ssize_t n = libusb_get_device_list(ctx, &list);
            ASSERT_GE(n, 0);
            for (ssize_t i = 0; i < n; ++i) {
                libusb_device_descriptor d{};
                ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
                libusb_device_handle* h = nullptr;
                if (libusb_open(list[i], &h) != 0) continue;
                ++opened;
                unsigned char b[64] = {1, 2, 3};
                int moved = 0;
                libusb_set_auto_detach_kernel_driver(h, 1);  // printer-class devices have a driver bound
                const int r0 = libusb_claim_interface(h, 0);
                ASSERT_TRUE(r0 == 0 || r0 == LIBUSB_ERROR_NO_DEVICE) << libusb_error_name(r0);
                const int r1 = libusb_control_transfer(h, 0xC1, 1, 0, 0, b, 2, 100);
                const int r2 = libusb_bulk_transfer(h, 0x01, b, sizeof b, &moved, 100);
                const int r3 = libusb_bulk_transfer(h, 0x82, b, sizeof b, &moved, 100);
                for (int r : {r1, r2, r3}) {
                    if (r >= 0)
                        ++transferred;
                    else if (r == LIBUSB_ERROR_NO_DEVICE)
                        ++lost;
                    else
                        ADD_FAILURE() << "unexpected " << libusb_error_name(r);
                }
                if (r0 == 0) libusb_release_interface(h, 0);
                libusb_close(h);
            }
            libusb_free_device_list(list, 1);
        }
    });
    usbsim::DevicePtr steady = usbsim::plug(DeviceConfig::displayPrinter("STEADY"));
    for (int i = 0; i < 10000; ++i) {
        auto d = usbsim::plug(i % 3 == 2 ? DeviceConfig::printerClassDevice("C" + std::to_string(i % 5))
                                         : DeviceConfig::vendorPrinter("C" + std::to_string(i % 5)));
        if (i % 2) d->queueInput({static_cast<uint8_t>(i)});
        usbsim::unplug(d);
    }
    // Let the user thread finish at least one pass over the steady device.
    const long before = opened.load();
    while (opened.load() < before + 2 && !userDone) std::this_thread::yield();
    stop = true;
    user.join();
    EXPECT_GT(transferred.load(), 0);
    std::printf("opened %ld, transfers %ld, lost to unplug %ld\n", opened.load(), transferred.load(), lost.load());
    libusb_exit(ctx);
    usbsim::resetBus();
}
