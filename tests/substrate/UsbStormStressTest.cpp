// The hot-plug storm on the bus of this build: devices unplugged and plugged in again at random
// moments while host threads print to every part, the arrivals reaching the component as the
// host's notifier makes them (libusb's hot-plug callback turned into SIGUSR1). Afterwards every
// port is bound to the instance now attached and prints, and what all instances of a device took
// on a channel equals what the writes to that part reported.
#include <future>
#include <mutex>
#include <random>

#include "tests/substrate/SubstrateFixture.h"

using namespace substrate_test;

namespace {

#ifdef TALIUN_STRESS_SANITIZED
constexpr unsigned kCycles = 40;
#else
constexpr unsigned kCycles = 200;
#endif

struct Part {
    std::string strPath;
    Channel channel = Channel::Printer;
    int nDevice = 0;
    void* h = nullptr;
    std::atomic<unsigned long long> ullReported{0};
    std::atomic<unsigned long> ulGood{0};
    std::atomic<unsigned long> ulFailed{0};
};

struct Device {
    DeviceConfig cfg;
    std::mutex mutex;  // guards vecInstances
    std::vector<DevicePtr> vecInstances;
    DevicePtr Current() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecInstances.back();
    }
    void Add(const DevicePtr& p) {
        std::lock_guard<std::mutex> lock(mutex);
        vecInstances.push_back(p);
    }
    unsigned long long Received(Channel ch) {
        std::lock_guard<std::mutex> lock(mutex);
        unsigned long long n = 0;
        for (const DevicePtr& p : vecInstances) n += p->received(ch).size();
        return n;
    }
};

using HotPlugStorm = UsbEndToEnd;

TEST_F(HotPlugStorm, ReplugsWhilePrintingLoseNothingAndEveryPortPrintsAfter) {
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    printf("seed %u, %u replugs on the %s\n", seed, kCycles, substrate::Name());
    Device devices[2];
    devices[0].cfg = DeviceConfig::vendorPrinter("STORMA");
    devices[1].cfg = DeviceConfig::displayPrinter("STORMB");
    for (int i = 0; i < 2; ++i) {
        devices[i].Add(substrate::Plug(devices[i].cfg));
        ASSERT_TRUE(devices[i].Current());
        ConfigurePort("S" + std::to_string(i), devices[i].Current()->deviceName(), "", i == 1);
    }
    Load();
    std::string why;
    ASSERT_TRUE(m_notifier.Start(KORVO_USB_VENDOR_ID, &why)) << why;
    std::vector<std::unique_ptr<Part>> parts;
    for (const char* path : {"QX/S0", "QX/S1", "JV/S1"}) {
        parts.emplace_back(new Part);
        parts.back()->strPath = path;
        parts.back()->nDevice = path[4] - '0';
        parts.back()->channel = path[0] == 'J' ? Channel::Display : Channel::Printer;
        parts.back()->h = OpenOk(path);
    }

    std::atomic<bool> bStop{false};
    std::vector<std::future<void>> writers;
    for (auto& p : parts) {
        Part& part = *p;
        writers.push_back(std::async(std::launch::async, [&, s = seed + part.nDevice * 7 + part.strPath[0]] {
            CHost::BlockHotPlugSignals();
            std::mt19937 rng(s);
            while (!bStop) {
                unsigned int ulWritten = 0;
                const unsigned int ul = m_host.Write(part.h, ToData(Pattern(1 + rng() % 4096, rng())), &ulWritten);
                EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_DEVICE_NOT_AVAILABLE || ul == PHR_WRITE_TIMEOUT ||
                            ul == PHR_DEVICE_ERROR || ul == PHR_UNEXPECTED_SYSTEM_ERROR)
                    << std::hex << ul;
                part.ullReported += ulWritten;
                if (ul == PHR_SUCCESS)
                    ++part.ulGood;
                else {
                    ++part.ulFailed;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 3));
                }
            }
        }));
    }
    std::mt19937 rng(seed);
    for (unsigned c = 0; c < kCycles; ++c) {
        Device& d = devices[rng() % 2];
        substrate::Unplug(d.Current());
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
        d.Add(substrate::Plug(d.cfg));
        ASSERT_TRUE(d.Current());
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 25));
    }
    for (auto& p : parts) {
        const unsigned long ulGood = p->ulGood.load();
        EXPECT_TRUE(WaitUntil([&] { return p->ulGood.load() > ulGood + 10; }, 30000)) << p->strPath;
    }
    bStop = true;
    for (auto& w : writers) w.get();

    for (auto& p : parts) {
        Device& d = devices[p->nDevice];
        printf("%s: %zu instances, %lu writes succeeded, %lu failed, %llu bytes reported, %llu taken\n",
               p->strPath.c_str(), d.vecInstances.size(), p->ulGood.load(), p->ulFailed.load(),
               p->ullReported.load(), d.Received(p->channel));
        EXPECT_EQ(d.Received(p->channel), p->ullReported.load()) << p->strPath;
        const size_t ulBefore = d.Current()->received(p->channel).size();
        WriteAll(p->h, Pattern(3000, 5));
        EXPECT_EQ(d.Current()->received(p->channel).size(), ulBefore + 3000) << p->strPath;
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(PortProperty("S" + std::to_string(i), "PortName"), devices[i].Current()->deviceName());
    printf("libusb arrival notices: %u\n", m_notifier.ArrivalCount());
}

}  // namespace
