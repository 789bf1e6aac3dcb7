// Counts calls of the global operator new while a counter is alive, and
// makes a chosen one fail.
#ifndef VESK_TESTS_CHIPS_ALLOC_COUNTER_H
#define VESK_TESTS_CHIPS_ALLOC_COUNTER_H

namespace vesk::test {

void armAllocationCount(bool on);
long allocationCount();
// The n-th allocation from now throws std::bad_alloc (0: none): how a
// thread that cannot start, or memory that runs out, meets the code.
void failAllocationNumber(long n);
// True once the allocation chosen by failAllocationNumber has failed.
bool allocationFailed();

struct AllocationCounter {
    AllocationCounter() { armAllocationCount(true); }
    ~AllocationCounter() { armAllocationCount(false); }
    long count() const { return allocationCount(); }
};

}  // namespace vesk::test

#endif  // VESK_TESTS_CHIPS_ALLOC_COUNTER_H
