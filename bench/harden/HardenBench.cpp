// Event and re-binding latencies through the whole stack: the shipped library loaded by the
// substitute host, one printer port open on the simulated bus, the log daemon present (not keeping
// what it receives).
//  - power change to event: the printer goes offline (or comes back) at a random moment of the
//    monitoring cycle; the time until the host's sink has the power event. Going offline includes
//    the 50 ms confirmation of a not-ready status.
//  - replug to first write: the printer is unplugged and plugged in again (the bus signals the
//    hot-plug notice); the time until a one-byte write first succeeds, the host retrying every 1
//    ms.
// Argument 0 selects the timing model (0 full speed, 1 high speed).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"

namespace {

using Clock = std::chrono::steady_clock;

usbsim::Timing TimingFor(int64_t nSpeed) {
    return nSpeed == 0 ? usbsim::Timing::fullSpeed() : usbsim::Timing::highSpeed();
}

class CStack {
public:
    CStack() {
        char szTemplate[] = "/tmp/taliun-hbench.XXXXXX";
        m_strDir = mkdtemp(szTemplate) != nullptr ? szTemplate : "/tmp";
        setenv("TALIUN_LOG_SOCKET", (m_strDir + "/log.sock").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        m_pDaemon.reset(new CLogDaemon(m_strDir + "/log.sock"));
        m_pDaemon->SetRecording(false);
        m_pDaemon->Start();
        m_cfg = usbsim::DeviceConfig::vendorPrinter("HBENCH1");
        m_pDevice = usbsim::plug(m_cfg);
        m_host.Properties().SetString("/QX/P1/PortType", "USB");
        m_host.Properties().SetString("/QX/P1/PortName", m_pDevice->deviceName());
        m_bOk = m_host.Load(TALIUN_LIBRARY) && m_host.Initialize() == 1;
        m_hPort = m_host.NewHandle();
        m_bOk = m_bOk && m_host.Open(m_hPort, "QX/P1") == PHR_SUCCESS;
    }
    ~CStack() {
        if (m_bOk) m_host.Close(m_hPort);
        m_host.Unload();
        m_pDaemon->Stop();
        usbsim::resetBus();
        if (system(("rm -rf '" + m_strDir + "'").c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_strDir.c_str());
    }
    bool Ok() const { return m_bOk; }

    // Position in the handle's events from which to look for the next power event with the state.
    bool WaitForPower(int nState, size_t ulFrom, Clock::time_point* pWhen) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            HOST_EVENT ev;
            if (!m_host.WaitForEvent(m_hPort, PH_EVENT_POWER_STATE, 1000, &ev, ulFrom)) continue;
            int n = -9;
            if (ev.vecData.size() == 4) memcpy(&n, ev.vecData.data(), 4);
            if (n == nState) {
                *pWhen = ev.time;
                return true;
            }
            // An intermediate state: look further on.
            ulFrom = m_host.EventCount(m_hPort);
        }
        return false;
    }

    CHost m_host;
    usbsim::DeviceConfig m_cfg;
    usbsim::DevicePtr m_pDevice;
    void* m_hPort = nullptr;

private:
    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
    bool m_bOk = false;
};

void BM_PowerChangeToEvent(benchmark::State& state) {
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    const bool bGoOffline = state.range(1) == 0;
    CStack stack;
    Clock::time_point when;
    if (!stack.Ok() || !stack.WaitForPower(PH_POWER_READY, 0, &when)) {
        state.SkipWithError("stack did not start");
        return;
    }
    std::mt19937 rng(3);
    for (auto _ : state) {
        state.PauseTiming();
        // Put the port into the state the measured change starts from.
        if (!bGoOffline) {
            const size_t ulFrom = stack.m_host.EventCount(stack.m_hPort);
            stack.m_pDevice->setOffline(true);
            if (!stack.WaitForPower(PH_POWER_NOT_READY, ulFrom, &when)) {
                state.SkipWithError("no not-ready event");
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 100000));
        state.ResumeTiming();
        const size_t ulFrom = stack.m_host.EventCount(stack.m_hPort);
        const auto t0 = Clock::now();
        stack.m_pDevice->setOffline(bGoOffline);
        if (!stack.WaitForPower(bGoOffline ? PH_POWER_NOT_READY : PH_POWER_READY, ulFrom, &when)) {
            state.SkipWithError("no power event");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(when - t0).count());
        if (bGoOffline) {
            const size_t ulBack = stack.m_host.EventCount(stack.m_hPort);
            stack.m_pDevice->setOffline(false);
            if (!stack.WaitForPower(PH_POWER_READY, ulBack, &when)) {
                state.SkipWithError("no ready event");
                break;
            }
        }
    }
}

void BM_ReplugToFirstWrite(benchmark::State& state) {
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    usbsim::setHotplugSignal(SIGUSR1);
    CStack stack;
    if (!stack.Ok()) {
        state.SkipWithError("stack did not start");
        return;
    }
    const unsigned char uc = 'x';
    const CData data(&uc, 1);
    std::mt19937 rng(5);
    for (auto _ : state) {
        usbsim::unplug(stack.m_pDevice);
        // The port notices the loss (a write is refused) before the device comes back.
        unsigned int ulWritten = 0;
        const auto gone = Clock::now() + std::chrono::seconds(10);
        while (stack.m_host.Write(stack.m_hPort, data, &ulWritten) == PHR_SUCCESS &&
               Clock::now() < gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        const auto t0 = Clock::now();
        stack.m_pDevice = usbsim::plug(stack.m_cfg);
        const auto deadline = t0 + std::chrono::seconds(30);
        bool bDone = false;
        while (!bDone && Clock::now() < deadline) {
            bDone = stack.m_host.Write(stack.m_hPort, data, &ulWritten) == PHR_SUCCESS &&
                    ulWritten == 1;
            if (!bDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!bDone) {
            state.SkipWithError("no write after the replug");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
}

// {timing, 0 goes offline / 1 comes back}
BENCHMARK(BM_PowerChangeToEvent)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(40);
BENCHMARK(BM_ReplugToFirstWrite)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(40);

}  // namespace

BENCHMARK_MAIN();
