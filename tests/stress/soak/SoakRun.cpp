// The soak run behind scripts/soak.sh: the shipped library in the substitute host on the simulated
// bus, writing a given number of print jobs over two printers and a customer display while one of
// the devices is unplugged and plugged in again every so often. The script samples this process's
// open descriptors, threads and resident memory from outside; this program prints its progress and,
// at the end, whether every byte the writes reported reached a device.
//
//   stress_soak [writes=100000] [replug-every=500]
//
// Exit status: 0 when every write ended with a defined result and no byte was lost or counted
// twice, 1 otherwise, 2 when the stack did not start.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"

#ifndef TALIUN_LIBRARY
#error "TALIUN_LIBRARY must name the built libTaliunqxusb.so"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct PART {
    std::string strPort;
    std::string strPath;
    usbsim::Channel channel = usbsim::Channel::Printer;
    size_t ulDevice = 0;
    void* h = nullptr;
    unsigned long long ullReported = 0;
    unsigned long ulGood = 0;
    unsigned long ulFailed = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const unsigned long ulWrites = argc > 1 ? strtoul(argv[1], nullptr, 0) : 100000;
    const unsigned long ulReplugEvery = argc > 2 ? strtoul(argv[2], nullptr, 0) : 500;

    char szTemplate[] = "/tmp/taliun-soak.XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) return 2;
    const std::string strDir = szTemplate;
    setenv("TALIUN_LOG_SOCKET", (strDir + "/log.sock").c_str(), 1);
    setenv("TALIUN_CONFIGURATION", (strDir + "/taliun.configuration").c_str(), 1);
    CLogDaemon daemon(strDir + "/log.sock");
    daemon.SetRecording(false);
    if (!daemon.Start()) return 2;

    std::vector<usbsim::DeviceConfig> vecConfigs = {usbsim::DeviceConfig::vendorPrinter("SOAKA"),
                                                    usbsim::DeviceConfig::displayPrinter("SOAKB")};
    // Bytes taken by instances that have left, per device and channel: an instance that has gone is
    // dropped at once, so the simulator's records do not grow with the run and blur the memory
    // figures.
    std::vector<usbsim::DevicePtr> vecCurrent;
    std::vector<unsigned long long> vecRetired(2 * vecConfigs.size(), 0);
    for (size_t i = 0; i < vecConfigs.size(); ++i)
        vecCurrent.push_back(usbsim::plug(vecConfigs[i]));
    usbsim::setHotplugSignal(SIGUSR1);

    CHost host;
    std::vector<PART> vecParts(3);
    vecParts[0].strPort = "S0";
    vecParts[0].strPath = "QX/S0";
    vecParts[0].ulDevice = 0;
    vecParts[1].strPort = "S1";
    vecParts[1].strPath = "QX/S1";
    vecParts[1].ulDevice = 1;
    vecParts[2].strPort = "S1";
    vecParts[2].strPath = "JV/S1";
    vecParts[2].ulDevice = 1;
    vecParts[2].channel = usbsim::Channel::Display;
    host.Properties().SetString("/QX/S0/PortType", "USB");
    host.Properties().SetString("/QX/S0/PortName", vecCurrent[0]->deviceName());
    host.Properties().SetString("/QX/S1/PortType", "USB");
    host.Properties().SetString("/QX/S1/PortName", vecCurrent[1]->deviceName());
    host.Properties().SetString("/JV/S1/PortType", "USB");
    if (!host.Load(TALIUN_LIBRARY) || host.Initialize() != 1) {
        fprintf(stderr, "soak: the component did not start: %s\n", host.LastError().c_str());
        return 2;
    }
    for (PART& part : vecParts) {
        part.h = host.NewHandle();
        if (host.Open(part.h, part.strPath) != PHR_SUCCESS) {
            fprintf(stderr, "soak: %s did not open\n", part.strPath.c_str());
            return 2;
        }
    }
    printf("soak: pid %d, %lu writes, a replug every %lu writes\n", static_cast<int>(getpid()),
           ulWrites, ulReplugEvery);
    fflush(stdout);

    std::mt19937 rng(20261208);
    unsigned long ulUndefined = 0;
    unsigned long ulReplugs = 0;
    std::vector<unsigned char> vecData;
    const auto start = Clock::now();
    for (unsigned long i = 0; i < ulWrites; ++i) {
        if (ulReplugEvery != 0 && i != 0 && i % ulReplugEvery == 0) {
            // In turn, so that no instance lives long enough for its record to weigh on the
            // figures.
            const size_t d = ulReplugs % vecConfigs.size();
            usbsim::unplug(vecCurrent[d]);
            vecRetired[2 * d] += vecCurrent[d]->received(usbsim::Channel::Printer).size();
            vecRetired[2 * d + 1] += vecCurrent[d]->received(usbsim::Channel::Display).size();
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
            vecCurrent[d] = usbsim::plug(vecConfigs[d]);
            ++ulReplugs;
        }
        if (i % 200 == 0)
            for (const usbsim::DevicePtr& p : vecCurrent) p->clearRecords();
        PART& part = vecParts[i % vecParts.size()];
        vecData.assign(1 + rng() % 4096, static_cast<unsigned char>(i));
        unsigned int ulWritten = 0;
        const unsigned int ul = host.Write(
            part.h, CData(vecData.data(), static_cast<unsigned int>(vecData.size())), &ulWritten);
        switch (ul) {
            case PHR_SUCCESS:
                ++part.ulGood;
                break;
            case PHR_DEVICE_NOT_AVAILABLE:
            case PHR_WRITE_TIMEOUT:
            case PHR_UNEXPECTED_SYSTEM_ERROR:
            case PHR_DEVICE_ERROR:
                ++part.ulFailed;
                // The device is away for a moment: the next write to it waits a little.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                break;
            default:
                ++ulUndefined;
                break;
        }
        if (ul == PHR_SUCCESS || ul == PHR_WRITE_TIMEOUT || ul == PHR_DEVICE_NOT_AVAILABLE)
            part.ullReported += ulWritten;
        if ((i + 1) % 10000 == 0) {
            printf("soak: %lu writes, %lu replugs, %.0f s\n", i + 1, ulReplugs,
                   std::chrono::duration<double>(Clock::now() - start).count());
            fflush(stdout);
        }
    }

    int nResult = ulUndefined == 0 ? 0 : 1;
    for (PART& part : vecParts) {
        const size_t ulChannel = part.channel == usbsim::Channel::Display ? 1 : 0;
        const unsigned long long ullTaken =
            vecRetired[2 * part.ulDevice + ulChannel] +
            vecCurrent[part.ulDevice]->received(part.channel).size();
        printf(
            "soak: %s: %lu writes succeeded, %lu failed while the device was away, %llu bytes "
            "reported, "
            "%llu taken%s\n",
            part.strPath.c_str(), part.ulGood, part.ulFailed, part.ullReported, ullTaken,
            ullTaken == part.ullReported ? "" : "  <-- MISMATCH");
        if (ullTaken != part.ullReported) nResult = 1;
        host.Close(part.h);
    }
    printf("soak: %lu writes, %lu replugs, %lu undefined results, %.0f s\n", ulWrites, ulReplugs,
           ulUndefined, std::chrono::duration<double>(Clock::now() - start).count());
    host.Unload();
    usbsim::resetBus();
    daemon.Stop();
    if (system(("rm -rf '" + strDir + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", strDir.c_str());
    return nResult;
}
