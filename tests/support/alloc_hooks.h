// The global operator new and delete of a test or benchmark program that
// links tests/support/alloc_hooks.cpp: counts a thread's allocations, weighs
// the bytes in use, and makes chosen allocations fail.
#ifndef VESK_TESTS_SUPPORT_ALLOC_HOOKS_H
#define VESK_TESTS_SUPPORT_ALLOC_HOOKS_H

#include <cstddef>

namespace vesk::test {

// Counts the allocations the calling thread makes while the counter lives;
// other threads (a transport's, say) may allocate without counting.
class AllocationCounter {
public:
    AllocationCounter();
    long count() const;

private:
    long start_;
};

// Proves the counter sees this thread's allocations: a count of zero means
// nothing unless this holds.
bool allocationCounterWorks();

// Bytes allocated through operator new and not yet freed, by every thread.
long long heapBytesInUse();
// While non-zero, every allocation of at least this many bytes fails.
void failAllocationsFrom(std::size_t bytes);
// The n-th allocation from now, by any thread, throws std::bad_alloc (0:
// none): how a thread that cannot start, or memory that runs out, meets the
// code. allocationFailed() is true once it has.
void failAllocationNumber(long n);
bool allocationFailed();

}  // namespace vesk::test

#endif  // VESK_TESTS_SUPPORT_ALLOC_HOOKS_H
