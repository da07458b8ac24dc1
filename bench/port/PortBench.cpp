// Port figures on the simulated bus with its full-speed and high-speed timing models:
//  - a 1 MiB print job through the whole stack (host Write to the device's record), beside two
//    references on the same simulated device: one plain libusb_bulk_transfer of the bytes (the
//    wire limit) and the vendor write protocol done with plain libusb calls (the protocol limit);
//  - latency of a 64-byte write;
//  - latency from device input to the host's event;
//  - CPU time per second of one idle open port.
// Argument 0 selects the timing (0 full speed, 1 high speed, 2 no wire delay: the software's own
// cost); for the stack, argument 1 selects
// whether the log daemon is present (0 absent: every log call fails at once).
#include <benchmark/benchmark.h>
#include <libusb.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"

namespace {

constexpr unsigned int kJob = 1 << 20;

usbsim::Timing TimingFor(int64_t nSpeed)
{
    usbsim::Timing t;
    if (nSpeed == 2)
        return t;
    if (nSpeed == 0) {
        t.bytesPerSecond = 1216000;
        t.controlLatency = std::chrono::microseconds(1000);
    } else {
        t.bytesPerSecond = 53248000;
        t.controlLatency = std::chrono::microseconds(125);
    }
    return t;
}

const std::vector<unsigned char>& Job()
{
    static const std::vector<unsigned char> vec = [] {
        std::vector<unsigned char> v(kJob);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
        return v;
    }();
    return vec;
}

double CpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The shipped library loaded by the substitute host with one printer port open on one device.
class CStack {
public:
    explicit CStack(bool bDaemon)
    {
        char szTemplate[] = "/tmp/taliun-bench.XXXXXX";
        m_strDir = mkdtemp(szTemplate) != nullptr ? szTemplate : "/tmp";
        setenv("TALIUN_LOG_SOCKET", (m_strDir + "/log.sock").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        if (bDaemon) {
            m_pDaemon.reset(new CLogDaemon(m_strDir + "/log.sock"));
            m_pDaemon->SetRecording(false);
            m_pDaemon->Start();
        }
        m_pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("BENCH1"));
        m_host.Properties().SetString("/QX/P1/PortType", "USB");
        m_host.Properties().SetString("/QX/P1/PortName", m_pDevice->deviceName());
        m_bOk = m_host.Load(TALIUN_LIBRARY) && m_host.Initialize() == 1;
        m_hPort = m_host.NewHandle();
        m_bOk = m_bOk && m_host.Open(m_hPort, "QX/P1") == PHR_SUCCESS;
    }
    ~CStack()
    {
        if (m_bOk)
            m_host.Close(m_hPort);
        m_host.Unload();
        if (m_pDaemon)
            m_pDaemon->Stop();
        usbsim::resetBus();
        if (system(("rm -rf '" + m_strDir + "'").c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_strDir.c_str());
    }
    bool Ok() const { return m_bOk; }

    CHost m_host;
    usbsim::DevicePtr m_pDevice;
    void* m_hPort = nullptr;

private:
    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
    bool m_bOk = false;
};

// Plain libusb on the simulated device, interface claimed.
class CPlain {
public:
    CPlain()
    {
        m_pDevice = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("BENCH2"));
        if (libusb_init(&m_pContext) != 0)
            return;
        m_pHandle = libusb_open_device_with_vid_pid(m_pContext, KORVO_USB_VENDOR_ID, 0x0202);
        if (m_pHandle != nullptr && libusb_claim_interface(m_pHandle, 0) != 0) {
            libusb_close(m_pHandle);
            m_pHandle = nullptr;
        }
    }
    ~CPlain()
    {
        if (m_pHandle != nullptr) {
            libusb_release_interface(m_pHandle, 0);
            libusb_close(m_pHandle);
        }
        if (m_pContext != nullptr)
            libusb_exit(m_pContext);
        usbsim::resetBus();
    }
    bool Ok() const { return m_pHandle != nullptr; }

