#include "transport/write_time.h"

#include <chrono>

namespace vesk {
namespace writetime {

namespace {
thread_local std::int64_t tTime = kByCall;
thread_local bool tInHostWrite = false;
}  // namespace

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void set(std::int64_t ns) { tTime = ns; }
std::int64_t get() { return tTime; }

HostWrite::HostWrite() : was_(tInHostWrite) { tInHostWrite = true; }
HostWrite::~HostWrite() { tInHostWrite = was_; }

std::int64_t HostWrite::current() { return tInHostWrite ? tTime : kByCall; }

}  // namespace writetime
}  // namespace vesk
