// Cost of one LogMsg call: with the daemon listening (connect, write, close per message) and with
// no daemon (the connect fails and the message is counted as lost).
#include <benchmark/benchmark.h>

#include "log/Log.h"
#include "tools/ScopedLogDaemon.h"

namespace {

void BM_LogMsgDaemonPresent(benchmark::State& state) {
    CScopedLogDaemon log;
    if (!log.Ok()) {
        state.SkipWithError(log.Error().c_str());
        return;
    }
    log->SetRecording(false);
    g_ulErrorCount = 0;
    for (auto _ : state) {
        LogMsg(2, "-- Open(%d, %s) <PHR_SUCCESS>", 3, "QX/Printer");
    }
    // Messages refused because the daemon fell behind (its backlog full) are counted, not timed
    // separately; a non-zero figure means the rate exceeded what the daemon drained.
    state.counters["lost"] = static_cast<double>(g_ulErrorCount.load());
    g_ulErrorCount = 0;
}
BENCHMARK(BM_LogMsgDaemonPresent)->Unit(benchmark::kMicrosecond);

void BM_LogMsgDaemonAbsent(benchmark::State& state) {
    CScopedLogDaemon log(false);
    for (auto _ : state) {
        LogMsg(2, "-- Open(%d, %s) <PHR_SUCCESS>", 3, "QX/Printer");
    }
    g_ulErrorCount = 0;
}
BENCHMARK(BM_LogMsgDaemonAbsent)->Unit(benchmark::kMicrosecond);

void BM_LogDirectDataDaemonPresent(benchmark::State& state) {
    CScopedLogDaemon log;
    if (!log.Ok()) {
        state.SkipWithError(log.Error().c_str());
        return;
    }
    log->SetRecording(false);
    std::string data(static_cast<size_t>(state.range(0)), 'd');
    g_ulErrorCount = 0;
    for (auto _ : state) {
        Log(2, data.data(), static_cast<unsigned>(data.size()), "-- Write(%d) <PHR_SUCCESS>", 3);
    }
    state.counters["lost"] = static_cast<double>(g_ulErrorCount.load());
    g_ulErrorCount = 0;
}
BENCHMARK(BM_LogDirectDataDaemonPresent)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
