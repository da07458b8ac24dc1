// Host storm: sixteen host threads make random table calls for a minute on four ports (one of them
// a printer with a customer display, opened on both parts): writes of every size, control codes
// with valid and malformed arguments, opens of good and bad paths, closes and re-opens, and calls
// on handles that were never opened. Meanwhile the devices send input and change between ready and
// not ready. Every call must come back within its bound with a defined result code, calls whose
// result is fixed must give exactly that result, and each device channel must have taken exactly
// the bytes the writes reported.
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "tests/stress/StressSupport.h"

using namespace stress;

namespace {

constexpr int kThreads = 16;
constexpr unsigned long kSecondsNormal = 60;

// One part of a port (QX or JV) with the handle the storm currently has open on it.
struct PART {
    std::string strPath;
    CHANNEL_BOOK book;
    std::mutex reopen;  // one close-and-reopen at a time per part
    std::atomic<void*> h{nullptr};
    std::atomic<unsigned long> ulReopened{0};
    std::vector<void*> vecHandles;  // every handle the part had, guarded by reopen
};

class HostStorm : public StressFixture {
protected:
    std::vector<unsigned char> RandomBuffer(std::mt19937& rng, size_t ulMax) {
        std::vector<unsigned char> vec(rng() % (ulMax + 1));
        for (unsigned char& c : vec) c = static_cast<unsigned char>(rng());
        return vec;
    }

    std::string RandomPath(std::mt19937& rng) {
        static const char* const kPaths[] = {
            "QX",      "QX/P0/EXTRA", "",         "/",      "//",    "QX/NOPE",     "JV/NOPE",
            "RP/NOPE", "QX//",        "/QX/",     "QX/P0 ", "qx/p0", "QX/\xC3\xA9", "\xFF/\xFE",
            "JV/P0",   "QX/P1",       "/QX//P2/", "JV/P3",  "QX/P3"};
        switch (rng() % 4) {
            case 0: {
                std::string s(1 + rng() % 40, 'x');
                for (char& c : s) c = static_cast<char>(rng() % 3 == 0 ? '/' : 32 + rng() % 95);
                return s;
            }
            case 1:
                return std::string("QX/") + std::string(200 + rng() % 5000, 'L');
            default:
                return kPaths[rng() % (sizeof kPaths / sizeof kPaths[0])];
        }
    }

    static const std::vector<unsigned int>& Codes() {
        static const std::vector<unsigned int> vec = {PH_LOCK_PORT,
                                                      PH_USB_GET_POWER_STATE,
                                                      0x50010004u,
                                                      0x60010006u,
                                                      PH_USB_SET_FLOW_CONTROL,
                                                      PH_USB_SET_MONITOR_INTERVAL,
                                                      PH_CONFIG_CHANGED,
                                                      PH_USB_CLEAR_WRITE_ABORT,
                                                      PH_USB_ABORT_WRITE,
                                                      PH_USB_UPDATE_BOOT_MODE,
                                                      PH_USB_DEVICE_IOCTL,
                                                      PH_USB_SET_DISCONNECTED,
                                                      PH_CONFIG_GET_COMPONENT_UI,
                                                      PH_CONFIG_DELETE_PORT,
                                                      PH_CONFIG_ADD_PORT,
                                                      0x00000000u,
                                                      0xFFFFFFFFu,
                                                      0x12345678u};
        return vec;
    }

