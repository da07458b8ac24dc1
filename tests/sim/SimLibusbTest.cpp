// The simulator against libusb's documented semantics.
#include "SimFixture.h"

#include <atomic>
#include <cstring>
#include <thread>

using usbsim::Bytes;
using usbsim::DeviceConfig;
using usbsim::Record;

using SimLibusbEnumeration = SimTest;
using SimLibusbRequests = SimTest;
using SimLibusbInterfaces = SimTest;
using SimLibusbFaults = SimTest;
using SimLibusbBlocking = SimTest;
using SimLibusbHotplug = SimTest;
using SimLibusbAsync = SimTest;

TEST_F(SimLibusbEnumeration, ListsDevicesWithTheirDescriptors) {
    auto qx = usbsim::plug(DeviceConfig::vendorPrinter("QX1"));
    auto jv = usbsim::plug(DeviceConfig::displayPrinter("JV1"));
    auto prt = usbsim::plug(DeviceConfig::printerClassDevice("PR1"));
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 3);
    EXPECT_EQ(list[3], nullptr);
    std::vector<uint8_t> ports;
    for (int i = 0; i < 3; ++i) {
        libusb_device_descriptor d{};
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        EXPECT_EQ(d.idVendor, KORVO_USB_VENDOR_ID);
        EXPECT_EQ(d.bNumConfigurations, 1);
        EXPECT_EQ(d.iSerialNumber, 3);
        EXPECT_EQ(libusb_get_bus_number(list[i]), 1);
        EXPECT_EQ(libusb_get_device_speed(list[i]), LIBUSB_SPEED_FULL);
        uint8_t path[7];
        ASSERT_EQ(libusb_get_port_numbers(list[i], path, 7), 1);
        EXPECT_EQ(path[0], libusb_get_port_number(list[i]));
        ports.push_back(path[0]);
        libusb_config_descriptor* cfg = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(list[i], &cfg), 0);
        ASSERT_EQ(cfg->bNumInterfaces, 1);
        ASSERT_EQ(cfg->interface[0].num_altsetting, 1);
        const libusb_interface_descriptor& alt = cfg->interface[0].altsetting[0];
        if (d.idProduct == 0x0E01) {
            EXPECT_EQ(alt.bInterfaceClass, LIBUSB_CLASS_PRINTER);
            EXPECT_EQ(alt.bInterfaceProtocol, 2);
            EXPECT_EQ(alt.bNumEndpoints, 2);
        } else {
            EXPECT_EQ(d.idProduct, 0x0202);
            EXPECT_EQ(alt.bInterfaceClass, LIBUSB_CLASS_VENDOR_SPEC);
        }
        EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x82);
        EXPECT_EQ(alt.endpoint[0].bmAttributes, LIBUSB_TRANSFER_TYPE_BULK);
        if (alt.bNumEndpoints == 4) {
            EXPECT_EQ(libusb_get_device_address(list[i]), jv->address());
            EXPECT_EQ(alt.endpoint[2].bEndpointAddress, 0x03);
            EXPECT_EQ(alt.endpoint[3].bEndpointAddress, 0x84);
        }
        libusb_free_config_descriptor(cfg);
        EXPECT_EQ(libusb_get_max_packet_size(list[i], 0x82), 64);
        EXPECT_EQ(libusb_get_max_packet_size(list[i], 0x05), LIBUSB_ERROR_NOT_FOUND);
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<uint8_t>{1, 2, 3}));
    libusb_free_device_list(list, 1);
}

