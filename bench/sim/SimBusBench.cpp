// 200,000 bytes through busy poll, write start, 4096-byte bulk transfers and count report.
#include "sim/SimBus.h"

#include <benchmark/benchmark.h>
#include <libusb-1.0/libusb.h>

#include <algorithm>

namespace {

void writeProtocol(benchmark::State& state, const usbsim::Timing& timing) {
    usbsim::resetBus();
    usbsim::setTiming(timing);
    auto dev = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("BENCH"));
    libusb_context* ctx = nullptr;
    libusb_init(&ctx);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, KORVO_USB_VENDOR_ID, 0x0202);
    if (!h) {
        state.SkipWithError("device not found");
        return;
    }
    libusb_claim_interface(h, 0);
    std::vector<unsigned char> data(200000, 0x55);
    for (auto _ : state) {
        for (size_t done = 0; done < data.size();) {
            const size_t chunk = std::min<size_t>(65535, data.size() - done);
            unsigned char w[2] = {1, 0};
            while (libusb_control_transfer(h, 0xC1, 1, 0, 0, w, 2, 1000) == 2 && (w[0] & 1)) {
            }
            libusb_control_transfer(h, 0x41, 17, 0, 0, nullptr, 0, 1000);
            for (size_t sent = 0; sent < chunk;) {
                int n = 0;
                const int len = static_cast<int>(std::min<size_t>(4096, chunk - sent));
                if (libusb_bulk_transfer(h, 0x01, &data[done + sent], len, &n, 1000) != 0) {
                    state.SkipWithError("bulk transfer failed");
                    return;
                }
                sent += static_cast<size_t>(n);
            }
            libusb_control_transfer(h, 0xC1, 18, 0, 0, w, 2, 1000);
            done += chunk;
        }
        dev->clearRecords();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    libusb_close(h);
    libusb_exit(ctx);
    usbsim::resetBus();
}

void BM_WriteProtocolNoTiming(benchmark::State& s) { writeProtocol(s, usbsim::Timing::off()); }
void BM_WriteProtocolFullSpeed(benchmark::State& s) { writeProtocol(s, usbsim::Timing::fullSpeed()); }
void BM_WriteProtocolHighSpeed(benchmark::State& s) { writeProtocol(s, usbsim::Timing::highSpeed()); }

}  // namespace

BENCHMARK(BM_WriteProtocolNoTiming)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteProtocolFullSpeed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteProtocolHighSpeed)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
