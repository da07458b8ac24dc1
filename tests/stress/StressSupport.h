#pragma once
// Shared pieces of the stress suites: run lengths scaled for sanitizer builds, a watchdog over
// every host call with its bound, the set of defined result codes, and byte accounting per device
// channel.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"
#include "tests/support/TestData.h"
#include "tests/support/WaitUntil.h"

#ifndef TALIUN_LIBRARY
#error "TALIUN_LIBRARY must name the built libTaliunqxusb.so"
#endif

namespace stress {

using testsupport::Joined;
using testsupport::Pattern;
using testsupport::Seed;
using testsupport::ToData;
using testsupport::Word;

using Clock = std::chrono::steady_clock;

// Sanitizer builds run several times slower: they get shorter runs and longer bounds. The variable
// TALIUN_STRESS_SCALE (a factor, e.g. 0.1 for a quick look or 5 for a long night) overrides the
// length.
#ifdef TALIUN_STRESS_SANITIZED
constexpr double kDefaultScale = 0.25;
constexpr unsigned int kBoundFactor = 4;
#else
constexpr double kDefaultScale = 1.0;
constexpr unsigned int kBoundFactor = 1;
#endif

inline double Scale() {
    const char* psz = getenv("TALIUN_STRESS_SCALE");
    const double d = psz != nullptr ? atof(psz) : 0.0;
    return d > 0.0 ? d : kDefaultScale;
}

inline unsigned long Scaled(unsigned long ulNormal, unsigned long ulMinimum = 1) {
    return std::max(ulMinimum, static_cast<unsigned long>(static_cast<double>(ulNormal) * Scale()));
}

// Longest time each host call may take, from the component's documented time-outs (normal build):
//  - Write: no progress for the 5000 ms write time-out ends it; one transfer already under way
//    and the forced-stop count request add at most the 5000 ms transfer time-outs.
//  - Ioctl: the pass-through device request (two tries of a 5000 ms receive) or the mode workaround
//    (a write, then at most 10000 ms for the answer).
//  - Open: the answer probe (5 tries of 1000 ms plus 500 ms pauses), the serial number retry,
//    and the kernel-driver detach of a printer-class device (10 tries 1 s apart) before the first
//    status.
//  - Close: waits for writes in progress on the port and for the monitoring thread's current read.
//  - Unload: every open port closes as above, then the plug-and-play thread ends.
enum class Call { Open, Close, Write, Ioctl, Unload, Other };

inline const char* CallName(Call call) {
    switch (call) {
        case Call::Open:
            return "Open";
        case Call::Close:
            return "Close";
        case Call::Write:
            return "Write";
        case Call::Ioctl:
            return "Ioctl";
        case Call::Unload:
            return "Unload";
        default:
            return "call";
    }
}

inline unsigned int BoundMs(Call call) {
    unsigned int ul = 0;
    switch (call) {
        case Call::Write:
            ul = 15000;
            break;
        case Call::Ioctl:
            ul = 25000;
            break;
        case Call::Open:
            ul = 25000;
            break;
        case Call::Close:
            ul = 25000;
            break;
        case Call::Unload:
            ul = 60000;
            break;
        default:
            ul = 25000;
            break;
    }
    return ul * kBoundFactor;
}

// Watches every call in flight. A call that outlives its bound is a hang: the watchdog prints every
// call still running (with how long) and aborts the process, so the run fails at once instead of
// waiting for the test driver's time-out.
class CWatchdog {
public:
    CWatchdog() : m_thread([this] { Run(); }) {}
    ~CWatchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }
    CWatchdog(const CWatchdog&) = delete;
    CWatchdog& operator=(const CWatchdog&) = delete;

    // Runs fn as one watched call and returns its result.
    template <class Fn>
    auto Watch(Call call, const std::string& strWhat, Fn fn) -> decltype(fn()) {
        const uint64_t id = Begin(call, strWhat);
        struct End {
            CWatchdog* p;
            uint64_t id;
            ~End() { p->Finish(id); }
        } end{this, id};
        return fn();
    }

    // Longest observed duration per kind of call, in milliseconds, and the number of calls.
    std::map<Call, double> LongestMs() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mapLongest;
    }
    uint64_t Calls() const { return m_ullCalls.load(); }