TEST_F(SimLibusbEnumeration, ReplugIsANewInstanceUnderTheSameName) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("SAME"));
    const std::string name = dev->deviceName();
    EXPECT_EQ(name, "USB#VID_0XFFFF##PID_0X202SAME");
    auto* h = open(dev);
    auto again = usbsim::replug(dev);
    EXPECT_NE(again->address(), dev->address());
    EXPECT_EQ(again->deviceName(), name);
    EXPECT_EQ(word(h, 1), LIBUSB_ERROR_NO_DEVICE);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    EXPECT_EQ(libusb_get_device_address(list[0]), again->address());
    libusb_free_device_list(list, 1);
    // Two identical devices, with the same serial or none, are listed twice.
    usbsim::plug(DeviceConfig::vendorPrinter("SAME"));
    usbsim::plug(DeviceConfig::vendorPrinter(std::nullopt));
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 3);
    libusb_free_device_list(list, 1);
}

TEST_F(SimLibusbEnumeration, DeviceReferencesOutliveTheList) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("REF"));
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device* d = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    usbsim::unplug(dev);
    libusb_device_descriptor desc{};
    EXPECT_EQ(libusb_get_device_descriptor(d, &desc), 0);  // cached, as after a real unplug
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_open(d, &h), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(d);
}

TEST_F(SimLibusbRequests, StringDescriptorsRawAndAscii) {
    DeviceConfig c = DeviceConfig::vendorPrinter("AB12");
    c.manufacturer = "K\xC3\xB6rvo";  // non-ASCII shows as '?' in the ASCII reading
    auto dev = usbsim::plug(c);
    auto* h = open(dev);
    unsigned char buf[256];
    ASSERT_EQ(libusb_get_string_descriptor(h, 0, 0, buf, sizeof buf), 4);
    EXPECT_EQ(buf[1], LIBUSB_DT_STRING);
    EXPECT_EQ(buf[2] | (buf[3] << 8), 0x0409);
    ASSERT_EQ(libusb_get_string_descriptor(h, 3, 0x0409, buf, sizeof buf), 10);
    EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{10, 3, 'A', 0, 'B', 0, '1', 0, '2', 0}));
    ASSERT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "AB12");
    ASSERT_EQ(libusb_get_string_descriptor_ascii(h, 1, buf, sizeof buf), 5);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "K?rvo");
    ASSERT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, 3), 2);  // truncated, terminated
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "AB");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 7, buf, sizeof buf), LIBUSB_ERROR_PIPE);

    auto noSerial = usbsim::plug(DeviceConfig::vendorPrinter(std::nullopt));
    auto* h2 = open(noSerial);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h2), &d), 0);
    EXPECT_EQ(d.iSerialNumber, 0);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h2, 3, buf, sizeof buf), LIBUSB_ERROR_PIPE);
}

TEST_F(SimLibusbRequests, StandardRequestsAnswerAsAFullSpeedDevice) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("STD"));
    auto* h = open(dev);
    unsigned char buf[256];
    ASSERT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, buf, sizeof buf), 18);
    EXPECT_EQ(buf[8] | (buf[9] << 8), KORVO_USB_VENDOR_ID);
    ASSERT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, buf, 8), 8);  // wLength limits the answer
    // The answer probe of the component: the configuration descriptor in a 256-byte buffer.
    ASSERT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0200, 0, buf, 256, 1000), 32);
    EXPECT_EQ(buf[1], LIBUSB_DT_CONFIG);
    EXPECT_EQ(buf[2], 32);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0600, 0, buf, 10, 1000), LIBUSB_ERROR_PIPE);  // qualifier
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0A00, 0, buf, 4, 1000), LIBUSB_ERROR_PIPE);   // debug
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0201, 0, buf, 9, 1000), LIBUSB_ERROR_PIPE);   // 2nd config
    ASSERT_EQ(libusb_control_transfer(h, 0x80, 0, 0, 0, buf, 2, 1000), 2);                        // GET_STATUS
    EXPECT_EQ(buf[0], 1);  // self-powered
    ASSERT_EQ(libusb_control_transfer(h, 0x80, 8, 0, 0, buf, 1, 1000), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(libusb_control_transfer(h, 0x00, 9, 1, 0, nullptr, 0, 1000), 0);
    EXPECT_EQ(libusb_control_transfer(h, 0x00, 9, 7, 0, nullptr, 0, 1000), LIBUSB_ERROR_PIPE);
    int config = -1;
    ASSERT_EQ(libusb_get_configuration(h, &config), 0);
    EXPECT_EQ(config, 1);
    EXPECT_EQ(libusb_set_configuration(h, 2), LIBUSB_ERROR_NOT_FOUND);
    // Endpoint halt through standard requests, seen by GET_STATUS.
    ASSERT_EQ(libusb_control_transfer(h, 0x02, 3, 0, 0x01, nullptr, 0, 1000), 0);
    ASSERT_EQ(libusb_control_transfer(h, 0x82, 0, 0, 0x01, buf, 2, 1000), 2);
    EXPECT_EQ(buf[0], 1);
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, buf, 1, &n, 100), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(h, 0x01), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, buf, 1, &n, 100), 0);
    EXPECT_EQ(libusb_clear_halt(h, 0x07), LIBUSB_ERROR_NOT_FOUND);
    // Each request is in the record with its setup fields.
    EXPECT_TRUE(dev->waitFor([](const Record& r) {
        return r.type == Record::Type::Control && r.bmRequestType == 0x02 && r.bRequest == 1 && r.wIndex == 0x01;
    }));
}

