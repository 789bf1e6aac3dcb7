// The test program's global allocation functions, keeping the number of
// bytes currently allocated so that a test can weigh what an object holds.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> liveBytes{0};
std::atomic<std::size_t> failFrom{0};
std::atomic<long> failCountdown{0};  // the allocation that reaches 0 fails
std::atomic<bool> failedOne{false};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* allocate(std::size_t n) {
    const std::size_t limit = failFrom.load();
    if (limit && n >= limit) throw std::bad_alloc();
    if (failCountdown.load() > 0 && --failCountdown == 0) {
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

long long heapBytesInUse() { return liveBytes.load(); }
// While non-zero, every allocation of at least this many bytes fails.
void failAllocationsFrom(std::size_t bytes) { failFrom = bytes; }
// The n-th allocation from now fails (0: none); true once it has.
void failAllocationNumber(long n) {
    failedOne = false;
    failCountdown = n;
}
bool allocationFailed() { return failedOne.load(); }

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
