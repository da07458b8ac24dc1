// Sixteen host threads drive the shipped library through its table for about ten seconds: opens,
// writes, control codes and closes on a mix of shared and distinct handles and ports. Every call
// must come back with one of the defined result codes; unload must then finish.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/Host.h"
#include "tests/support/LogCapture.h"

namespace {

const std::set<unsigned int> kDefined = {
    PHR_SUCCESS,           PHR_NOT_CONNECTED,       PHR_INVALID_CONFIGURATION, PHR_INVALID_PARAMETER,
    PHR_NOT_SUPPORTED,     PHR_UNEXPECTED_SYSTEM_ERROR, PHR_ALLOCATION_ERROR,  PHR_OUT_OF_RESOURCES,
    PHR_RESPONSE_TIMEOUT,  PHR_PERMISSION_ERROR,    PHR_PORT_OPEN_FAILURE,     PHR_DEVICE_ERROR,
    PHR_DEVICE_NOT_AVAILABLE, PHR_WRITE_TIMEOUT};

TEST(HostStress, SixteenHostThreadsOpenWriteControlAndClose)
{
    CLogCapture log(nullptr);
    log.Daemon().SetRecording(false);
    CHost host;
    ASSERT_TRUE(host.Load(TALIUN_LIBRARY_PATH)) << host.LastError();
    constexpr unsigned int kPorts = 6;
    for (unsigned int n = 0; n < kPorts; ++n)
        host.Properties().SetString("/QX/P" + std::to_string(n) + "/PortType", "USB");
    ASSERT_EQ(host.Initialize(), 1);

    constexpr int kThreads = 16;
    std::vector<void*> vecHandles;
    for (int i = 0; i < 24; ++i)
        vecHandles.push_back(host.NewHandle());
    const unsigned int ulSeed = std::random_device()();
    std::printf("seed %u\n", ulSeed);

    std::atomic<bool> fStop{false};
    std::atomic<unsigned long> ulCalls{0}, ulOpened{0}, ulUndefined{0};
    auto run = [&](unsigned int ulThreadSeed) {
        std::mt19937 rng(ulThreadSeed);
        const unsigned char abData[4] = {0x1B, 0x40, 'A', '\n'};
        while (!fStop.load()) {
            void* const h = vecHandles[rng() % vecHandles.size()];
            unsigned int ulResult;
            const char* pszOperation;
            switch (rng() % 6) {
            case 0:
                pszOperation = "Open";
                ulResult = host.Open(h, std::string(rng() % 4 ? "QX/P" : "JV/P") + std::to_string(rng() % kPorts));
                ulOpened += ulResult == PHR_SUCCESS;
                break;
            case 1:
                pszOperation = "Close";
                ulResult = host.Close(h);
                break;
            case 2: {
                pszOperation = "Write";
                unsigned int ulWritten = 0;
                // Mostly empty writes: a port without its device would make every real write wait.
                ulResult = host.Write(h, rng() % 64 ? CData() : CData(abData, sizeof abData), &ulWritten);
                break;
            }
            case 3: {
                pszOperation = "GetPowerState";
                CData out;
                ulResult = host.Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out);
                if (ulResult == PHR_SUCCESS && out.Length() != 4)
                    ulResult = 0xFFFFFFFF;
                break;
            }
            case 4: {
                pszOperation = "SetMonitorInterval";
                const unsigned int ulInterval = 100;
                ulResult = host.Ioctl(h, PH_USB_SET_MONITOR_INTERVAL,
                                      CData(reinterpret_cast<const unsigned char*>(&ulInterval), 4), nullptr);
                break;
            }
            default: {
                pszOperation = "GetComponentUI";
                const char szRequest[] = "QX/P1";
                CData out;
                ulResult = host.Ioctl(h, PH_CONFIG_GET_COMPONENT_UI,
                                      CData(reinterpret_cast<const unsigned char*>(szRequest), sizeof szRequest), &out);
                break;
            }
            }
            ++ulCalls;
            if (kDefined.count(ulResult) == 0 && ulUndefined++ < 5)
                ADD_FAILURE() << pszOperation << " returned " << std::hex << ulResult;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(run, ulSeed + i);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    fStop = true;
    for (std::thread& thread : threads)
        thread.join();

    // Some handles stay open: unload must deal with them.
    for (std::size_t i = 0; i < vecHandles.size(); i += 2)
        host.Close(vecHandles[i]);
    host.Unload();
    EXPECT_EQ(ulUndefined.load(), 0u);
    EXPECT_GT(ulOpened.load(), 0u);
    std::printf("%lu calls, %lu successful opens\n", ulCalls.load(), ulOpened.load());
}

} // namespace
