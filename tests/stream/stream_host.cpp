// A host that streams register writes to the first YM2151 it is given, the
// way a player does with real music: evenly spaced (a PCM/DAC stream at
// 125 us, FM music at 1 ms) or in bursts. Loads the library from its own
// directory and uses the public interface only. Prints "key = value" lines;
// the checks are the driver's (stream_e2e.py), against the simulator's record.
//
//   stream_host PATTERN...
//     period:US:MS        one write every US microseconds for MS milliseconds
//     burst:N:EVERY:MS    N writes back to back every EVERY ms for MS ms
//
// Write k of the run (counting across patterns, from 0xE0) writes register
// 0x20 + k % 0xE0 with data k / 0xE0, so every write is distinct and its
// place in the stream can be read back from what the board received. The
// YM2151 class sends registers 0x20-0xFF as written; starting at data 1
// keeps clear of its silence table (data 0x00 and 0x7F), which the board
// also receives, and 0x7E * 0xE0 writes fit below 0x7F.
//
// Per pattern: NAME.first (k of its first write), NAME.count, NAME.at_ns
// (steady clock, nanoseconds since its epoch, of each write call); the
// board's wait and buffer size; the kernel's UDP/IPv6 send-buffer error
// count before and after (where /proc/net/snmp6 is readable).
#include <vesk/vesk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/host_library.h"

namespace {

using vesk::test::put;
using Clock = std::chrono::steady_clock;

long long ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Udp6SndbufErrors of the network namespace the host runs in; -1 if unknown.
// Under Wine /proc is reached through the Z: drive.
long long sndbufErrors() {
    std::string s;
    if (!vesk::plat::readFile("/proc/net/snmp6", s) && !vesk::plat::readFile("Z:\\proc\\net\\snmp6", s)) return -1;
    const char* key = "Udp6SndbufErrors";
    std::size_t at = s.find(key);
    return at == std::string::npos ? -1 : std::atoll(s.c_str() + at + std::strlen(key));
}

struct Pattern {
    std::string name;
    long long gapUs;     // between writes of a burst (0: back to back) or between writes
    int burst;           // writes per burst (1: evenly spaced)
    long long everyUs;   // burst period
    long long lengthUs;  // pattern length
};

bool parse(const std::string& spec, Pattern& p) {
    p.name = spec;
    for (char& c : p.name)
        if (c == ':') c = '_';
    long long a = 0, b = 0, c = 0;
    if (std::sscanf(spec.c_str(), "period:%lld:%lld", &a, &b) == 2 && a > 0 && b > 0) {
        p = {p.name, a, 1, a, b * 1000};
        return true;
    }
    if (std::sscanf(spec.c_str(), "burst:%lld:%lld:%lld", &a, &b, &c) == 3 && a > 0 && b > 0 && c > 0) {
        p = {p.name, 0, static_cast<int>(a), b * 1000, c * 1000};
        return true;
    }
    return false;
}

// Waits for t: sleeps while more than 1.5 ms remain (sleeps overshoot by up
// to a timer tick), then spins, yielding, as players pace their streams.
void waitFor(Clock::time_point t) {
    for (;;) {
        auto left = t - Clock::now();
        if (left <= Clock::duration::zero()) return;
        if (left > std::chrono::microseconds(1500))
            std::this_thread::sleep_for(left - std::chrono::milliseconds(1));
        else
            std::this_thread::yield();
    }
}

void stream(VeskChip* chip, const Pattern& p, long long& k) {
    std::vector<long long> at;
    const long long first = k;
    const auto t0 = Clock::now();
    for (long long burstAt = 0; burstAt < p.lengthUs; burstAt += p.everyUs) {
        waitFor(t0 + std::chrono::microseconds(burstAt));
        for (int i = 0; i < p.burst; ++i, ++k) {
            at.push_back(ns(Clock::now()));
            chip->write(0x20 + static_cast<std::uint32_t>(k % 0xE0), static_cast<std::uint32_t>(k / 0xE0) & 0xFF);
        }
    }
    std::string times;
    times.reserve(at.size() * 16);
    for (long long t : at) times += (times.empty() ? "" : ",") + std::to_string(t);
    put(p.name + ".first", first);
    put(p.name + ".count", k - first);
    put(p.name + ".at_ns", times);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vesk;
    std::vector<Pattern> patterns;
    for (int i = 1; i < argc; ++i) {
        Pattern p;
        if (!parse(argv[i], p)) {
            std::fprintf(stderr, "stream_host: bad pattern %s\n", argv[i]);
            return 2;
        }
        patterns.push_back(p);
    }
    test::HostLibrary lib;
    if (!lib.getManager) return lib.missing();
    VeskManager* m = lib.getManager();
    m->init();
    const std::uint32_t nb = m->getBoardCount();
    put("boards", nb);
    std::uint32_t waitMs = 0;
    if (nb) {
        std::vector<VeskBoardInfo> boards(nb);
        m->getBoardInfo(boards.data(), nb);
        waitMs = boards[0].waitMs;
        put("board.wait_ms", boards[0].waitMs);
        put("board.buffer_size", boards[0].bufferSize);
    }
    VeskChip* chip = m->getChip("YM2151", 4000000);
    put("chip", chip ? chip->getName() : "null");
    put("sndbuf_errors.before", sndbufErrors());
    long long k = 0xE0;
    if (chip) {
        for (const Pattern& p : patterns) {
            // What is still queued (the chip's silence table, the previous
            // pattern) leaves first.
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs + 300));
            stream(chip, p, k);
        }
        // Room for a transport that sends late: what arrives in this time is
        // counted (and its lateness measured), the rest is lost.
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs + 2000));
    }
    put("sndbuf_errors.after", sndbufErrors());
    std::fflush(stdout);
    m->release();
    return 0;
}