TEST_F(SimLibusbInterfaces, KernelDriverDetachClaimAndAttach) {
    auto prt = usbsim::plug(DeviceConfig::printerClassDevice("KD"));
    auto* h = open(prt);
    auto* other = open(prt);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    ASSERT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    unsigned char b[4];
    int n = 0;
    // usbfs refuses the URB (EBUSY); libusb reports a refused submission as an I/O error.
    EXPECT_EQ(libusb_bulk_transfer(other, 0x01, b, 1, &n, 100), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 0, 0), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 0, 1), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_attach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    // Auto-detach takes the driver away on claim and gives it back on release.
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    ASSERT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);

    auto qx = usbsim::plug(DeviceConfig::vendorPrinter("KD2"));
    auto* hq = open(qx);
    EXPECT_EQ(libusb_kernel_driver_active(hq, 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(hq, 0), LIBUSB_ERROR_NOT_FOUND);  // no driver for vendor class
    const auto recs = prt->records();
    EXPECT_TRUE(std::any_of(recs.begin(), recs.end(), [](const Record& r) { return r.type == Record::Type::Claim; }));
}

TEST_F(SimLibusbFaults, ScriptedFailuresCountDown) {
    auto prt = usbsim::plug(DeviceConfig::printerClassDevice("FL"));
    prt->failOpen(1, LIBUSB_ERROR_ACCESS);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    libusb_free_device_list(list, 1);
    handles.push_back(h);

    prt->failDetach(2);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    prt->failKernelDriverQuery(LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), LIBUSB_ERROR_IO);
    prt->failClaim(1, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);

    unsigned char buf[256];
    prt->failStringDescriptors(2);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), 2);  // "FL"
    prt->failAnswerProbe(3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0200, 0, buf, 256, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_GT(libusb_control_transfer(h, 0x80, 6, 0x0200, 0, buf, 256, 1000), 0);
}

TEST_F(SimLibusbFaults, ControlRequestsTimeOutOrAnswerShort) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("CF"));
    auto* h = open(dev);
    usbsim::ControlFault f;
    f.bRequest = 1;
    f.action = usbsim::FaultAction::Short;
    dev->addControlFault(f);
    f.action = usbsim::FaultAction::Empty;
    dev->addControlFault(f);
    f.action = usbsim::FaultAction::Timeout;
    dev->addControlFault(f);
    EXPECT_EQ(word(h, 1), -1001);  // one byte
    EXPECT_EQ(word(h, 1), -1000);  // none
    unsigned char b[2];
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 0, b, 2, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(word(h, 1), 0);
}

