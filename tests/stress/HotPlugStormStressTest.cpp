// Hot-plug storm: a thousand times one of three devices (two printers and a printer with a customer
// display, all four parts open) is unplugged and plugged in again at random moments while host
// threads keep printing to every part; now and then a device stays away for a while. Every call
// must come back within its bound with a defined result, the ports must stay bound to their devices
// and print again after the storm, and no byte may be lost or counted twice: what all instances of
// a device took on a channel equals what the writes to that part reported.
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <random>

#include "tests/stress/StressSupport.h"

using namespace stress;

namespace {

constexpr unsigned long kCyclesNormal = 1000;
constexpr int kWritersPerPart = 2;

struct DEVICE {
    usbsim::DeviceConfig cfg;
    std::string strPort;
    std::mutex mutex;  // guards pCurrent
    usbsim::DevicePtr pCurrent;
    std::atomic<unsigned long> ulPlugs{0};

    usbsim::DevicePtr Current() {
        std::lock_guard<std::mutex> lock(mutex);
        return pCurrent;
    }
};

struct PART {
    DEVICE* pDevice = nullptr;
    std::string strPath;
    void* h = nullptr;
    CHANNEL_BOOK book;
    std::atomic<unsigned long> ulAwayRefusals{0};
};

class HotPlugStorm : public StressFixture {
protected:
    void Plug(DEVICE& device, std::vector<std::unique_ptr<PART>>& vecParts) {
        usbsim::DevicePtr p = usbsim::plug(device.cfg);
        for (auto& pPart : vecParts)
            if (pPart->pDevice == &device) pPart->book.Add(p);
        std::lock_guard<std::mutex> lock(device.mutex);
        device.pCurrent = p;
        ++device.ulPlugs;
    }
    std::string PortName(const std::string& strPort) {
        std::string s;
        return m_host.Properties().GetString("/QX/" + strPort + "/PortName", &s)
                   ? s
                   : std::string("<unset>");
    }
};

TEST_F(HotPlugStorm, ThousandReplugsWhilePrintingLoseNothing) {
    const unsigned int ulSeed = Seed();
    const unsigned long ulCycles = Scaled(kCyclesNormal, 50);
    printf("seed %u (TALIUN_STRESS_SEED repeats it), %lu cycles\n", ulSeed, ulCycles);
    StartDaemon();

    DEVICE devices[3];
    devices[0].cfg = usbsim::DeviceConfig::vendorPrinter("HOTA");
    devices[1].cfg = usbsim::DeviceConfig::vendorPrinter("HOTB");
    devices[2].cfg = usbsim::DeviceConfig::displayPrinter("HOTC");
    std::vector<std::unique_ptr<PART>> vecParts;
    for (int i = 0; i < 3; ++i) {
        devices[i].strPort = "H" + std::to_string(i);
        vecParts.emplace_back(new PART);
        vecParts.back()->pDevice = &devices[i];
        vecParts.back()->strPath = "QX/" + devices[i].strPort;
    }
    vecParts.emplace_back(new PART);
    vecParts.back()->pDevice = &devices[2];
    vecParts.back()->strPath = "JV/" + devices[2].strPort;
    vecParts.back()->book.channel = usbsim::Channel::Display;

    for (DEVICE& device : devices) {
        Plug(device, vecParts);
        ConfigurePort(device.strPort, device.Current()->deviceName(), device.cfg.endpoints == 4);
    }
    usbsim::setHotplugSignal(SIGUSR1);
    Load();
    for (auto& pPart : vecParts) {
        pPart->h = m_host.NewHandle();
        ASSERT_EQ(Open(pPart->h, pPart->strPath), PHR_SUCCESS) << pPart->strPath;
    }

    std::atomic<bool> bStop{false};
    std::vector<std::future<void>> vecWriters;
    for (size_t p = 0; p < vecParts.size(); ++p) {
        for (int w = 0; w < kWritersPerPart; ++w) {
            vecWriters.push_back(std::async(std::launch::async, [&, p, w] {
                PART& part = *vecParts[p];
                std::mt19937 rng(ulSeed * 31u + static_cast<unsigned int>(p * kWritersPerPart + w));
                while (!bStop.load()) {
                    // One bulk piece at most: a write either reaches the device whole or reports
                    // what it took.
                    const std::vector<unsigned char> vecData = Pattern(1 + rng() % 4096, rng());
                    const unsigned int ul = BookedWrite(part.book, part.h, vecData);
                    EXPECT_TRUE(ul == PHR_SUCCESS || ul == PHR_DEVICE_NOT_AVAILABLE ||
                                ul == PHR_WRITE_TIMEOUT || ul == PHR_DEVICE_ERROR ||
                                ul == PHR_UNEXPECTED_SYSTEM_ERROR)
                        << std::hex << ul;
                    if (ul == PHR_DEVICE_NOT_AVAILABLE) {
                        ++part.ulAwayRefusals;
                        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 3));
                    }
                    if (rng() % 16 == 0) {
                        CData out;
                        EXPECT_EQ(Ioctl(part.h, PH_USB_GET_POWER_STATE, CData(), &out),
                                  PHR_SUCCESS);
                    }
                }
            }));
        }
    }

    std::mt19937 rng(ulSeed);
    unsigned long ulLongAbsences = 0;
    for (unsigned long c = 0; c < ulCycles; ++c) {
        DEVICE& device = devices[rng() % 3];
        usbsim::unplug(device.Current());
        if (rng() % 20 == 0) {
            ++ulLongAbsences;
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 150));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
        }
        Plug(device, vecParts);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 25));
    }

    // After the storm every part prints again on the instance now attached.
    for (auto& pPart : vecParts) {
        PART& part = *pPart;
        const unsigned long ulGood = part.book.ulGood.load();
        EXPECT_TRUE(WaitUntil([&] { return part.book.ulGood.load() > ulGood + 10; }, 30000))
            << part.strPath;
    }
    bStop = true;
    for (std::future<void>& writer : vecWriters) writer.get();

    PrintFigures("hot-plug storm");
    printf("%lu cycles, %lu long absences\n", ulCycles, ulLongAbsences);
    EXPECT_EQ(m_results.Undefined(), 0u);
    for (auto& pPart : vecParts) {
        PART& part = *pPart;
        printf(
            "%s: %lu instances, %lu writes succeeded, %lu failed (%lu with bytes, %lu refused "
            "while away), "
            "%llu bytes reported, %llu taken\n",
            part.strPath.c_str(), part.pDevice->ulPlugs.load(), part.book.ulGood.load(),
            part.book.ulFailed.load(), part.book.ulFailedWithBytes.load(),
            part.ulAwayRefusals.load(), part.book.ullReported.load(), part.book.Received());
        EXPECT_EQ(part.book.Received(), part.book.ullReported.load()) << part.strPath;
        const std::vector<unsigned char> vecLast = Pattern(3000, 5);
        unsigned int ulWritten = 0;
        const size_t ulBefore = part.pDevice->Current()->received(part.book.channel).size();
        EXPECT_EQ(Write(part.h, ToData(vecLast), &ulWritten), PHR_SUCCESS) << part.strPath;
        EXPECT_EQ(part.pDevice->Current()->received(part.book.channel).size(),
                  ulBefore + vecLast.size())
            << part.strPath << ": the last job went to the device now attached";
    }
    for (DEVICE& device : devices)
        EXPECT_EQ(PortName(device.strPort), device.Current()->deviceName()) << device.strPort;
    std::list<std::string> listPorts;
    m_host.Properties().GetChildren("/QX/", listPorts);
    EXPECT_EQ(listPorts.size(), 3u) << "no port was created for a device that has one";
    for (auto& pPart : vecParts) EXPECT_EQ(Close(pPart->h), PHR_SUCCESS) << pPart->strPath;
    fflush(stdout);
}

}  // namespace
