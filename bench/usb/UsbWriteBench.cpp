// 1 MiB through CUSBDevice::Write against plain libusb_bulk_transfer of the same bytes, on the
// same simulated device with the bus's full-speed and high-speed timing.
//
// Counters of the write benchmarks:
//   MiB/s         throughput of the write
//   vs_plain      write throughput / plain bulk throughput on the same device (one transfer of
//                 the whole MiB, run just before)
//   vs_plain_4k   the same against plain transfers of 4096 bytes, the protocol's transfer size
//   of_ceiling    ceiling time / measured time, where the ceiling is the wire time of the bulk
//                 bytes plus the latency of the protocol's own control transfers (busy poll,
//                 write start, count report), counted from the device record
//   controls      control transfers per MiB
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimBus.h"
#include "tools/LogDaemon.h"
#include "usb/USBDevice.h"

namespace {

constexpr int kBytes = 1 << 20;
void* const kPort = reinterpret_cast<void*>(static_cast<intptr_t>(1));

// Process-wide: a log daemon on a temporary socket (the write logs every call) and libusb.
class Environment {
public:
    Environment() {
        char szDir[] = "/tmp/usbbench.XXXXXX";
        if (mkdtemp(szDir) == nullptr) std::abort();
        m_strDir = szDir;
        const std::string strSocket = m_strDir + "/taliunlogd.socket";
        setenv("TALIUN_LOG_SOCKET", strSocket.c_str(), 1);
        m_pDaemon = std::make_unique<CLogDaemon>(strSocket);
        m_pDaemon->SetRecording(false);
        if (!m_pDaemon->Start() || !CUSBDevice::zph_usb_lib_init()) std::abort();
    }
    ~Environment() {
        usbsim::resetBus();
        CUSBDevice::zph_usb_lib_exit();
        m_pDaemon->Stop();
        rmdir(m_strDir.c_str());
    }

private:
    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
};

Environment& Env() {
    static Environment env;
    return env;
}

// Bulk payload rate and control-transfer latency of the two bus speeds: 19 packets of 64 bytes
// per 1 ms frame at full speed, 13 packets of 512 bytes per 125 us microframe at high speed, and
// one (micro)frame per control transfer. The same figures as the simulator's own presets.
usbsim::Timing TimingOf(usbsim::Speed speed) {
    usbsim::Timing t;
    if (speed == usbsim::Speed::Full) {
        t.bytesPerSecond = 19 * 64 * 1000;
        t.controlLatency = std::chrono::microseconds(1000);
    } else {
        t.bytesPerSecond = 13 * 512 * 8000;
        t.controlLatency = std::chrono::microseconds(125);
    }
    return t;
}

// A fresh bus with one open receipt printer (device code 1: count report after each chunk).
struct Bench {
    usbsim::DevicePtr dev;
    std::unique_ptr<CUSBDevice> pDevice;
    std::vector<unsigned char> data;

    explicit Bench(usbsim::Speed speed) : data(kBytes) {
        Env();
        usbsim::resetBus();
        usbsim::setTiming(TimingOf(speed));
        usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("BENCH");
        cfg.speed = speed;
        dev = usbsim::plug(cfg);
        pDevice = std::make_unique<CUSBDevice>(dev->deviceName(), USBKIND_QX);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
    }
    ~Bench() {
        pDevice.reset();
        usbsim::resetBus();
    }
};

// Seconds per MiB of the plain transfers, by speed and transfer size, for the ratios.
std::map<std::pair<int, int>, double>& PlainSeconds() {
    static std::map<std::pair<int, int>, double> m;
    return m;
}

// range(1): bytes per transfer; 0 sends the whole MiB in one transfer (the reference for
// vs_plain), 4096 matches the protocol's transfer size without its control requests.
void BM_PlainBulkTransfer(benchmark::State& state) {
    const auto speed = static_cast<usbsim::Speed>(state.range(0));
    const int nPiece = state.range(1) == 0 ? kBytes : static_cast<int>(state.range(1));
    Bench b(speed);
    if (b.pDevice->Open() != USBR_SUCCESS) {
        state.SkipWithError("open failed");
        return;
    }
    libusb_device_handle* pHandle = b.pDevice->GetContext()->pHandle;
    double dTotal = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int nOffset = 0; nOffset < kBytes; nOffset += nPiece) {
            const int nLength = kBytes - nOffset < nPiece ? kBytes - nOffset : nPiece;
            int nTransferred = 0;
            int r = libusb_bulk_transfer(pHandle, 0x01, b.data.data() + nOffset, nLength,
                                         &nTransferred, 60000);
            if (r != 0 || nTransferred != nLength) {
                state.SkipWithError("bulk transfer failed");
                return;
            }
        }
        const double d =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(d);
        dTotal += d;
        b.dev->clearRecords();
    }
    const double dPerMiB = dTotal / static_cast<double>(state.iterations());
    PlainSeconds()[{static_cast<int>(speed), static_cast<int>(state.range(1))}] = dPerMiB;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
    state.counters["MiB/s"] = 1.0 / dPerMiB;
}

