// Sixteen host threads open, write to, control and close a mix of shared and distinct handles while
// two "monitoring" threads send events, for about ten seconds. Every call must return a defined
// result, and no component object may survive its connections. The sanitizer builds check the rest.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/component/FakeComponent.h"

namespace {

std::atomic<unsigned long> g_ulEvents{0};
std::atomic<unsigned long> g_ulBadEvents{0};

unsigned int CountingSink(void* hHandle, unsigned int ulCode, CData data)
{
    // Events carry the handle's low byte as their data: a mix-up shows here.
    const unsigned char uc = static_cast<unsigned char>(reinterpret_cast<std::uintptr_t>(hHandle));
    if (ulCode != PH_EVENT_INPUT_DATA || data.Length() != 1 || data.Buffer()[0] != uc)
        ++g_ulBadEvents;
    ++g_ulEvents;
    return 0;
}

void* Handle(unsigned int n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x100 + n)); }

TEST(ConnectionManagerStress, SixteenHostThreadsOnSharedAndDistinctHandles)
{
    CFakeComponent::Reset();
    CFakeComponent::s_fRecord = false;
    constexpr int kThreads = 16;
    constexpr unsigned int kHandles = 24;
    const char* const apszPorts[] = {"P0", "P1", "P2", "FAIL"};
    const auto runFor = std::chrono::seconds(10);

    const unsigned int ulSeed = std::random_device()();
    std::printf("seed %u\n", ulSeed);

    std::atomic<bool> fStop{false};
    std::atomic<unsigned long> ulUndefined{0};
    std::atomic<unsigned long> ulCalls{0};
    std::atomic<unsigned long> ulOpened{0};

    auto host = [&](unsigned int ulThreadSeed) {
        std::mt19937 rng(ulThreadSeed);
        _PORTHANDLERCOMPONENT next = {};
        next.Event = &CountingSink;
        const unsigned char abData[3] = {1, 2, 3};
        while (!fStop.load()) {
            void* const h = Handle(rng() % kHandles);
            unsigned int ulResult = 0;
            bool fDefined = false;
            switch (rng() % 4) {
            case 0: {
                const std::string strPath = std::string(rng() % 2 ? "QX/" : "/JV/") + apszPorts[rng() % 4];
                ulResult = CFakeManager::ExternalOpen(h, strPath, &next);
                fDefined = ulResult == PHR_SUCCESS || ulResult == PHR_PORT_OPEN_FAILURE ||
                           ulResult == PHR_INVALID_CONFIGURATION;
                ulOpened += ulResult == PHR_SUCCESS;
                break;
            }
            case 1:
                ulResult = CFakeManager::ExternalClose(h);
                fDefined = ulResult == PHR_SUCCESS || ulResult == PHR_NOT_CONNECTED;
                break;
            case 2: {
                unsigned int ulWritten = 0;
                ulResult = CFakeManager::ExternalWrite(h, CData(abData, 1 + rng() % 3), &ulWritten);
                fDefined = (ulResult == PHR_SUCCESS && ulWritten >= 1 && ulWritten <= 3) ||
                           ulResult == PHR_NOT_CONNECTED;
                break;
            }
            default: {
                CData out;
                ulResult = CFakeManager::ExternalIoctl(h, PH_USB_GET_POWER_STATE, CData(), &out);
                // Open: the component object's answer; not open: the component-level handler's.
                fDefined = ulResult == PHR_NOT_SUPPORTED || (ulResult == PHR_SUCCESS && out.Length() == 2);
                break;
            }
            }
            ++ulCalls;
            if (!fDefined && ulUndefined++ == 0)
                ADD_FAILURE() << "undefined result " << std::hex << ulResult;
        }
    };
    auto monitor = [&](unsigned int ulThreadSeed) {
        std::mt19937 rng(ulThreadSeed);
        while (!fStop.load()) {
            const unsigned int n = rng() % kHandles;
            const unsigned char uc = static_cast<unsigned char>(0x100 + n);
            CFakeManager::Event(Handle(n), PH_EVENT_INPUT_DATA, CData(&uc, 1));
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(host, ulSeed + i);
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(monitor, ulSeed + 100 + i);
    std::this_thread::sleep_for(runFor);
    fStop = true;
    for (std::thread& thread : threads)
        thread.join();

    for (unsigned int n = 0; n < kHandles; ++n)
        CFakeManager::ExternalClose(Handle(n));
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
    EXPECT_EQ(ulUndefined.load(), 0u);
    EXPECT_EQ(g_ulBadEvents.load(), 0u);
    EXPECT_GT(ulOpened.load(), 0u);
    std::printf("%lu calls, %lu successful opens, %lu events delivered\n", ulCalls.load(), ulOpened.load(),
                g_ulEvents.load());
    CFakeComponent::s_fRecord = true;
}

} // namespace