TEST_F(SimLibusbBlocking, CloseReleasesABlockedTransfer) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("BL"));
    usbsim::ControlFault f;
    f.bRequest = 1;
    f.action = usbsim::FaultAction::Timeout;
    dev->addControlFault(f);
    auto* h = open(dev);
    std::atomic<int> result{1};
    std::thread t([&] {
        unsigned char b[2];
        result = libusb_control_transfer(h, 0xC1, 1, 0, 0, b, 2, 0);  // no time limit
    });
    ASSERT_TRUE(dev->waitFor([](const Record& r) { return r.isVendor(1); }));
    close(h);
    t.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(SimLibusbBlocking, ExitReleasesABlockedBulkTransfer) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("BL2"));
    dev->addBulkOutFault({usbsim::Channel::Printer, 8, usbsim::FaultAction::Timeout, std::nullopt});
    libusb_context* own = nullptr;
    ASSERT_EQ(libusb_init(&own), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(own, &list), 1);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    libusb_free_device_list(list, 1);
    std::atomic<int> result{1};
    std::atomic<int> moved{-1};
    std::thread t([&] {
        unsigned char b[64] = {};
        int n = 0;
        result = libusb_bulk_transfer(h, 0x01, b, 64, &n, 0);
        moved = n;
    });
    ASSERT_TRUE(dev->waitForReceived(8));
    libusb_exit(own);
    t.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(moved.load(), 8);
    EXPECT_EQ(word(nullptr, 1), LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(SimLibusbBlocking, UnplugReleasesABlockedWrite) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("BL3"));
    dev->addBulkOutFault({usbsim::Channel::Printer, 8, usbsim::FaultAction::Timeout, std::nullopt});
    auto* h = open(dev);
    std::atomic<int> result{1};
    std::thread t([&] {
        unsigned char b[64] = {};
        int n = 0;
        result = libusb_bulk_transfer(h, 0x01, b, 64, &n, 0);
    });
    ASSERT_TRUE(dev->waitForReceived(8));
    usbsim::unplug(dev);
    t.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
}

namespace {
struct HotplugLog {
    std::vector<std::pair<int, uint8_t>> events;  // event, address
    int stopAfter = 0;
};
int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* d, libusb_hotplug_event ev, void* user) {
    auto* log = static_cast<HotplugLog*>(user);
    log->events.emplace_back(ev, libusb_get_device_address(d));
    return log->stopAfter && static_cast<int>(log->events.size()) >= log->stopAfter ? 1 : 0;
}
}  // namespace

TEST_F(SimLibusbHotplug, ArrivalAndDepartureReachTheCallback) {
    ASSERT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
    auto first = usbsim::plug(DeviceConfig::vendorPrinter("H1"));
    HotplugLog log;
    libusb_hotplug_callback_handle cb = 0;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE,
                  KORVO_USB_VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, &log, &cb),
              0);
    ASSERT_EQ(log.events.size(), 1u);  // the device already present
    EXPECT_EQ(libusb_hotplug_get_user_data(ctx, cb), &log);
    auto second = usbsim::plug(DeviceConfig::vendorPrinter("H2"));
    usbsim::unplug(first);
    timeval tv{0, 0};
    while (log.events.size() < 3) {
        tv = {5, 0};
        ASSERT_EQ(libusb_handle_events_timeout_completed(ctx, &tv, nullptr), 0);
    }
    EXPECT_EQ(log.events[1], std::make_pair(int(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED), second->address()));
    EXPECT_EQ(log.events[2], std::make_pair(int(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT), first->address()));
    libusb_hotplug_deregister_callback(ctx, cb);
    usbsim::unplug(second);
    tv = {0, 10000};
    libusb_handle_events_timeout(ctx, &tv);
    EXPECT_EQ(log.events.size(), 3u);
}

TEST_F(SimLibusbHotplug, ReturningOneDeregisters) {
    HotplugLog log;
    log.stopAfter = 1;
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, &log,
                                               nullptr),
              0);
    usbsim::plug(DeviceConfig::vendorPrinter("R1"));
    usbsim::plug(DeviceConfig::vendorPrinter("R2"));
    timeval tv{0, 20000};
    for (int i = 0; i < 5; ++i) libusb_handle_events_timeout(ctx, &tv);
    EXPECT_EQ(log.events.size(), 1u);
}

