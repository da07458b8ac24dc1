// A hot-plug storm: two printers unplugged and plugged again at random intervals while host
// threads keep printing to their ports. Afterwards every port is bound and prints, no thread is
// stuck, and no byte was lost or counted twice: what the device instances took equals what the
// writes reported. Ends with the time from a replug to the first successful write.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <random>

#include "tests/portmanager/PnPFixture.h"

using namespace pnptest;

namespace {

constexpr int kCycles = 500;
constexpr int kWritersPerPort = 2;

struct PRINTER {
    usbsim::DeviceConfig cfg;
    std::string strPort;
    void* h = nullptr;
    std::mutex mutex;                       // guards vecInstances
    std::vector<usbsim::DevicePtr> vecInstances;
    std::atomic<unsigned long long> ullReported{0};    // counts of every write
    std::atomic<unsigned long long> ullSucceeded{0};   // counts of successful writes
    std::atomic<unsigned long> ulGoodWrites{0};
    std::atomic<unsigned long> ulFailedWrites{0};
    std::atomic<unsigned long> ulFailedWithBytes{0};

    usbsim::DevicePtr Current()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return vecInstances.back();
    }
    void Add(const usbsim::DevicePtr& p)
    {
        std::lock_guard<std::mutex> lock(mutex);
        vecInstances.push_back(p);
    }
    unsigned long long Received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        unsigned long long ull = 0;
        for (const usbsim::DevicePtr& p : vecInstances)
            ull += p->received().size();
        return ull;
    }
};

using testsupport::Seed;

class HotPlugStorm : public PnPFixture {
protected:
    // One write of the host; returns the result and books the count.
    unsigned int Write(PRINTER& printer, const std::vector<unsigned char>& vecData)
    {
        unsigned int ulWritten = 0;
        const unsigned int ulResult =
            m_host.Write(printer.h, CData(vecData.data(), static_cast<unsigned int>(vecData.size())), &ulWritten);
        printer.ullReported += ulWritten;
        if (ulResult == PHR_SUCCESS) {
            printer.ullSucceeded += ulWritten;
            ++printer.ulGoodWrites;
        } else {
            ++printer.ulFailedWrites;
            if (ulWritten != 0)
                ++printer.ulFailedWithBytes;
        }
        return ulResult;
    }
};

TEST_F(HotPlugStorm, PortsStayBoundAndNoByteIsLostOrCountedTwice)
{
    const unsigned int ulSeed = Seed();
    printf("seed %u (TALIUN_STRESS_SEED repeats it)\n", ulSeed);
    RecordProperty("seed", std::to_string(ulSeed));

    PRINTER printers[2];
    printers[0].cfg = usbsim::DeviceConfig::vendorPrinter("STORMA");
    printers[1].cfg = usbsim::DeviceConfig::vendorPrinter("STORMB");
    for (int i = 0; i < 2; ++i) {
        printers[i].strPort = "P" + std::to_string(i + 1);
        printers[i].Add(usbsim::plug(printers[i].cfg));
        ConfigurePort(printers[i].strPort, printers[i].Current()->deviceName());
    }
    SignalOnPlug();
    // Transfers take wire time, so unplugs also land in the middle of writes.
    usbsim::setTiming(usbsim::Timing::fullSpeed());
    Load();
    for (PRINTER& printer : printers)
        printer.h = OpenOk("QX/" + printer.strPort);

    std::atomic<bool> bStop{false};
    std::vector<std::future<void>> vecWriters;
    for (int i = 0; i < 2; ++i)
        for (int w = 0; w < kWritersPerPort; ++w)
            vecWriters.push_back(std::async(std::launch::async, [&, i, w] {
                std::mt19937 rng(ulSeed * 31u + static_cast<unsigned int>(i * kWritersPerPort + w));
                std::uniform_int_distribution<int> length(1, 2048);
                std::vector<unsigned char> vecData;
                while (!bStop.load()) {
                    vecData.assign(static_cast<size_t>(length(rng)), static_cast<unsigned char>('a' + i));
                    if (Write(printers[i], vecData) != PHR_SUCCESS)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }));

    std::mt19937 rng(ulSeed);
    // Mostly bursts faster than a re-attach takes, now and then a pause long enough for the
    // ports to print in between.
    std::uniform_int_distribution<int> which(0, 1), gap(0, 15), rest(0, 25), pause(100, 400), eighth(0, 7);
    for (int c = 0; c < kCycles; ++c) {
        PRINTER& printer = printers[which(rng)];
        usbsim::unplug(printer.Current());
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(rng)));
        printer.Add(usbsim::plug(printer.cfg));
        std::this_thread::sleep_for(std::chrono::milliseconds(eighth(rng) == 0 ? pause(rng) : rest(rng)));
    }

    // After the storm every port prints again on the instance now attached.
    for (PRINTER& printer : printers) {
        const unsigned long ulGood = printer.ulGoodWrites.load();
        const size_t ulTaken = printer.Current()->received().size();
        EXPECT_TRUE(WaitUntil([&] { return printer.ulGoodWrites.load() > ulGood + 10; }, 60000)) << printer.strPort;
        EXPECT_GT(printer.Current()->received().size(), ulTaken) << printer.strPort;
    }
    bStop = true;
    for (std::future<void>& writer : vecWriters)
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "writer stuck";

    // Time from replug to the first successful write, with the bus otherwise quiet.
    std::vector<double> vecLatency;
    const std::vector<unsigned char> vecByte(1, 'x');
    for (int k = 0; k < 20; ++k) {
        PRINTER& printer = printers[k % 2];
        usbsim::unplug(printer.Current());
        printer.Add(usbsim::plug(printer.cfg));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitUntil([&] { return Write(printer, vecByte) == PHR_SUCCESS; }, 30000)) << printer.strPort;
        vecLatency.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(vecLatency.begin(), vecLatency.end());
    printf("replug to first successful write: min %.0f ms, median %.0f ms, p90 %.0f ms, max %.0f ms (%zu replugs)\n",
           vecLatency.front(), vecLatency[vecLatency.size() / 2], vecLatency[vecLatency.size() * 9 / 10],
           vecLatency.back(), vecLatency.size());

    for (PRINTER& printer : printers) {
        printf("%s: %zu instances, %lu writes succeeded, %lu failed (%lu of them with bytes), %llu bytes\n",
               printer.strPort.c_str(), printer.vecInstances.size(), printer.ulGoodWrites.load(),
               printer.ulFailedWrites.load(), printer.ulFailedWithBytes.load(), printer.ullReported.load());
        EXPECT_EQ(printer.Received(), printer.ullReported.load()) << printer.strPort;
        if (printer.ulFailedWithBytes.load() == 0) {
            EXPECT_EQ(printer.Received(), printer.ullSucceeded.load()) << printer.strPort;
        }
        EXPECT_EQ(PortProperty(printer.strPort, "PortName"), printer.Current()->deviceName());
    }
    EXPECT_EQ(Ports().size(), 2u);
}

}  // namespace
