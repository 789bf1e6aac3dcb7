// Cost of one push of a 7-byte register write from one thread, and the
// allocations on that path. Bursts of pushes stay inside one batch; between
// bursts the clock is stopped while the batch leaves.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "bench_support.h"
#include "transport/board_transport.h"

namespace {

using namespace vesk;

void BM_Push(benchmark::State& state) {
    testing::UdpPeer peer;
    std::string why = peer.start();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::uint64_t received = 0;
    peer.setHandler([&](const std::uint8_t*, std::size_t, testing::Clock::time_point) { ++received; });
    plat::Socket s = testing::hostSocket();
    {
        BoardTransport t(s, "::1", 20, 16384, 255, 2);
        std::uint8_t w[7];
        bench::writeOf(w, 0);
        const std::int64_t burst = 4000;  // 28000 bytes: well inside one 65024-byte batch
        std::int64_t inBurst = 0;
        std::uint64_t pushes = 0;
        const test::AllocationCounter counter;
        for (auto _ : state) {
            t.push(w, 7);
            ++pushes;
            if (++inBurst == burst) {
                state.PauseTiming();
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                inBurst = 0;
                state.ResumeTiming();
            }
        }
        const std::uint64_t allocs = static_cast<std::uint64_t>(counter.count());
        state.counters["allocs_per_push"] =
            benchmark::Counter(pushes ? double(allocs) / double(pushes) : 0.0, benchmark::Counter::kAvgThreads);
        state.counters["allocs_total"] = double(allocs);
        if (!test::allocationCounterWorks()) state.SkipWithError("allocation counter sees nothing");
    }
    plat::closeSocket(s);
}
BENCHMARK(BM_Push)->Iterations(200000)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace

// Google Benchmark's "Library was built as DEBUG" line is about the
// benchmark library itself (Debian builds it without NDEBUG), not about
// this program; the context names how vesk's code was built.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("vesk_build", VESK_BUILD_TYPE);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
