// UnloadPortHandlerComponent with ports open and devices attached: the shipped library, loaded by
// the substitute host, on the simulated bus at full speed, with the log daemon listening. Each
// iteration starts the component, opens four port parts on three devices (vendor-class printer,
// printer with customer display, printer-class device) once the start-up enumeration has looked at
// the bus, waits until every part has reported its power, and times the unload call alone.
// Reported: median, 99th percentile and maximum over the iterations (milliseconds).
//
// TALIUN_BENCH_LIBRARY names another build of the library, for a before/after comparison.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"

namespace {

std::string Library()
{
    const char* psz = getenv("TALIUN_BENCH_LIBRARY");
    return psz != nullptr && psz[0] != '\0' ? psz : TALIUN_LIBRARY;
}

bool IsEnumerationProbe(const usbsim::Record& r)
{
    return r.type == usbsim::Record::Type::Control && r.bRequest == 6 && (r.wValue >> 8) == 2;
}

double Percentile(std::vector<double> vec, double dP)
{
    std::sort(vec.begin(), vec.end());
    size_t ulRank = static_cast<size_t>(dP / 100.0 * static_cast<double>(vec.size()) + 0.5);
    ulRank = ulRank == 0 ? 0 : ulRank - 1;
    return vec[std::min(ulRank, vec.size() - 1)];
}

void BM_UnloadWithOpenPorts(benchmark::State& state)
{
    char szTemplate[] = "/tmp/taliun-unload-bench.XXXXXX";
    const std::string strDir = mkdtemp(szTemplate) != nullptr ? szTemplate : "/tmp";
    setenv("TALIUN_LOG_SOCKET", (strDir + "/log.sock").c_str(), 1);
    setenv("TALIUN_CONFIGURATION", (strDir + "/taliun.configuration").c_str(), 1);
    CLogDaemon daemon(strDir + "/log.sock");
    daemon.SetRecording(false);
    daemon.Start();

    usbsim::resetBus();
    usbsim::Timing timing;
    timing.bytesPerSecond = 1216000;
    timing.controlLatency = std::chrono::microseconds(1000);
    usbsim::setTiming(timing);
    usbsim::DevicePtr pPrinter = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("UB1"));
    usbsim::DevicePtr pDisplay = usbsim::plug(usbsim::DeviceConfig::displayPrinter("UB2"));
    usbsim::DevicePtr pClass = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("UB3"));
    // Bound to a port that nobody opens: only the start-up enumeration looks at it.
    usbsim::DevicePtr pMarker = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("UB4"));
    const std::string strLibrary = Library();

    std::vector<double> vecMs;
    for (auto _ : state) {
        std::unique_ptr<CHost> pHost(new CHost());
        CPropertyTree& tree = pHost->Properties();
        auto port = [&](const std::string& strName, const usbsim::DevicePtr& pDevice) {
            tree.SetString("/QX/" + strName + "/PortType", "USB");
            tree.SetString("/QX/" + strName + "/PortName", pDevice->deviceName());
        };
        port("Receipt", pPrinter);
        port("Counter", pDisplay);
        tree.SetString("/JV/Counter/PortType", "USB");
        port("Label", pClass);
        tree.SetNumber("/QX/Label/DeviceClass", 1);
        port("Spare", pMarker);
        pMarker->clearRecords();

        if (!pHost->Load(strLibrary) || pHost->Initialize() != 1) {
            state.SkipWithError(("the component did not start: " + pHost->LastError()).c_str());
            break;
        }
        std::string strError;
        // The marker is attached last, so once it is probed the start-up enumeration has let go
        // of every other device (it claims a printer-class device while it reads its ID).
        if (!pMarker->waitFor(IsEnumerationProbe, usbsim::Millis(10000)))
            strError += " the bus was not enumerated";
        for (const char* pszPath : {"QX/Receipt", "QX/Counter", "JV/Counter", "QX/Label"}) {
            void* h = pHost->NewHandle();
            const unsigned int ulResult = pHost->Open(h, pszPath);
            if (ulResult != PHR_SUCCESS)
                strError += std::string(" open ") + pszPath + ": " + std::to_string(ulResult);
            else if (!pHost->WaitForEvent(h, PH_EVENT_POWER_STATE, 10000))
                strError += std::string(" no power report on ") + pszPath;
        }
        if (!strError.empty()) {
            state.SkipWithError(("iteration " + std::to_string(vecMs.size()) + ":" + strError).c_str());
            break;
        }

        const auto t0 = std::chrono::steady_clock::now();
        pHost->Unload();
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(dSeconds);
        vecMs.push_back(dSeconds * 1000);
        pHost.reset();
    }
    if (!vecMs.empty()) {
        state.counters["median_ms"] = Percentile(vecMs, 50);
        state.counters["p99_ms"] = Percentile(vecMs, 99);
        state.counters["max_ms"] = *std::max_element(vecMs.begin(), vecMs.end());
    }
    daemon.Stop();
    usbsim::resetBus();
    if (system(("rm -rf '" + strDir + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", strDir.c_str());
}

BENCHMARK(BM_UnloadWithOpenPorts)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
