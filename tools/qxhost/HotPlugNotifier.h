#pragma once
// CHotPlugNotifier: the host's hot-plug notifier. The component learns of new devices from
// SIGUSR1 sent to its process; where libusb reports the hot-plug capability, this turns libusb's
// arrival callbacks for the maker's devices into that signal for the own process. It runs its
// own libusb context and one thread that handles its events.
//
// The process must block SIGUSR1 in every thread but the component's plug-and-play thread (the
// substitute host does so before main), or the signal's default action ends it.

#include <libusb.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CHotPlugNotifier {
public:
    CHotPlugNotifier();
    ~CHotPlugNotifier();
    CHotPlugNotifier(const CHotPlugNotifier&) = delete;
    CHotPlugNotifier& operator=(const CHotPlugNotifier&) = delete;

    // Registers for arrivals and departures of devices of the vendor and starts the event thread.
    // False (and nothing running) when libusb has no hot-plug capability or refuses; pstrWhy says
    // why.
    bool Start(int nVendor, std::string* pstrWhy);
    // Stops the thread (within about 100 ms) and releases the context; idempotent.
    void Stop();
    bool IsRunning() const { return m_pContext != nullptr; }

    // What was noticed since the last call, oldest first: "arrived 0xffff:0x0202 (bus 1, address
    // 2)" or "left ...". Each arrival also sent SIGUSR1.
    std::vector<std::string> TakeNotices();
    unsigned int ArrivalCount() const { return m_ulArrivals.load(); }

private:
    static int LIBUSB_CALL Callback(libusb_context* pContext, libusb_device* pDevice,
                                    libusb_hotplug_event event, void* pUser);
    void Run();

    libusb_context* m_pContext;
    libusb_hotplug_callback_handle m_hCallback;
    std::thread m_thread;
    std::atomic<bool> m_fStop;
    std::atomic<unsigned int> m_ulArrivals;
    // Guards m_vecNotices; a leaf lock.
    std::mutex m_mutex;
    std::vector<std::string> m_vecNotices;
};
