// Shared pieces of the transport benchmarks: percentiles, numbered writes and
// the stand-in board from the test suite (the allocation counter is the
// suites' own, support/alloc_hooks.h).
#ifndef VESK_BENCH_BENCH_SUPPORT_H
#define VESK_BENCH_BENCH_SUPPORT_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "support/alloc_hooks.h"
#include "support/udp_peer.h"

namespace vesk::bench {

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

#endif  // VESK_BENCH_BENCH_SUPPORT_H
