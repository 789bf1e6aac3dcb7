// Timing figures of the transport against a stand-in board on [::1]:50003:
//   push     cost of one 7-byte push (per-call, median and tail) and its allocations
//   deadline datagram arrival minus (first write of its batch + waitMs)
//   replay   per write: its offset in the batch on the board's timeline (sum of
//            the waits before it) minus its offset on the host's timeline
//   stream   sustained rate to one board, lost and reordered writes counted at the peer
// Usage: transport_timing [stream seconds, default 3]
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "transport/protocol.h"
#include "transport/board_transport.h"

namespace {

using namespace vesk;
using namespace std::chrono_literals;
using testing::Clock;

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Sleeps most of the way and spins the rest: precise without keeping a core
// busy (a spinning writer would compete with the transport's threads on a
// small machine and show up as their lateness).
void waitUntil(Clock::time_point t) {
    auto early = t - 150us;
    if (Clock::now() < early) std::this_thread::sleep_until(early);
    while (Clock::now() < t) {
    }
}

void pushCost() {
    testing::UdpPeer peer;
    if (!peer.start().empty()) return;
    peer.setHandler([](const std::uint8_t*, std::size_t, Clock::time_point) {});
    plat::Socket s = testing::hostSocket();
    std::vector<double> cost, overhead;
    cost.reserve(200000);
    overhead.reserve(200000);
    std::uint64_t allocs = 0;
    {
        BoardTransport t(s, "::1", 20, 16384, 255, 2);
        std::uint8_t w[7];
        bench::writeOf(w, 0);
        for (int burst = 0; burst < 200; ++burst) {
            const test::AllocationCounter counter;
            for (int i = 0; i < 1000; ++i) {
                auto a = Clock::now();
                t.push(w, 7);
                auto b = Clock::now();
                auto c = Clock::now();
                cost.push_back(us(b - a) * 1000.0);
                overhead.push_back(us(c - b) * 1000.0);
            }
            allocs += static_cast<std::uint64_t>(counter.count());
            std::this_thread::sleep_for(30ms);  // the batch closes and leaves
        }
    }
    plat::closeSocket(s);
    std::printf("push (7 bytes, 200000 calls, 1000 per batch)\n");
    std::printf("  per call ns: p50 %.0f  p90 %.0f  p99 %.0f  (clock read alone: p50 %.0f)\n",
                bench::percentile(cost, 0.5), bench::percentile(cost, 0.9), bench::percentile(cost, 0.99),
                bench::percentile(overhead, 0.5));
    std::printf("  allocations on the pushing thread: %" PRIu64 " (counter self-check: %s)\n", allocs,
                test::allocationCounterWorks() ? "ok" : "FAILED");
}

struct Recorded {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
};

void deadlineAndReplay() {
    testing::UdpPeer peer;
    if (!peer.start().empty()) return;
    std::mutex m;
    std::vector<Recorded> got;
    got.reserve(2000);
    peer.setHandler([&](const std::uint8_t* d, std::size_t n, Clock::time_point at) {
        if (n < 2) return;
        std::lock_guard<std::mutex> lock(m);
        got.push_back(Recorded{at, std::vector<std::uint8_t>(d, d + n)});
    });
    plat::Socket s = testing::hostSocket();
    const int batches = 400, perBatch = 8;
    const std::uint32_t waitMs = 20;
    std::vector<Clock::time_point> hostTime(batches * perBatch);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> gapUs(15, 1500);
    {
        BoardTransport t(s, "::1", static_cast<std::uint16_t>(waitMs), 1024, 255, 2);
        std::uint8_t w[7];
        for (int b = 0; b < batches; ++b) {
            Clock::time_point prev{};
            for (int i = 0; i < perBatch; ++i) {
                std::uint32_t seq = static_cast<std::uint32_t>(b * perBatch + i);
                if (i) waitUntil(prev + std::chrono::microseconds(gapUs(rng)));
                prev = Clock::now();
                hostTime[seq] = prev;
                t.push(bench::writeOf(w, seq), 7);
            }
            std::this_thread::sleep_for(5ms);  // past the 2 ms gap: next write opens a new batch
        }
    }
    plat::closeSocket(s);
    peer.stop();

    std::vector<double> deadlineErr, replayErr;
    std::uint32_t splitBatches = 0;
    for (auto& r : got) {
        proto::CommandCursor c(r.bytes.data(), static_cast<std::uint32_t>(r.bytes.size()));
        const std::uint8_t* cmd;
        std::uint32_t n;
        bool first = true;
        std::uint32_t firstSeq = 0;
        double boardOffset = 0;
        while (c.next(cmd, n)) {
            if (n == proto::commandSize(proto::kCmdWait) && cmd[1] == proto::kCmdWait) {
                double v = cmd[3] | (cmd[4] << 8);
                boardOffset += cmd[2] == proto::kWaitUnitMs ? v * 1000.0 : v;
                continue;
            }
            if (n != proto::commandSize(proto::kCmdWriteReg) || cmd[1] != proto::kCmdWriteReg) continue;
            std::uint32_t seq = bench::seqOf(cmd);
            if (seq >= hostTime.size()) continue;
            if (first) {
                first = false;
                firstSeq = seq;
                if (seq % perBatch != 0) ++splitBatches;
                deadlineErr.push_back(us(r.at - (hostTime[seq] + std::chrono::milliseconds(waitMs))));
                continue;
            }
            double hostOffset = us(hostTime[seq] - hostTime[firstSeq]);
            replayErr.push_back(std::abs(boardOffset - hostOffset));
        }
    }
    std::printf("deadline (bufferSize 1024, wait %u ms, %zu batches)\n", waitMs, deadlineErr.size());
    std::printf("  arrival - (first write + wait) us: p50 %.1f  p99 %.1f  max %.1f  min %.1f\n",
                bench::percentile(deadlineErr, 0.5), bench::percentile(deadlineErr, 0.99),
                bench::percentile(deadlineErr, 1.0), bench::percentile(deadlineErr, 0.0));
    std::printf("replay (%d writes a batch, gaps 15..1500 us, %zu writes)\n", perBatch, replayErr.size());
    std::printf(
        "  |board offset - host offset| us: p50 %.1f  p99 %.1f  max %.1f  (batches split by a late write: %u)\n",
        bench::percentile(replayErr, 0.5), bench::percentile(replayErr, 0.99), bench::percentile(replayErr, 1.0),
        splitBatches);
}

void stream(std::uint32_t bufferSize, std::uint16_t waitMs, double seconds) {
    testing::UdpPeer peer;
    if (!peer.start().empty()) return;
    std::mutex m;
    std::uint32_t expected = 0;
    std::uint64_t writes = 0, lost = 0, reordered = 0, datagrams = 0, bytes = 0, largest = 0;
    Clock::time_point lastData{};
    peer.setHandler([&](const std::uint8_t* d, std::size_t n, Clock::time_point at) {
        if (n < 2) return;
        std::lock_guard<std::mutex> lock(m);
        ++datagrams;
        bytes += n;
        if (n > largest) largest = n;
        lastData = at;
        proto::CommandCursor c(d, static_cast<std::uint32_t>(n));
        const std::uint8_t* cmd;
        std::uint32_t len;
        while (c.next(cmd, len)) {
            if (len != proto::commandSize(proto::kCmdWriteReg) || cmd[1] != proto::kCmdWriteReg) continue;
            std::uint32_t seq = bench::seqOf(cmd);
            ++writes;
            if (seq == (expected & 0xFFFFFF)) {
                ++expected;
            } else if (seq > (expected & 0xFFFFFF)) {
                lost += seq - (expected & 0xFFFFFF);
                expected += seq - (expected & 0xFFFFFF) + 1;
            } else {
                ++reordered;
            }
        }
    });
    plat::Socket s = testing::hostSocket();
    std::uint32_t pushed = 0;
    Clock::time_point start;
    {
        BoardTransport t(s, "::1", waitMs, bufferSize, 255, 2);
        std::uint8_t w[7];
        start = Clock::now();
        auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            for (int i = 0; i < 64; ++i) t.push(bench::writeOf(w, pushed++), 7);
        }
    }  // syncs with the board: every batch has arrived
    plat::closeSocket(s);
    std::this_thread::sleep_for(100ms);
    peer.stop();
    std::lock_guard<std::mutex> lock(m);
    double secs = std::chrono::duration<double>(lastData - start).count();
    std::printf("stream (bufferSize %u, wait %u ms, writer flat out for %.1f s)\n", bufferSize, waitMs, seconds);
    std::printf("  pushed %u, received %" PRIu64 ", lost %" PRIu64 ", reordered/duplicated %" PRIu64 "\n", pushed,
                writes, lost + (pushed - expected), reordered);
    std::printf("  %.0f writes/s, %.2f MB/s in %" PRIu64 " datagrams (largest %" PRIu64 " bytes)\n",
                secs > 0 ? writes / secs : 0.0, secs > 0 ? bytes / secs / 1e6 : 0.0, datagrams, largest);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    plat::netStartup();
    plat::timerResolutionBegin();
    testing::UdpPeer probe;
    std::string why = probe.start();
    if (!why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    probe.stop();
    pushCost();
    deadlineAndReplay();
    stream(1024, 20, seconds);
    stream(16384, 20, seconds);
    plat::timerResolutionEnd();
    plat::netCleanup();
    return 0;
}