    // The maker's write protocol for one job: per chunk of at most 65535 bytes a busy poll, the
    // write start request, bulk transfers of at most 4096 bytes and the count read-back.
    bool ProtocolWrite(const unsigned char* pData, unsigned int ulLength)
    {
        unsigned int ulDone = 0;
        while (ulDone < ulLength) {
            const unsigned int ulChunk = ulLength - ulDone < 0xFFFF ? ulLength - ulDone : 0xFFFF;
            unsigned char aucStatus[2];
            for (;;) {
                if (libusb_control_transfer(m_pHandle, 0xC1, 1, 0, 0, aucStatus, 2, 1000) != 2)
                    return false;
                if ((aucStatus[0] & 1) == 0)
                    break;
                usleep(10000);
            }
            if (libusb_control_transfer(m_pHandle, 0x41, 17, 0, 0, nullptr, 0, 1000) < 0)
                return false;
            unsigned int ulSent = 0;
            while (ulSent < ulChunk) {
                const int nPiece = static_cast<int>(ulChunk - ulSent < 4096 ? ulChunk - ulSent : 4096);
                int nTransferred = 0;
                if (libusb_bulk_transfer(m_pHandle, 0x01, const_cast<unsigned char*>(pData + ulDone + ulSent), nPiece,
                                         &nTransferred, 5000) != 0)
                    return false;
                ulSent += static_cast<unsigned int>(nTransferred);
            }
            if (libusb_control_transfer(m_pHandle, 0xC1, 18, 0, 0, aucStatus, 2, 1000) != 2)
                return false;
            ulDone += ulChunk;
        }
        return true;
    }
    // What an idle port's monitoring asks of the device in one cycle: a read of input, which
    // ends after the third empty transfer, and (every tenth cycle) a status request.
    void IdlePoll(bool bStatus)
    {
        unsigned char auc[1024];
        for (int i = 0; i < 3; ++i) {
            int nTransferred = 0;
            libusb_bulk_transfer(m_pHandle, 0x82, auc, sizeof(auc), &nTransferred, 5000);
        }
        if (bStatus)
            libusb_control_transfer(m_pHandle, 0xC1, 1, 0, 0, auc, 2, 5000);
    }
    bool WireWrite(const unsigned char* pData, unsigned int ulLength)
    {
        int nTransferred = 0;
        return libusb_bulk_transfer(m_pHandle, 0x01, const_cast<unsigned char*>(pData), static_cast<int>(ulLength),
                                    &nTransferred, 60000) == 0 &&
               nTransferred == static_cast<int>(ulLength);
    }

    usbsim::DevicePtr m_pDevice;

private:
    libusb_context* m_pContext = nullptr;
    libusb_device_handle* m_pHandle = nullptr;
};

void BM_PrintJob_Stack(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CStack stack(state.range(1) != 0);
    if (!stack.Ok()) {
        state.SkipWithError("stack did not start");
        return;
    }
    const CData data(Job().data(), kJob);
    for (auto _ : state) {
        unsigned int ulWritten = 0;
        if (stack.m_host.Write(stack.m_hPort, data, &ulWritten) != PHR_SUCCESS || ulWritten != kJob) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        stack.m_pDevice->clearRecords();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kJob);
}

void BM_PrintJob_ProtocolLimit(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CPlain plain;
    if (!plain.Ok()) {
        state.SkipWithError("device did not open");
        return;
    }
    for (auto _ : state) {
        if (!plain.ProtocolWrite(Job().data(), kJob)) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        plain.m_pDevice->clearRecords();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kJob);
}

void BM_PrintJob_WireLimit(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CPlain plain;
    if (!plain.Ok()) {
        state.SkipWithError("device did not open");
        return;
    }
    for (auto _ : state) {
        if (!plain.WireWrite(Job().data(), kJob)) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        plain.m_pDevice->clearRecords();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kJob);
}

void BM_Write64(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CStack stack(state.range(1) != 0);
    if (!stack.Ok()) {
        state.SkipWithError("stack did not start");
        return;
    }
    const CData data(Job().data(), 64);
    for (auto _ : state) {
        unsigned int ulWritten = 0;
        if (stack.m_host.Write(stack.m_hPort, data, &ulWritten) != PHR_SUCCESS || ulWritten != 64) {
            state.SkipWithError("write failed");
            break;
        }
    }
}

void BM_InputToEvent(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CStack stack(false);
    if (!stack.Ok()) {
        state.SkipWithError("stack did not start");
        return;
    }
    const std::vector<unsigned char> vecInput = {0x14, 0x00, 0x00, 0x0F};
    // Input arrives at any point of the monitoring cycle, not right after the previous delivery.
    std::mt19937 rng(1);
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 25000));
        const size_t ulFrom = stack.m_host.EventCount(stack.m_hPort);
        const auto t0 = std::chrono::steady_clock::now();
        stack.m_pDevice->queueInput(vecInput);
        HOST_EVENT ev;
        if (!stack.m_host.WaitForEvent(stack.m_hPort, PH_EVENT_INPUT_DATA, 5000, &ev, ulFrom)) {
            state.SkipWithError("no input event");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(ev.time - t0).count());
    }
}