private:
    struct ENTRY {
        Call call;
        std::string strWhat;
        Clock::time_point start;
    };

    uint64_t Begin(Call call, const std::string& strWhat) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint64_t id = ++m_ullNext;
        m_mapRunning[id] = ENTRY{call, strWhat, Clock::now()};
        return id;
    }
    void Finish(uint64_t id) {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_mapRunning.find(id);
        const double dMs =
            std::chrono::duration<double, std::milli>(now - it->second.start).count();
        double& dLongest = m_mapLongest[it->second.call];
        dLongest = std::max(dLongest, dMs);
        m_mapRunning.erase(it);
        ++m_ullCalls;
    }
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_cond.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_bStop; })) {
            const Clock::time_point now = Clock::now();
            bool bHung = false;
            for (const auto& item : m_mapRunning) {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - item.second.start)
                        .count();
                if (ms > static_cast<long long>(BoundMs(item.second.call))) bHung = true;
            }
            if (!bHung) continue;
            fprintf(stderr, "WATCHDOG: a call outlived its bound; calls in flight:\n");
            for (const auto& item : m_mapRunning) {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - item.second.start)
                        .count();
                fprintf(stderr, "  %s %s: %lld ms (bound %u ms)\n", CallName(item.second.call),
                        item.second.strWhat.c_str(), static_cast<long long>(ms),
                        BoundMs(item.second.call));
            }
            fflush(stderr);
            abort();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bStop = false;
    uint64_t m_ullNext = 0;
    std::map<uint64_t, ENTRY> m_mapRunning;
    std::map<Call, double> m_mapLongest;
    std::atomic<uint64_t> m_ullCalls{0};
    std::thread m_thread;
};

inline bool IsDefinedResult(unsigned int ul) {
    switch (ul) {
        case PHR_SUCCESS:
        case PHR_NOT_CONNECTED:
        case PHR_INVALID_CONFIGURATION:
        case PHR_INVALID_PARAMETER:
        case PHR_NOT_SUPPORTED:
        case PHR_UNEXPECTED_SYSTEM_ERROR:
        case PHR_ALLOCATION_ERROR:
        case PHR_OUT_OF_RESOURCES:
        case PHR_RESPONSE_TIMEOUT:
        case PHR_PERMISSION_ERROR:
        case PHR_PORT_OPEN_FAILURE:
        case PHR_DEVICE_ERROR:
        case PHR_DEVICE_NOT_AVAILABLE:
        case PHR_WRITE_TIMEOUT:
            return true;
        default:
            return false;
    }
}

// Counts every result by code, for the figures a run prints and for the defined-code check.
class CResults {
public:
    void Add(const char* pszCall, unsigned int ulResult) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_map[std::string(pszCall)][ulResult];
        if (!IsDefinedResult(ulResult)) ++m_ulUndefined;
    }
    unsigned long Undefined() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ulUndefined;
    }
    unsigned long Total() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        unsigned long ul = 0;
        for (const auto& call : m_map)
            for (const auto& code : call.second) ul += code.second;
        return ul;
    }
    void Print(FILE* pFile) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& call : m_map) {
            fprintf(pFile, "  %-6s", call.first.c_str());
            for (const auto& code : call.second)
                fprintf(pFile, " %08X:%lu", code.first, code.second);
            fprintf(pFile, "\n");
        }
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::map<unsigned int, unsigned long>> m_map;
    unsigned long m_ulUndefined = 0;
};

// Sanitizer builds get the same stretch as the call bounds.
template <class Pred>
bool WaitUntil(Pred pred, unsigned int ulTimeoutMs = 20000) {
    return testsupport::WaitUntil(pred, ulTimeoutMs * kBoundFactor);
}

// One device channel as the host sees it: every instance that was plugged under its name, and the
// counts the host's writes reported. Bytes taken by all instances together must equal what the
// writes reported; a write that failed part way may report less than its device took only when the
// device left during it (its count request could not be answered).
struct CHANNEL_BOOK {
    usbsim::Channel channel = usbsim::Channel::Printer;
    std::mutex mutex;
    std::vector<usbsim::DevicePtr> vecInstances;
    std::atomic<unsigned long long> ullReported{0};
    std::atomic<unsigned long long> ullSucceeded{0};
    std::atomic<unsigned long> ulGood{0};
    std::atomic<unsigned long> ulFailed{0};
    std::atomic<unsigned long> ulFailedWithBytes{0};