    // In-data for a control code: mostly the right shape, sometimes not.
    CData ArgumentFor(std::mt19937& rng, unsigned int ulCode) {
        if (rng() % 5 == 0) {
            std::vector<unsigned char> vec = RandomBuffer(rng, 12);
            // Never a raw send through the pass-through: a write-start request from the host
            // restarts the device's byte count under a write in progress (the host's own doing).
            if ((ulCode & ~PH_UCS2_STRINGS) == PH_USB_DEVICE_IOCTL && vec.size() >= 4)
                vec[3] &= 0xBF;  // bit 30 of the word: send
            return ToData(vec);
        }
        switch (ulCode & ~PH_UCS2_STRINGS) {
            case PH_LOCK_PORT: {
                static const unsigned int kValues[] = {1, 2, 0x10000001u, 0, 7};
                return Word(kValues[rng() % 5]);
            }
            case PH_USB_SET_FLOW_CONTROL:
                return Word(rng() % 4);
            case PH_USB_SET_MONITOR_INTERVAL:
                return Word(rng() % 3 == 0 ? rng() : 10 + rng() % 300);
            case PH_USB_SET_DISCONNECTED:
                return Word(rng() % 2);
            // Reads only (capability or status word): a raw send could restart a write's byte
            // count.
            case PH_USB_DEVICE_IOCTL:
                return Word(0x80000000u | (rng() % 2));
            case PH_CONFIG_GET_COMPONENT_UI: {
                static const char* const kRequests[] = {"JV", "QX/P0", "JV/P3", "QX", "A/B/C", ""};
                const char* psz = kRequests[rng() % 6];
                return CData(reinterpret_cast<const unsigned char*>(psz),
                             static_cast<unsigned int>(strlen(psz) + 1));
            }
            case PH_CONFIG_DELETE_PORT:
            case PH_CONFIG_ADD_PORT: {
                // Never a configured port: the storm's own ports stay in the table.
                const std::string s = (rng() % 2 ? "QX/Z" : "JV/Z") + std::to_string(rng() % 100);
                return CData(reinterpret_cast<const unsigned char*>(s.c_str()),
                             static_cast<unsigned int>(s.size() + 1));
            }
            default:
                return ToData(RandomBuffer(rng, 8));
        }
    }

