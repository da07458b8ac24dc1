// Figures of the shipped library on Debian's libusb over umockdev-emulated usbfs (the simulator's
// device models behind it), through the substitute host:
//  - a 1 MiB print job (host Write until the device model took every byte);
//  - replug to first successful write: the device leaves and comes back, libusb's arrival notice
//    becomes SIGUSR1 as a host's notifier makes it, and the open port prints again;
//  - CPU time per second of the whole process with one idle open port (the FIFO device node keeps
//    libusb's event loop asleep).
// The emulation has no wire time: every transfer costs one ioctl round trip to the testbed's
// worker thread, so these are the software's costs, not a bus's.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "mockdev/MockBus.h"
#include "tools/qxhost/HotPlugNotifier.h"

namespace {

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const std::vector<unsigned char>& Job() {
    static const std::vector<unsigned char> v = [] {
        std::vector<unsigned char> b(1 << 20);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
        return b;
    }();
    return v;
}

bool WaitFor(const std::function<bool()>& pred, int ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// The component with one printer port open on one emulated device.
class Stack {
public:
    Stack() {
        std::string why;
        if (!mockdev::Start(&why)) {
            m_error = why;
            return;
        }
        char dir[] = "/tmp/taliun-rbench.XXXXXX";
        m_dir = mkdtemp(dir) ? dir : "/tmp";
        setenv("TALIUN_LOG_SOCKET", (m_dir + "/absent.sock").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_dir + "/taliun.configuration").c_str(), 1);
        m_device = mockdev::plug(usbsim::DeviceConfig::vendorPrinter("RBENCH1"));
        m_host.Properties().SetString("/QX/P1/PortType", "USB");
        m_host.Properties().SetString("/QX/P1/PortName", m_device->deviceName());
        if (!m_host.Load(TALIUN_LIBRARY) || m_host.Initialize() != 1) {
            m_error = "cannot load the component: " + m_host.LastError();
            return;
        }
        m_h = m_host.NewHandle();
        if (m_host.Open(m_h, "QX/P1") != PHR_SUCCESS) m_error = "cannot open QX/P1";
    }
    ~Stack() {
        if (m_host.IsInitialized()) m_host.Unload();
        mockdev::resetBus();
        if (!m_dir.empty()) std::system(("rm -rf " + m_dir).c_str());
    }
    bool Write(const std::vector<unsigned char>& v) {
        unsigned int ul = 0;
        return m_host.Write(m_h, CData(v.data(), static_cast<unsigned int>(v.size())), &ul) == PHR_SUCCESS &&
               ul == v.size();
    }
    std::string m_error, m_dir;
    CHost m_host;
    usbsim::DevicePtr m_device;
    void* m_h = nullptr;
};

void BM_Print1MiB(benchmark::State& state) {
    Stack s;
    if (!s.m_error.empty()) return state.SkipWithError(s.m_error.c_str());
    for (auto _ : state)
        if (!s.Write(Job())) return state.SkipWithError("write failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Job().size()));
}
BENCHMARK(BM_Print1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_ReplugToFirstWrite(benchmark::State& state) {
    Stack s;
    if (!s.m_error.empty()) return state.SkipWithError(s.m_error.c_str());
    CHotPlugNotifier notifier;
    std::string why;
    if (!notifier.Start(KORVO_USB_VENDOR_ID, &why)) return state.SkipWithError(why.c_str());
    const std::vector<unsigned char> line(64, 'x');
    for (auto _ : state) {
        mockdev::unplug(s.m_device);
        // Wait until the port has noticed the loss, so that the clock measures the way back.
        if (!WaitFor([&] { return !s.Write(line); })) return state.SkipWithError("port never lost the device");
        const auto start = std::chrono::steady_clock::now();
        s.m_device = mockdev::plug(s.m_device->config());
        if (!WaitFor([&] { return s.Write(line); })) return state.SkipWithError("port never printed again");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_ReplugToFirstWrite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

void BM_IdleOpenPortCpu(benchmark::State& state) {
    Stack s;
    if (!s.m_error.empty()) return state.SkipWithError(s.m_error.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the first status reports
    double cpu = 0, wall = 0;
    const mockdev::Counters before = mockdev::counters();
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        cpu += CpuSeconds() - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    }
    const mockdev::Counters after = mockdev::counters();
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
    // The component's own polling, in URBs; a libusb event loop that spun on the node would show as
    // many more empty reaps than URBs (one per URB is libusb reaping until EAGAIN).
    state.counters["urbs_per_s"] = static_cast<double>(after.urbsSubmitted - before.urbsSubmitted) / wall;
    state.counters["empty_reaps_per_urb"] = static_cast<double>(after.emptyReaps - before.emptyReaps) /
                                            static_cast<double>(std::max(1ul, after.urbsSubmitted - before.urbsSubmitted));
}
BENCHMARK(BM_IdleOpenPortCpu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