    void Add(const usbsim::DevicePtr& p) {
        std::lock_guard<std::mutex> lock(mutex);
        vecInstances.push_back(p);
    }
    usbsim::DevicePtr Current() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecInstances.back();
    }
    unsigned long long Received() {
        std::lock_guard<std::mutex> lock(mutex);
        unsigned long long ull = 0;
        for (const usbsim::DevicePtr& p : vecInstances) ull += p->received(channel).size();
        return ull;
    }
    void Book(unsigned int ulResult, unsigned int ulWritten) {
        ullReported += ulWritten;
        if (ulResult == PHR_SUCCESS) {
            ullSucceeded += ulWritten;
            ++ulGood;
        } else {
            ++ulFailed;
            if (ulWritten != 0) ++ulFailedWithBytes;
        }
    }
};

// The shipped library in the substitute host over the simulated bus, with a log daemon that counts
// but does not keep what it receives (runs send millions of lines).
class StressFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/taliun-stress.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        setenv("TALIUN_LOG_SOCKET", (m_strDir + "/log.sock").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        usbsim::resetBus();
    }
    void TearDown() override {
        if (m_host.IsInitialized())
            m_watchdog.Watch(Call::Unload, "Unload", [&] { m_host.Unload(); });
        usbsim::resetBus();
        if (m_pDaemon) m_pDaemon->Stop();
        const std::string strCommand = "rm -rf '" + m_strDir + "'";
        if (system(strCommand.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_strDir.c_str());
    }

    void StartDaemon() {
        m_pDaemon.reset(new CLogDaemon(m_strDir + "/log.sock"));
        m_pDaemon->SetRecording(false);
        std::string strError;
        ASSERT_TRUE(m_pDaemon->Start(&strError)) << strError;
    }

    void ConfigurePort(const std::string& strName, const std::string& strDevice,
                       bool bDisplay = false, bool bPrinterClass = false) {
        CPropertyTree& tree = m_host.Properties();
        tree.SetString("/QX/" + strName + "/PortType", "USB");
        tree.SetString("/QX/" + strName + "/PortName", strDevice);
        if (bPrinterClass) tree.SetNumber("/QX/" + strName + "/DeviceClass", 1);
        if (bDisplay) tree.SetString("/JV/" + strName + "/PortType", "USB");
    }

    void Load() {
        ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        ASSERT_EQ(m_host.Initialize(), 1);
    }

    // Watched table calls; every result is counted.
    unsigned int Open(void* h, const std::string& strPath) {
        const unsigned int ul = m_watchdog.Watch(Call::Open, "Open(" + strPath + ")",
                                                 [&] { return m_host.Open(h, strPath); });
        m_results.Add("Open", ul);
        return ul;
    }
    unsigned int Close(void* h) {
        const unsigned int ul =
            m_watchdog.Watch(Call::Close, "Close", [&] { return m_host.Close(h); });
        m_results.Add("Close", ul);
        return ul;
    }
    unsigned int Write(void* h, const CData& data, unsigned int* pulWritten) {
        const unsigned int ul =
            m_watchdog.Watch(Call::Write, "Write(" + std::to_string(data.Length()) + ")",
                             [&] { return m_host.Write(h, data, pulWritten); });
        m_results.Add("Write", ul);
        return ul;
    }
    unsigned int Ioctl(void* h, unsigned int ulCode, const CData& in, CData* pOut) {
        char sz[32];
        snprintf(sz, sizeof sz, "Ioctl(%08X)", ulCode);
        const unsigned int ul =
            m_watchdog.Watch(Call::Ioctl, sz, [&] { return m_host.Ioctl(h, ulCode, in, pOut); });
        m_results.Add("Ioctl", ul);
        return ul;
    }
    // A write whose count goes to the channel's book.
    unsigned int BookedWrite(CHANNEL_BOOK& book, void* h,
                             const std::vector<unsigned char>& vecData) {
        unsigned int ulWritten = 0xFFFFFFFFu;
        const unsigned int ul = Write(h, ToData(vecData), &ulWritten);
        if (ulWritten == 0xFFFFFFFFu)
            ulWritten = 0;  // refused before the write began: nothing went out
        EXPECT_LE(ulWritten, vecData.size());
        book.Book(ul, ulWritten);
        return ul;
    }

    void PrintFigures(const char* pszRun) {
        printf("%s: %llu calls answered, longest:", pszRun,
               static_cast<unsigned long long>(m_watchdog.Calls()));
        for (const auto& item : m_watchdog.LongestMs())
            printf(" %s %.0f ms", CallName(item.first), item.second);
        printf("\nresults by call (code:count):\n");
        m_results.Print(stdout);
        fflush(stdout);
    }

    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
    CWatchdog m_watchdog;
    CResults m_results;
    CHost m_host;
};

}  // namespace stress