void BM_IdlePortCpu(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CStack stack(false);
    if (!stack.Ok()) {
        state.SkipWithError("stack did not start");
        return;
    }
    // The same second with the port closed, for the baseline of the host and the simulator.
    double dOpen = 0, dBaseline = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        dOpen += CpuSeconds() - c0;
    }
    stack.m_host.Close(stack.m_hPort);
    for (int64_t i = 0; i < static_cast<int64_t>(state.iterations()); ++i) {
        const double c0 = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        dBaseline += CpuSeconds() - c0;
    }
    stack.m_host.Open(stack.m_hPort, "QX/P1");
    const double n = static_cast<double>(state.iterations());
    state.counters["cpu_ms_per_s_open"] = dOpen * 1000 / n;
    state.counters["cpu_ms_per_s_closed"] = dBaseline * 1000 / n;
}

// Process CPU per second of wall time while a thread wakes every 10 ms, the monitoring thread's
// cadence while a port has no input, and runs `tick` with the wake-up's number.
template <class Tick>
void MeasureTickingCpu(benchmark::State& state, Tick tick)
{
    std::mutex mutex;
    std::condition_variable cv;
    bool bStop = false;
    std::thread ticker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (unsigned int n = 0; !bStop; ++n) {
            cv.wait_for(lock, std::chrono::milliseconds(10));
            tick(n);
        }
    });
    double dCpu = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        dCpu += CpuSeconds() - c0;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        bStop = true;
    }
    cv.notify_all();
    ticker.join();
    state.counters["cpu_ms_per_s"] = dCpu * 1000 / static_cast<double>(state.iterations());
}

// The floor under the figure above on this machine: a thread that does nothing but wake.
void BM_IdleWakeFloor(benchmark::State& state)
{
    MeasureTickingCpu(state, [](unsigned int) {});
}

// The same wake-ups with the simulator's part of an idle port's cycle done by plain libusb calls:
// above the floor, this is what the simulator costs (argument: the timing, as above).
void BM_IdlePollPlain(benchmark::State& state)
{
    usbsim::resetBus();
    usbsim::setTiming(TimingFor(state.range(0)));
    CPlain plain;
    if (!plain.Ok()) {
        state.SkipWithError("no device");
        return;
    }
    MeasureTickingCpu(state, [&](unsigned int n) { plain.IdlePoll(n % 10 == 0); });
}

// Full speed: {0, ...}; high speed: {1, ...}; no wire delay: {2, ...}.
BENCHMARK(BM_PrintJob_WireLimit)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_PrintJob_ProtocolLimit)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_PrintJob_Stack)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();
BENCHMARK(BM_Write64)->Args({0, 0})->Args({1, 0})->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_InputToEvent)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(200);
BENCHMARK(BM_IdlePortCpu)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleWakeFloor)->Iterations(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_IdlePollPlain)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
