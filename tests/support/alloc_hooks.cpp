// The program's global allocation functions. Each block carries its size in
// a header, so that the bytes in use can be kept.
#include "alloc_hooks.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

namespace {
thread_local long threadAllocations = 0;  // trivial: no allocation to make it
std::atomic<long long> liveBytes{0};
std::atomic<std::size_t> failFrom{0};
std::atomic<long> failCountdown{0};  // the allocation that brings it to 0 fails
std::atomic<bool> failedOne{false};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t n) {
    ++threadAllocations;
    const std::size_t limit = failFrom.load(std::memory_order_relaxed);
    if (limit && n >= limit) throw std::bad_alloc();
    if (failCountdown.load(std::memory_order_relaxed) > 0 && --failCountdown == 0) {
        failedOne = true;
        throw std::bad_alloc();
    }
    void* raw = std::malloc(n + kHeader);
    if (!raw) throw std::bad_alloc();
    *static_cast<std::size_t*>(raw) = n;
    liveBytes += static_cast<long long>(n);
    return static_cast<char*>(raw) + kHeader;
}

void release(void* p) noexcept {
    if (!p) return;
    char* raw = static_cast<char*>(p) - kHeader;
    liveBytes -= static_cast<long long>(*reinterpret_cast<std::size_t*>(raw));
    std::free(raw);
}
}  // namespace

namespace vesk::test {
AllocationCounter::AllocationCounter() : start_(threadAllocations) {}
long AllocationCounter::count() const { return threadAllocations - start_; }

bool allocationCounterWorks() {
    AllocationCounter counter;
    auto probe = std::make_unique<int>(1);
    return counter.count() > 0;
}

long long heapBytesInUse() { return liveBytes.load(); }
void failAllocationsFrom(std::size_t bytes) { failFrom = bytes; }
void failAllocationNumber(long n) {
    failedOne = false;
    failCountdown = n;
}
bool allocationFailed() { return failedOne.load(); }
}  // namespace vesk::test

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
// The nothrow forms too: every block freed here must have been counted here.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