    void CloseAndReopen(PART& part) {
        std::lock_guard<std::mutex> lock(part.reopen);
        void* hOld = part.h.load();
        EXPECT_EQ(Close(hOld), PHR_SUCCESS) << part.strPath;
        void* hNew = m_host.NewHandle();
        // A random Open of the same path by another thread may hold the part for a moment.
        unsigned int ul = PHR_PORT_OPEN_FAILURE;
        for (int i = 0; i < 1000 && ul == PHR_PORT_OPEN_FAILURE; ++i) {
            ul = Open(hNew, part.strPath);
            if (ul == PHR_PORT_OPEN_FAILURE)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(ul, PHR_SUCCESS) << part.strPath;
        part.h = hNew;
        part.vecHandles.push_back(hNew);
        ++part.ulReopened;
    }
};

TEST_F(HostStorm, SixteenThreadsOfRandomCallsOnFourPorts) {
    const unsigned int ulSeed = Seed();
    const unsigned long ulSeconds = Scaled(kSecondsNormal, 5);
    printf("seed %u (TALIUN_STRESS_SEED repeats it), %lu s, %d threads\n", ulSeed, ulSeconds,
           kThreads);
    StartDaemon();

    std::vector<usbsim::DevicePtr> vecDevices;
    for (int i = 0; i < 3; ++i) {
        vecDevices.push_back(
            usbsim::plug(usbsim::DeviceConfig::vendorPrinter("STORM" + std::to_string(i))));
        ConfigurePort("P" + std::to_string(i), vecDevices.back()->deviceName());
    }
    vecDevices.push_back(usbsim::plug(usbsim::DeviceConfig::displayPrinter("STORM3")));
    ConfigurePort("P3", vecDevices.back()->deviceName(), true);
    Load();

    std::vector<std::unique_ptr<PART>> vecParts;
    for (int i = 0; i < 4; ++i) {
        vecParts.emplace_back(new PART);
        vecParts.back()->strPath = "QX/P" + std::to_string(i);
    }
    vecParts.emplace_back(new PART);
    vecParts.back()->strPath = "JV/P3";
    vecParts.back()->book.channel = usbsim::Channel::Display;
    for (size_t i = 0; i < vecParts.size(); ++i) {
        PART& part = *vecParts[i];
        part.book.Add(vecDevices[std::min<size_t>(i, 3)]);
        part.h = m_host.NewHandle();
        part.vecHandles.push_back(part.h.load());
        ASSERT_EQ(Open(part.h, part.strPath), PHR_SUCCESS) << part.strPath;
    }

    std::atomic<bool> bStop{false};
    std::atomic<unsigned long> ulStrayOpens{0};
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < kThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            std::mt19937 rng(ulSeed + 977u * static_cast<unsigned int>(t));
            void* const hNever = m_host.NewHandle();  // never opened by anyone
            while (!bStop.load()) {
                PART& part = *vecParts[rng() % vecParts.size()];
                const unsigned int ulAction = rng() % 100;
                if (ulAction < 45) {
                    // Mostly receipts; now and then a job longer than one transfer piece.
                    const size_t ulLength = rng() % 50 == 0 ? 65536 + rng() % 70000 : rng() % 6000;
                    const unsigned int ul =
                        BookedWrite(part.book, part.h.load(), Pattern(ulLength, rng()));
                    // A device request refused (the flow-control read-back disagreeing because
                    // another thread switched the mode, a transfer on a device just released) ends
                    // a write with PHR_UNEXPECTED_SYSTEM_ERROR.
                    EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_WRITE_TIMEOUT ||
                                ul == PHR_DEVICE_NOT_AVAILABLE || ul == PHR_NOT_CONNECTED ||
                                ul == PHR_INVALID_PARAMETER || ul == PHR_UNEXPECTED_SYSTEM_ERROR)
                        << std::hex << ul;
                } else if (ulAction < 50) {
                    // An empty buffer, and a null count pointer (only where no count can be lost).
                    unsigned int ulWritten = 77;
                    const unsigned int ul =
                        Write(part.h.load(), CData(), rng() % 2 ? &ulWritten : nullptr);
                    EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_NOT_CONNECTED ||
                                ul == PHR_INVALID_PARAMETER)
                        << std::hex << ul;
                } else if (ulAction < 80) {
                    unsigned int ulCode =
                        Codes()[rng() % Codes().size()] | (rng() % 8 == 0 ? PH_UCS2_STRINGS : 0u);
                    CData out;
                    Ioctl(part.h.load(), ulCode, ArgumentFor(rng, ulCode),
                          rng() % 4 ? &out : nullptr);
                    EXPECT_LE(out.Length(), 65536u);
                } else if (ulAction < 86) {
                    // Calls on a handle nobody opened: the results are fixed.
                    unsigned int ulWritten = 0;
                    EXPECT_EQ(Write(hNever, ToData(RandomBuffer(rng, 100)), &ulWritten),
                              PHR_NOT_CONNECTED);
                    EXPECT_EQ(Close(hNever), PHR_NOT_CONNECTED);
                    CData out;
                    EXPECT_EQ(Ioctl(hNever, PH_USB_GET_POWER_STATE, CData(), &out),
                              PHR_NOT_SUPPORTED);
                    EXPECT_EQ(Ioctl(hNever, PH_CONFIG_CHANGED, CData(), nullptr),
                              PHR_NOT_SUPPORTED);
                } else if (ulAction < 96) {
                    void* h = m_host.NewHandle();
                    const std::string strPath = RandomPath(rng);
                    const unsigned int ul = Open(h, strPath);
                    if (ul == PHR_SUCCESS) {
                        // A path that named a free part: give it back at once.
                        ++ulStrayOpens;
                        EXPECT_EQ(Close(h), PHR_SUCCESS) << strPath;
                    }
                    std::lock_guard<std::mutex> lock(part.reopen);
                    EXPECT_EQ(Open(part.h.load(), part.strPath), PHR_PORT_OPEN_FAILURE)
                        << "handle already open";
                } else if (ulAction < 98) {
                    // The open handle with a table that has more than the event sink: refused.
                    _PORTHANDLERCOMPONENT next = {};
                    next.Event = &CHost::EventSink;
                    next.Write = m_host.Table().Write;
                    void* h = m_host.NewHandle();
                    const unsigned int ul = m_watchdog.Watch(Call::Open, "Open(bad table)", [&] {
                        return m_host.Open(h, "QX/P0", &next);
                    });
                    m_results.Add("Open", ul);
                    EXPECT_EQ(ul, PHR_INVALID_PARAMETER);
                } else {
                    CloseAndReopen(part);
                }
            }
        });
    }
    // The devices: input messages and short spells of not being ready.
    std::thread devices([&] {
        std::mt19937 rng(ulSeed ^ 0xA5A5A5A5u);
        while (!bStop.load()) {
            const usbsim::DevicePtr& pDevice = vecDevices[rng() % vecDevices.size()];
            if (rng() % 5 == 0)
                pDevice->notReadyFor(std::chrono::milliseconds(20 + rng() % 150),
                                     rng() % 3 == 0 && pDevice->config().endpoints == 4
                                         ? usbsim::Channel::Display
                                         : usbsim::Channel::Printer);
            else
                pDevice->queueInput(Pattern(1 + rng() % 200, rng()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 30));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(ulSeconds));
    bStop = true;
    for (std::thread& th : vecThreads) th.join();
    devices.join();

    // Every part still works: take the device back (a storm may have released it) and clear any
    // abort; writes are refused until the monitoring thread, woken by the lock, has seen the device
    // ready again.
    for (const auto& pPart : vecParts) {
        PART& part = *pPart;
        EXPECT_EQ(Ioctl(part.h.load(), PH_LOCK_PORT, Word(1), nullptr), PHR_SUCCESS)
            << part.strPath;
        EXPECT_TRUE(WaitUntil([&] {
            CData out;
            int n = -9;
            if (Ioctl(part.h.load(), PH_USB_GET_POWER_STATE, CData(), &out) == PHR_SUCCESS &&
                out.Length() == 4)
                memcpy(&n, out.Buffer(), 4);
            return n == PH_POWER_READY;
        })) << part.strPath;
        const unsigned int ulLast = BookedWrite(part.book, part.h.load(), Pattern(1000, 1));
        EXPECT_EQ(ulLast, PHR_SUCCESS) << part.strPath;
        EXPECT_EQ(Close(part.h.load()), PHR_SUCCESS) << part.strPath;
    }

    PrintFigures("host storm");
    printf("stray opens of free parts: %lu\n", ulStrayOpens.load());
    EXPECT_EQ(m_results.Undefined(), 0u);
    for (const auto& pPart : vecParts) {
        PART& part = *pPart;
        printf(
            "%s: %lu writes succeeded, %lu failed (%lu with bytes), %llu bytes reported, %llu "
            "taken, "
            "%lu re-opens\n",
            part.strPath.c_str(), part.book.ulGood.load(), part.book.ulFailed.load(),
            part.book.ulFailedWithBytes.load(), part.book.ullReported.load(), part.book.Received(),
            part.ulReopened.load());
        EXPECT_EQ(part.book.Received(), part.book.ullReported.load()) << part.strPath;
        EXPECT_GT(part.book.ulGood.load(), 10u) << part.strPath;
    }
    // Every event carried a defined power state or some input.
    unsigned long ulEvents = 0;
    for (const auto& pPart : vecParts) {
        for (void* h : pPart->vecHandles) {
            for (const HOST_EVENT& e : m_host.Events(h)) {
                ++ulEvents;
                if (e.ulCode == PH_EVENT_POWER_STATE) {
                    ASSERT_EQ(e.vecData.size(), 4u);
                    int n;
                    memcpy(&n, e.vecData.data(), 4);
                    EXPECT_TRUE(n >= PH_POWER_READY && n <= PH_POWER_NOT_READY_DISPLAY) << n;
                } else {
                    EXPECT_EQ(e.ulCode, PH_EVENT_INPUT_DATA);
                    EXPECT_FALSE(e.vecData.empty());
                }
            }
        }
    }
    printf("events delivered: %lu\n", ulEvents);
    fflush(stdout);
}

}  // namespace