namespace {
struct Done {
    int completed = 0;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    int actual = -1;
};
void LIBUSB_CALL onTransfer(libusb_transfer* t) {
    auto* d = static_cast<Done*>(t->user_data);
    d->status = t->status;
    d->actual = t->actual_length;
    d->completed = 1;
}
}  // namespace

TEST_F(SimLibusbAsync, BulkAndControlTransfersComplete) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("AS"));
    auto* h = open(dev);
    libusb_transfer* t = libusb_alloc_transfer(0);
    ASSERT_NE(t, nullptr);
    unsigned char data[100];
    std::memset(data, 0x5A, sizeof data);
    Done done;
    libusb_fill_bulk_transfer(t, h, 0x01, data, sizeof data, onTransfer, &done, 1000);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_BUSY);
    while (!done.completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done.completed), 0);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done.actual, 100);
    EXPECT_EQ(dev->received(), Bytes(data, data + 100));

    unsigned char setup[LIBUSB_CONTROL_SETUP_SIZE + 2];
    libusb_fill_control_setup(setup, 0xC1, 0, 0, 0, 2);
    done = Done{};
    libusb_fill_control_transfer(t, h, setup, onTransfer, &done, 1000);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    while (!done.completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done.completed), 0);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done.actual, 2);
    EXPECT_EQ(libusb_control_transfer_get_data(t)[0], 0x06);

    libusb_fill_iso_transfer(t, h, 0x01, data, 10, 0, onTransfer, &done, 1000);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_NOT_SUPPORTED);
    libusb_free_transfer(t);
}

TEST_F(SimLibusbAsync, CancelAndTimeout) {
    DeviceConfig c = DeviceConfig::vendorPrinter("AC");
    c.idleInZeroLength = false;
    auto dev = usbsim::plug(c);
    auto* h = open(dev);
    libusb_transfer* t = libusb_alloc_transfer(0);
    unsigned char buf[64];
    Done done;
    libusb_fill_bulk_transfer(t, h, 0x82, buf, sizeof buf, onTransfer, &done, 0);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    ASSERT_EQ(libusb_cancel_transfer(t), 0);
    EXPECT_EQ(libusb_cancel_transfer(t), LIBUSB_ERROR_NOT_FOUND);
    while (!done.completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done.completed), 0);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_CANCELLED);

    done = Done{};
    libusb_fill_bulk_transfer(t, h, 0x82, buf, sizeof buf, onTransfer, &done, 20);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    timeval next{};
    EXPECT_EQ(libusb_get_next_timeout(ctx, &next), 1);
    while (!done.completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done.completed), 0);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_TIMED_OUT);

    dev->queueInput({7, 8});
    done = Done{};
    libusb_fill_bulk_transfer(t, h, 0x82, buf, sizeof buf, onTransfer, &done, 0);
    t->flags = LIBUSB_TRANSFER_SHORT_NOT_OK;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    while (!done.completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done.completed), 0);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(done.actual, 2);
    libusb_free_transfer(t);
}

TEST(SimLibusbContext, DefaultContextIsShared) {
    usbsim::resetBus();
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("DEF"));
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    libusb_set_debug(nullptr, 0);  // still called by programs written against older versions
#pragma GCC diagnostic pop
    EXPECT_EQ(libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING), 0);
    EXPECT_EQ(libusb_set_option(nullptr, LIBUSB_OPTION_USE_USBDK), LIBUSB_ERROR_NOT_SUPPORTED);
    libusb_exit(nullptr);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);  // still initialised once
    libusb_free_device_list(list, 1);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, KORVO_USB_VENDOR_ID, 0x0202);
    ASSERT_NE(h, nullptr);
    libusb_close(h);
    libusb_exit(nullptr);
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_INVALID_PARAM);
    usbsim::resetBus();
}

