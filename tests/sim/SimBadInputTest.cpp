// Every entry point given bad input answers with a libusb error code and does not crash.
#include "SimFixture.h"

using usbsim::DeviceConfig;

namespace {

// Exercises every handle-taking call on `h` and expects an error from each.
void expectHandleCallsFail(libusb_device_handle* h, const char* what) {
    SCOPED_TRACE(what);
    unsigned char buf[64] = {};
    int n = 77;
    int config = 0;
    EXPECT_LT(libusb_control_transfer(h, 0xC1, 1, 0, 0, buf, 2, 100), 0);
    EXPECT_LT(libusb_bulk_transfer(h, 0x01, buf, 4, &n, 100), 0);
    EXPECT_EQ(n, 0);
    EXPECT_LT(libusb_interrupt_transfer(h, 0x82, buf, 4, &n, 100), 0);
    EXPECT_LT(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), 0);
    EXPECT_LT(libusb_get_string_descriptor(h, 0, 0, buf, sizeof buf), 0);
    EXPECT_LT(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, buf, sizeof buf), 0);
    EXPECT_LT(libusb_claim_interface(h, 0), 0);
    EXPECT_LT(libusb_release_interface(h, 0), 0);
    EXPECT_LT(libusb_set_interface_alt_setting(h, 0, 0), 0);
    EXPECT_LT(libusb_get_configuration(h, &config), 0);
    EXPECT_LT(libusb_set_configuration(h, 1), 0);
    EXPECT_LT(libusb_clear_halt(h, 0x01), 0);
    EXPECT_LT(libusb_reset_device(h), 0);
    EXPECT_LT(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_LT(libusb_detach_kernel_driver(h, 0), 0);
    EXPECT_LT(libusb_attach_kernel_driver(h, 0), 0);
    EXPECT_LT(libusb_set_auto_detach_kernel_driver(h, 1), 0);
    EXPECT_LT(libusb_alloc_streams(h, 1, buf, 1), 0);
    EXPECT_LT(libusb_free_streams(h, buf, 1), 0);
    libusb_bos_descriptor* bos = nullptr;
    EXPECT_LT(libusb_get_bos_descriptor(h, &bos), 0);
    libusb_transfer* t = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(t, h, 0x01, buf, 4, nullptr, nullptr, 100);
    EXPECT_LT(libusb_submit_transfer(t), 0);
    libusb_free_transfer(t);
}

}  // namespace

using SimBadInput = SimTest;

TEST_F(SimBadInput, NullPointers) {
    expectHandleCallsFail(nullptr, "null handle");
    EXPECT_EQ(libusb_get_device(nullptr), nullptr);
    libusb_close(nullptr);
    EXPECT_EQ(libusb_get_device_list(ctx, nullptr), LIBUSB_ERROR_INVALID_PARAM);
    libusb_free_device_list(nullptr, 1);
    EXPECT_EQ(libusb_ref_device(nullptr), nullptr);
    libusb_unref_device(nullptr);
    EXPECT_EQ(libusb_get_bus_number(nullptr), 0);
    EXPECT_EQ(libusb_get_port_number(nullptr), 0);
    EXPECT_EQ(libusb_get_device_address(nullptr), 0);
    EXPECT_EQ(libusb_get_device_speed(nullptr), LIBUSB_SPEED_UNKNOWN);
    EXPECT_EQ(libusb_get_parent(nullptr), nullptr);
    uint8_t ports[7];
    EXPECT_LT(libusb_get_port_numbers(nullptr, ports, 7), 0);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EXPECT_LT(libusb_get_port_path(ctx, nullptr, ports, 7), 0);
#pragma GCC diagnostic pop
    libusb_device_descriptor d;
    EXPECT_LT(libusb_get_device_descriptor(nullptr, &d), 0);
    libusb_config_descriptor* cfg = nullptr;
    EXPECT_LT(libusb_get_active_config_descriptor(nullptr, &cfg), 0);
    EXPECT_LT(libusb_get_config_descriptor(nullptr, 0, &cfg), 0);
    EXPECT_LT(libusb_get_config_descriptor_by_value(nullptr, 1, &cfg), 0);
    libusb_free_config_descriptor(nullptr);
    EXPECT_LT(libusb_get_max_packet_size(nullptr, 0x01), 0);
    EXPECT_LT(libusb_get_max_iso_packet_size(nullptr, 0x01), 0);
    EXPECT_LT(libusb_open(nullptr, nullptr), 0);
    EXPECT_LT(libusb_get_ss_endpoint_companion_descriptor(ctx, nullptr, nullptr), 0);
    libusb_free_ss_endpoint_companion_descriptor(nullptr);
    libusb_free_bos_descriptor(nullptr);
    EXPECT_LT(libusb_get_usb_2_0_extension_descriptor(ctx, nullptr, nullptr), 0);
    libusb_free_usb_2_0_extension_descriptor(nullptr);
    EXPECT_LT(libusb_get_ss_usb_device_capability_descriptor(ctx, nullptr, nullptr), 0);
    libusb_free_ss_usb_device_capability_descriptor(nullptr);
    EXPECT_LT(libusb_get_container_id_descriptor(ctx, nullptr, nullptr), 0);
    libusb_free_container_id_descriptor(nullptr);
    EXPECT_LT(libusb_wrap_sys_device(ctx, 0, nullptr), 0);
    EXPECT_LT(libusb_submit_transfer(nullptr), 0);
    EXPECT_LT(libusb_cancel_transfer(nullptr), 0);
    libusb_free_transfer(nullptr);
    EXPECT_EQ(libusb_alloc_transfer(-1), nullptr);
    libusb_transfer_set_stream_id(nullptr, 1);
    EXPECT_EQ(libusb_transfer_get_stream_id(nullptr), 0u);
    EXPECT_LT(libusb_handle_events_timeout(ctx, nullptr), 0);
    EXPECT_LT(libusb_handle_events_timeout_completed(ctx, nullptr, nullptr), 0);
    EXPECT_LT(libusb_handle_events_locked(ctx, nullptr), 0);
    EXPECT_LT(libusb_get_next_timeout(ctx, nullptr), 0);
    libusb_free_pollfds(nullptr);
    EXPECT_LT(libusb_setlocale(nullptr), 0);
    EXPECT_LT(libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, nullptr, nullptr,
                                               nullptr),
              0);
    EXPECT_EQ(libusb_hotplug_get_user_data(ctx, 999), nullptr);
    libusb_hotplug_deregister_callback(ctx, 999);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x1234, 0x5678), nullptr);
    EXPECT_STREQ(libusb_error_name(-1000), "**UNKNOWN**");
    EXPECT_STREQ(libusb_strerror(-1000), "Other error");
}

