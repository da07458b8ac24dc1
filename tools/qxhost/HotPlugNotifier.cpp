#include "tools/qxhost/HotPlugNotifier.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

CHotPlugNotifier::CHotPlugNotifier()
    : m_pContext(nullptr), m_hCallback(0), m_fStop(false), m_ulArrivals(0) {}

CHotPlugNotifier::~CHotPlugNotifier() { Stop(); }

bool CHotPlugNotifier::Start(int nVendor, std::string* pstrWhy) {
    if (m_pContext != nullptr) return true;
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        if (pstrWhy != nullptr) *pstrWhy = "libusb has no hot-plug capability here";
        return false;
    }
    libusb_context* pContext = nullptr;
    int r = libusb_init(&pContext);
    if (r != 0) {
        if (pstrWhy != nullptr) *pstrWhy = std::string("libusb_init: ") + libusb_error_name(r);
        return false;
    }
    r = libusb_hotplug_register_callback(
        pContext, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
        nVendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &CHotPlugNotifier::Callback,
        this, &m_hCallback);
    if (r != 0) {
        if (pstrWhy != nullptr)
            *pstrWhy = std::string("libusb_hotplug_register_callback: ") + libusb_error_name(r);
        libusb_exit(pContext);
        return false;
    }
    m_pContext = pContext;
    m_fStop.store(false);
    m_thread = std::thread(&CHotPlugNotifier::Run, this);
    return true;
}

void CHotPlugNotifier::Stop() {
    if (m_pContext == nullptr) return;
    m_fStop.store(true);
    // Ends the event handling in progress (or the next one) at once.
    libusb_interrupt_event_handler(m_pContext);
    if (m_thread.joinable()) m_thread.join();
    libusb_hotplug_deregister_callback(m_pContext, m_hCallback);
    libusb_exit(m_pContext);
    m_pContext = nullptr;
}

std::vector<std::string> CHotPlugNotifier::TakeNotices() {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::string> vec;
    vec.swap(m_vecNotices);
    return vec;
}

void CHotPlugNotifier::Run() {
    // Callbacks run inside the event handling; the short time-out bounds how long Stop waits.
    while (!m_fStop.load()) {
        timeval tv = {0, 100000};
        libusb_handle_events_timeout_completed(m_pContext, &tv, nullptr);
    }
}

int LIBUSB_CALL CHotPlugNotifier::Callback(libusb_context*, libusb_device* pDevice,
                                           libusb_hotplug_event event, void* pUser) {
    CHotPlugNotifier* pSelf = static_cast<CHotPlugNotifier*>(pUser);
    libusb_device_descriptor desc = {};
    libusb_get_device_descriptor(pDevice, &desc);
    const bool fArrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    char sz[128];
    std::snprintf(sz, sizeof sz, "%s 0x%04x:0x%04x (bus %u, address %u)",
                  fArrived ? "arrived" : "left", desc.idVendor, desc.idProduct,
                  libusb_get_bus_number(pDevice), libusb_get_device_address(pDevice));
    {
        std::lock_guard<std::mutex> guard(pSelf->m_mutex);
        pSelf->m_vecNotices.push_back(sz);
    }
    // Only arrivals need the component: an open port notices a departure through its own
    // monitoring, and a device that has gone needs no binding.
    if (fArrived) {
        pSelf->m_ulArrivals.fetch_add(1);
        kill(getpid(), SIGUSR1);
    }
    return 0;
}