TEST(SimLibusbErrors, NamesAndTexts) {
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_PIPE), "LIBUSB_ERROR_PIPE");
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_OTHER), "LIBUSB_ERROR_OTHER");
    EXPECT_STREQ(libusb_error_name(12345), "**UNKNOWN**");
    EXPECT_STREQ(libusb_strerror(LIBUSB_ERROR_TIMEOUT), "Operation timed out");
    EXPECT_STREQ(libusb_strerror(LIBUSB_ERROR_BUSY), "Resource busy");
    const libusb_version* v = libusb_get_version();
    EXPECT_EQ(v->major, 1);
    EXPECT_EQ(v->minor, 0);
}

using SimLibusbWire = SimTest;

// The timing model never lets a transfer leave the wire before the ones queued ahead of it:
// completion times are bounded from below by the model, whatever the machine's load.
TEST_F(SimLibusbWire, QueuedTransfersFollowEachOtherAndAnIdleWireWaitsForTheNext) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("WQ"));
    auto* h = open(dev);
    usbsim::setTiming(usbsim::Timing{204800, std::chrono::microseconds(0)});  // 4096 bytes: 20 ms
    unsigned char data[4096] = {};
    Done done[3];
    libusb_transfer* t[3];
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        t[i] = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t[i], h, 0x01, data, sizeof data, onTransfer, &done[i], 5000);
        ASSERT_EQ(libusb_submit_transfer(t[i]), 0);
    }
    std::chrono::steady_clock::duration at[3];
    for (int i = 0; i < 3; ++i) {
        while (!done[i].completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done[i].completed), 0);
        at[i] = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(done[i].status, LIBUSB_TRANSFER_COMPLETED);
    }
    for (int i = 0; i < 3; ++i) EXPECT_GE(at[i], std::chrono::milliseconds(20 * (i + 1))) << i;

    // Queued on an idle wire, a transfer takes its own wire time from then on.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto later = std::chrono::steady_clock::now();
    done[0] = Done{};
    ASSERT_EQ(libusb_submit_transfer(t[0]), 0);
    while (!done[0].completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done[0].completed), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - later, std::chrono::milliseconds(20));

    // A synchronous call waits behind what is queued.
    done[1] = Done{};
    ASSERT_EQ(libusb_submit_transfer(t[1]), 0);
    const auto sync = std::chrono::steady_clock::now();
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, data, sizeof data, &n, 5000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sync, std::chrono::milliseconds(40));
    while (!done[1].completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done[1].completed), 0);
    for (auto* x : t) libusb_free_transfer(x);
    usbsim::setTiming(usbsim::Timing::off());
}

TEST_F(SimLibusbWire, AFaultStopsTheQueueUntilTheProgramHasSeenIt) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("WF"));
    auto* h = open(dev);
    dev->addBulkOutFault({usbsim::Channel::Printer, 10, usbsim::FaultAction::Stall, std::nullopt});
    unsigned char data[64] = {};
    Done done[2];
    libusb_transfer* t[2];
    for (int i = 0; i < 2; ++i) {
        t[i] = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t[i], h, 0x01, data, sizeof data, onTransfer, &done[i], 5000);
        ASSERT_EQ(libusb_submit_transfer(t[i]), 0);
    }
    while (!done[0].completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done[0].completed), 0);
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(libusb_cancel_transfer(t[1]), 0);
    while (!done[1].completed) ASSERT_EQ(libusb_handle_events_completed(ctx, &done[1].completed), 0);
    EXPECT_EQ(done[1].status, LIBUSB_TRANSFER_CANCELLED);
    int outs = 0;
    for (const Record& r : dev->records()) outs += r.type == Record::Type::BulkOut;
    EXPECT_EQ(outs, 1);
    for (auto* x : t) libusb_free_transfer(x);
}
