// The test program's global operator new, counting while armed.
#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
std::atomic<long> failCountdown{0};
std::atomic<bool> failedOne{false};
}  // namespace

namespace vesk::test {
void armAllocationCount(bool on) {
    if (on) allocations = 0;
    armed = on;
}
long allocationCount() { return allocations.load(); }
void failAllocationNumber(long n) {
    failedOne = false;
    failCountdown = n;
}
bool allocationFailed() { return failedOne.load(); }
}  // namespace vesk::test

void* operator new(std::size_t n) {
    if (armed.load(std::memory_order_relaxed)) ++allocations;
    if (failCountdown.load(std::memory_order_relaxed) > 0 && --failCountdown == 0) {
        failedOne = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