TEST_F(SimBadInput, ClosedAndUnpluggedHandles) {
    auto dev = usbsim::plug(DeviceConfig::printerClassDevice("BAD1"));
    auto* h = open(dev);
    close(h);
    expectHandleCallsFail(h, "closed handle");
    libusb_close(h);  // twice: ignored
    EXPECT_EQ(libusb_get_device(h), nullptr);

    auto* h2 = open(dev);
    usbsim::unplug(dev);
    expectHandleCallsFail(h2, "unplugged device");
    EXPECT_NE(libusb_get_device(h2), nullptr);  // the handle itself stays valid until closed
}

TEST_F(SimBadInput, WrongEndpointsLengthsAndValues) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("BAD2"));
    auto* h = open(dev);
    unsigned char buf[64] = {};
    int n = 5;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, buf, 4, &n, 100), LIBUSB_ERROR_IO);  // no such endpoint
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, 4, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, buf, 4, &n, 100), LIBUSB_ERROR_IO);  // wrong direction
    EXPECT_EQ(libusb_bulk_transfer(h, 0x00, buf, 4, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, nullptr, 4, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, buf, -1, &n, 100), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 0, nullptr, 2, 100), LIBUSB_ERROR_INVALID_PARAM);
    // Zero lengths are legal: a zero-length packet goes out and is recorded.
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, nullptr, 0, &n, 100), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, buf, 0, nullptr, 100), 0);
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 0, nullptr, 0, 100), 0);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, 0), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 0, buf, sizeof buf), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_claim_interface(h, -1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(h, 300), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 9), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, -5, 0), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_configuration(h, 1000), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_clear_halt(h, 0x33), LIBUSB_ERROR_NOT_FOUND);
    uint8_t ports[1];
    libusb_device* d = libusb_get_device(h);
    EXPECT_EQ(libusb_get_port_numbers(d, ports, 0), LIBUSB_ERROR_INVALID_PARAM);
    libusb_config_descriptor* cfg = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(d, 5, &cfg), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_config_descriptor_by_value(d, 0, &cfg), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_config_descriptor(d, 0, nullptr), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_option(ctx, static_cast<libusb_option>(99)), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, 42), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_hotplug_register_callback(ctx, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);

    // Transfers malformed for submission.
    libusb_transfer* t = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(t, h, 0x09, buf, 4, nullptr, nullptr, 100);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_IO);
    libusb_fill_control_transfer(t, h, buf, nullptr, nullptr, 100);
    t->length = 4;  // shorter than a setup packet
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_INVALID_PARAM);
    libusb_fill_control_setup(buf, 0xC1, 1, 0, 0, 50);
    libusb_fill_control_transfer(t, h, buf, nullptr, nullptr, 100);
    t->length = LIBUSB_CONTROL_SETUP_SIZE + 2;  // data stage larger than the buffer
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_INVALID_PARAM);
    t->type = LIBUSB_TRANSFER_TYPE_BULK_STREAM;
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(libusb_cancel_transfer(t), LIBUSB_ERROR_NOT_FOUND);
    libusb_free_transfer(t);
}

TEST(SimBadInputContext, StaleAndUninitialisedContexts) {
    usbsim::resetBus();
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_INVALID_PARAM);  // never initialised
    EXPECT_EQ(libusb_handle_events(nullptr), LIBUSB_ERROR_INVALID_PARAM);
    libusb_exit(nullptr);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("CTX"));
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device* d = list[0];
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(d, &h), 0);
    libusb_exit(ctx);
    // Everything that belonged to the context is gone; stale pointers are refused.
    EXPECT_EQ(libusb_get_device_list(ctx, &list), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_bus_number(d), 0);
    EXPECT_LT(libusb_claim_interface(h, 0), 0);
    libusb_exit(ctx);
    std::free(list);
    usbsim::resetBus();
}
