// Shared pieces of the transport benchmarks: an allocation counter for the
// measuring thread, percentiles, and the stand-in board from the test suite.
#ifndef VESK_BENCH_BENCH_SUPPORT_H
#define VESK_BENCH_BENCH_SUPPORT_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "transport/udp_peer.h"

namespace vesk::bench {

// Allocations made by threads that set countAllocations (the other threads
// of the transport may allocate; the push path must not).
inline thread_local bool countAllocations = false;
inline std::atomic<std::uint64_t> allocations{0};

// Proves the counter sees allocations on this thread (a zero count means
// nothing only if this holds).
inline bool allocationCounterWorks() {
    countAllocations = true;
    std::uint64_t before = allocations.load();
    auto* p = new std::vector<int>(16);
    std::uint64_t seen = allocations.load() - before;
    delete p;
    countAllocations = false;
    return seen >= 2;
}

template <typename T>
T percentile(std::vector<T> v, double p) {
    if (v.empty()) return T{};
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline std::uint8_t* writeOf(std::uint8_t* out, std::uint32_t seq) {
    proto::encodeWriteReg(out, static_cast<std::uint8_t>(seq >> 16), static_cast<std::uint8_t>(seq >> 8),
                          static_cast<std::uint8_t>(seq), 1, 2);
    return out;
}

inline std::uint32_t seqOf(const std::uint8_t* write) {
    return (std::uint32_t(write[2]) << 16) | (std::uint32_t(write[3]) << 8) | write[4];
}

}  // namespace vesk::bench

// One definition per benchmark program (this header is included once per program).
void* operator new(std::size_t n) {
    if (vesk::bench::countAllocations) vesk::bench::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

#endif  // VESK_BENCH_BENCH_SUPPORT_H
