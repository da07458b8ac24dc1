// Ports under concurrency, end to end: closes racing writes, devices leaving mid-write, many host
// threads on several ports while the monitoring threads deliver input and power changes, and unload
// in the middle of traffic.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/PortE2EFixture.h"

using namespace porttest;

namespace {

using PortStress = PortE2EFixture;
using testsupport::Joined;

unsigned int StressSeconds()
{
    const char* psz = getenv("TALIUN_STRESS_SECONDS");
    const int n = psz != nullptr ? atoi(psz) : 0;
    return n > 0 ? static_cast<unsigned int>(n) : 30;
}

TEST_F(PortStress, CloseWaitsForALongWrite)
{
    usbsim::setTiming(FullSpeed());
    usbsim::DevicePtr pDevice = PlugAndConfigure("P1", usbsim::DeviceConfig::vendorPrinter("SN1"));
    Load();
    void* h = OpenOk("QX/P1");
    const std::vector<unsigned char> vecData = Pattern(1 << 20);
    unsigned int ulWritten = 0, ulResult = 0;
    std::thread writer([&] { ulResult = m_host.Write(h, ToData(vecData), &ulWritten); });
    ASSERT_TRUE(pDevice->waitForReceived(1));
    EXPECT_EQ(m_host.Close(h), PHR_SUCCESS);
    // When Close returns the write has ended, and it was not cut short.
    EXPECT_EQ(pDevice->received().size(), vecData.size());
    writer.join();
    EXPECT_EQ(ulResult, PHR_SUCCESS);
    EXPECT_EQ(ulWritten, vecData.size());
    EXPECT_EQ(pDevice->received(), vecData);
}

TEST_F(PortStress, UnplugDuringAWriteEndsItAndReportsUnavailable)
{
    usbsim::setTiming(FullSpeed());
    usbsim::DevicePtr pDevice = PlugAndConfigure("P1", usbsim::DeviceConfig::vendorPrinter("SN1"));
    Load();
    void* h = OpenOk("QX/P1");
    ASSERT_TRUE(WaitForPowerStates(h, 1));
    const std::vector<unsigned char> vecData = Pattern(1 << 20);
    unsigned int ulWritten = 0, ulResult = 0;
    std::thread writer([&] { ulResult = m_host.Write(h, ToData(vecData), &ulWritten); });
    ASSERT_TRUE(pDevice->waitForReceived(100000));
    usbsim::unplug(pDevice);
    writer.join();
    EXPECT_EQ(ulResult, PHR_DEVICE_NOT_AVAILABLE);
    EXPECT_LT(ulWritten, vecData.size());
    EXPECT_LE(ulWritten, pDevice->received().size());
    ASSERT_TRUE(WaitForPowerStates(h, 2));
    EXPECT_EQ(PowerStates(h), (std::vector<int>{0, 2}));
    EXPECT_EQ(PowerState(h), 2);
    unsigned int ulAgain = 77;
    EXPECT_EQ(m_host.Write(h, ToData(Pattern(10)), &ulAgain), PHR_DEVICE_NOT_AVAILABLE);
    EXPECT_EQ(m_host.Close(h), PHR_SUCCESS);
}

TEST_F(PortStress, EightHostThreadsOnFourPortsWithInputAndPowerChanges)
{
    const unsigned int ulSeed = static_cast<unsigned int>(std::random_device{}());
    fprintf(stderr, "seed %u, %u s\n", ulSeed, StressSeconds());
    constexpr int kPorts = 4;
    constexpr int kThreads = 8;
    std::vector<usbsim::DevicePtr> vecDevices;
    for (int i = 0; i < kPorts; ++i)
        vecDevices.push_back(PlugAndConfigure("P" + std::to_string(i),
                                              usbsim::DeviceConfig::vendorPrinter("SN" + std::to_string(i))));
    Load();
    std::vector<void*> vecHandles;
    for (int i = 0; i < kPorts; ++i) {
        vecHandles.push_back(OpenOk("QX/P" + std::to_string(i)));
        ASSERT_TRUE(WaitForPowerStates(vecHandles.back(), 1));
    }

    std::atomic<bool> bStop{false};
    std::mutex mutex;
    std::vector<uint64_t> vecWritten(kPorts, 0);
    std::vector<std::vector<unsigned char>> vecQueued(kPorts);
    std::map<unsigned int, int> mapResults;
    std::atomic<unsigned long> ulWrites{0};

    std::vector<std::thread> vecThreads;
    for (int t = 0; t < kThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            std::mt19937 rng(ulSeed + t);
            while (!bStop.load()) {
                const int nPort = static_cast<int>(rng() % kPorts);
                void* h = vecHandles[nPort];
                switch (rng() % 8) {
                case 0: {
                    CData out;
                    EXPECT_EQ(m_host.Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
                    EXPECT_EQ(out.Length(), 4u);
                    break;
                }
                case 1:
                    EXPECT_EQ(m_host.Ioctl(h, PH_USB_SET_MONITOR_INTERVAL, Word(20 + rng() % 200), nullptr),
                              PHR_SUCCESS);
                    EXPECT_EQ(m_host.Ioctl(h, PH_LOCK_PORT, Word(1 + rng() % 2), nullptr), PHR_SUCCESS);
                    break;
                default: {
                    const std::vector<unsigned char> vecData = Pattern(1 + rng() % 20000, rng());
                    unsigned int ulWritten = 0;
                    const unsigned int ulResult = m_host.Write(h, ToData(vecData), &ulWritten);
                    std::lock_guard<std::mutex> lock(mutex);
                    ++mapResults[ulResult];
                    vecWritten[nPort] += ulWritten;
                    ++ulWrites;
                    break;
                }
                }
            }
        });
    }
    // The devices' side: input messages and short spells of not being ready.
    std::thread device([&] {
        std::mt19937 rng(ulSeed ^ 0x5A5A5A5Au);
        unsigned int ulMessage = 0;
        while (!bStop.load()) {
            const int nPort = static_cast<int>(rng() % kPorts);
            if (rng() % 6 == 0) {
                vecDevices[nPort]->notReadyFor(std::chrono::milliseconds(60 + rng() % 100));
            } else {
                std::vector<unsigned char> vecMessage = Pattern(1 + rng() % 300, ++ulMessage);
                vecDevices[nPort]->queueInput(vecMessage);
                std::lock_guard<std::mutex> lock(mutex);
                vecQueued[nPort].insert(vecQueued[nPort].end(), vecMessage.begin(), vecMessage.end());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 40));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(StressSeconds()));
    bStop = true;
    for (std::thread& th : vecThreads)
        th.join();
    device.join();

    EXPECT_GT(ulWrites.load(), 100u);
    // Every write went through in whole: not-ready spells are far shorter than the write time-out.
    EXPECT_EQ(mapResults.size(), 1u);
    EXPECT_EQ(mapResults.count(PHR_SUCCESS), 1u);
    for (int i = 0; i < kPorts; ++i) {
        void* h = vecHandles[i];
        EXPECT_EQ(vecDevices[i]->received().size(), vecWritten[i]) << "port " << i;
        // Every input message arrives, in order, and nothing else.
        ASSERT_TRUE(WaitUntil([&] { return Joined(Inputs(h)).size() >= vecQueued[i].size(); }, 20000))
            << "port " << i;
        EXPECT_EQ(Joined(Inputs(h)), vecQueued[i]) << "port " << i;
        // Power reports are changes only, between ready and not ready.
        const std::vector<int> vecPower = PowerStates(h);
        ASSERT_FALSE(vecPower.empty());
        EXPECT_EQ(vecPower.front(), 0);
        for (size_t k = 0; k < vecPower.size(); ++k) {
            EXPECT_TRUE(vecPower[k] == 0 || vecPower[k] == 1) << vecPower[k];
            if (k > 0) {
                EXPECT_NE(vecPower[k], vecPower[k - 1]);
            }
        }
    }
    for (void* h : vecHandles)
        EXPECT_EQ(m_host.Close(h), PHR_SUCCESS);
}

TEST_F(PortStress, UnloadCompletesWhileDevicesStreamAndChangeState)
{
    constexpr int kPorts = 4;
    std::vector<usbsim::DevicePtr> vecDevices;
    for (int i = 0; i < kPorts; ++i)
        vecDevices.push_back(PlugAndConfigure("P" + std::to_string(i),
                                              usbsim::DeviceConfig::displayPrinter("JV" + std::to_string(i)), true));
    Load();
    std::vector<void*> vecHandles;
    for (int i = 0; i < kPorts; ++i) {
        vecHandles.push_back(OpenOk("QX/P" + std::to_string(i)));
        vecHandles.push_back(OpenOk("JV/P" + std::to_string(i)));
    }
    std::atomic<bool> bStop{false};
    std::thread device([&] {
        std::mt19937 rng(7);
        while (!bStop.load()) {
            const int nPort = static_cast<int>(rng() % kPorts);
            vecDevices[nPort]->queueInput(Pattern(64, rng()));
            vecDevices[nPort]->notReadyFor(std::chrono::milliseconds(rng() % 80), usbsim::Channel::Display);
            if (rng() % 4 == 0)
                vecDevices[nPort]->notReadyFor(std::chrono::milliseconds(rng() % 80));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return !Inputs(vecHandles[0]).empty(); }));
    m_host.Unload();
    EXPECT_FALSE(m_host.IsInitialized());
    bStop = true;
    device.join();
    for (const std::string& strLine : m_dir.Lines())
        EXPECT_NE(strLine.compare(0, 8, "-- Close"), 0) << strLine;
}

}  // namespace
