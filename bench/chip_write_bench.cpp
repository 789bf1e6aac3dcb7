// Cost of one register write through VeskChip::write, including the push
// into a real transport whose batches go to a stand-in board on [::1]:50003,
// and the allocations on the writing thread. Each chip is made by the chip
// table's factory, as init makes it (clock, slot reset, silence table).
// Usage: chip_write_bench [bursts, default 200]
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "chips/chip_table.h"
#include "chips/chip.h"
#include "transport/board_transport.h"

namespace {

using namespace vesk;
using testing::Clock;

double ns(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

// Writes one chip model in bursts of 1000 (one batch each); between bursts
// the batch leaves while nothing is measured.
void writeCost(const char* model, std::uint32_t clock, int bursts, std::uint32_t regBase, std::uint32_t regSpan) {
    testing::UdpPeer peer;
    peer.answerReset = true;
    if (!peer.start().empty()) return;
    peer.setHandler([](const std::uint8_t*, std::size_t, Clock::time_point) {});
    plat::Socket s = testing::hostSocket();
    std::vector<double> cost, overhead;
    cost.reserve(static_cast<std::size_t>(bursts) * 1000);
    overhead.reserve(cost.capacity());
    std::uint64_t allocs = 0, writes = 0;
    double batchNs = 0;
    {
        BoardTransport t(s, "::1", 20, 16384, 255, 2);
        VeskChipInfo record{};
        record.clock = clock;
        std::memcpy(record.name, model, std::strlen(model));  // the model names fit
        std::strncpy(record.address, "::1", sizeof record.address - 1);
        Chip* imp = createChip(&t, &record);
        VeskChip* chip = imp;  // hosts call through the interface
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        for (int burst = 0; burst < bursts; ++burst) {
            const test::AllocationCounter counter;
            const auto start = Clock::now();
            for (std::uint32_t i = 0; i < 1000; ++i) {
                auto a = Clock::now();
                chip->write(regBase + i % regSpan, i & 0xFF);
                auto b = Clock::now();
                auto c = Clock::now();
                cost.push_back(ns(b - a));
                overhead.push_back(ns(c - b));
            }
            batchNs += ns(Clock::now() - start);
            allocs += static_cast<std::uint64_t>(counter.count());
            writes += 1000;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        delete imp;
    }
    plat::closeSocket(s);
    std::printf("%s write (%" PRIu64 " calls, 1000 per batch)\n", model, writes);
    std::printf("  per call ns: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f  (clock read alone: p50 %.0f)\n",
                bench::percentile(cost, 0.5), bench::percentile(cost, 0.9), bench::percentile(cost, 0.99),
                bench::percentile(cost, 1.0), bench::percentile(overhead, 0.5));
    std::printf("  mean over whole bursts, timing included: %.0f ns per write\n", batchNs / double(writes));
    std::printf("  allocations on the writing thread: %" PRIu64 " (counter self-check: %s)\n", allocs,
                test::allocationCounterWorks() ? "ok" : "FAILED");
}

}  // namespace

int main(int argc, char** argv) {
    const int bursts = argc > 1 ? std::atoi(argv[1]) : 200;
    plat::netStartup();
    testing::UdpPeer probe;
    std::string why = probe.start();
    if (!why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    probe.stop();
    writeCost("YM2151", 4000000, bursts, 0x20, 0x60);
    // Both banks: registers 0x030-0x09F and 0x130-0x19F.
    writeCost("YM2608", 8000000, bursts, 0x030, 0x70);
    writeCost("YM2608", 8000000, bursts, 0x130, 0x70);
    plat::netCleanup();
    return 0;
}
