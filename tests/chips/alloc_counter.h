// Counts calls of the global operator new while a counter is alive.
#ifndef VESK_TESTS_CHIPS_ALLOC_COUNTER_H
#define VESK_TESTS_CHIPS_ALLOC_COUNTER_H

namespace vesk::test {

void armAllocationCount(bool on);
long allocationCount();

struct AllocationCounter {
    AllocationCounter() { armAllocationCount(true); }
    ~AllocationCounter() { armAllocationCount(false); }
    long count() const { return allocationCount(); }
};

}  // namespace vesk::test

#endif  // VESK_TESTS_CHIPS_ALLOC_COUNTER_H