// range(1): bytes per Write call; 0 writes the whole MiB in one call. The port I/O object
// writes pieces of 65536 bytes, one more than a protocol chunk.
void BM_DeviceWrite(benchmark::State& state) {
    const auto speed = static_cast<usbsim::Speed>(state.range(0));
    const int nPiece = state.range(1) == 0 ? kBytes : static_cast<int>(state.range(1));
    Bench b(speed);
    if (b.pDevice->Open() != USBR_SUCCESS) {
        state.SkipWithError("open failed");
        return;
    }
    const usbsim::Timing timing = TimingOf(speed);
    double dTotal = 0;
    double dCeiling = 0;
    size_t nControls = 0;
    for (auto _ : state) {
        b.dev->clearRecords();
        const auto t0 = std::chrono::steady_clock::now();
        for (int nOffset = 0; nOffset < kBytes; nOffset += nPiece) {
            const int nLength = kBytes - nOffset < nPiece ? kBytes - nOffset : nPiece;
            unsigned int ulWritten = 0;
            if (b.pDevice->Write(b.data.data() + nOffset, static_cast<unsigned int>(nLength),
                                 &ulWritten, kPort) != USBR_SUCCESS ||
                ulWritten != static_cast<unsigned int>(nLength)) {
                state.SkipWithError("write failed");
                return;
            }
        }
        const double d =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(d);
        dTotal += d;

        state.PauseTiming();
        size_t nControl = 0, nControlBytes = 0;
        for (const auto& r : b.dev->records()) {
            if (r.type == usbsim::Record::Type::Control) {
                ++nControl;
                nControlBytes += r.data.size();
            }
        }
        nControls = nControl;
        const double dWire = static_cast<double>(kBytes + nControlBytes) /
                             static_cast<double>(timing.bytesPerSecond);
        dCeiling += dWire + static_cast<double>(nControl) *
                                std::chrono::duration<double>(timing.controlLatency).count();
        state.ResumeTiming();
    }
    const double dIterations = static_cast<double>(state.iterations());
    const double dPerMiB = dTotal / dIterations;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
    state.counters["MiB/s"] = 1.0 / dPerMiB;
    state.counters["of_ceiling"] = (dCeiling / dIterations) / dPerMiB;
    state.counters["controls"] = static_cast<double>(nControls);
    auto it = PlainSeconds().find({static_cast<int>(speed), 0});
    if (it != PlainSeconds().end()) state.counters["vs_plain"] = it->second / dPerMiB;
    it = PlainSeconds().find({static_cast<int>(speed), USB_BULK_PIECE});
    if (it != PlainSeconds().end()) state.counters["vs_plain_4k"] = it->second / dPerMiB;
}

constexpr int64_t kFull = static_cast<int64_t>(usbsim::Speed::Full);
constexpr int64_t kHigh = static_cast<int64_t>(usbsim::Speed::High);

}  // namespace

BENCHMARK(BM_PlainBulkTransfer)
    ->Args({kFull, 0})
    ->Args({kFull, USB_BULK_PIECE})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceWrite)
    ->Args({kFull, 0})
    ->Args({kFull, 65536})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainBulkTransfer)
    ->Args({kHigh, 0})
    ->Args({kHigh, USB_BULK_PIECE})
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceWrite)
    ->Args({kHigh, 0})
    ->Args({kHigh, 65536})
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
