// Heap allocations made by any thread of the process while counting is on:
// malloc and its relatives, and every global operator new, interposed in the
// benchmark executable that links this file.
#pragma once

#include <cstdint>

namespace bench {

struct AllocationCount {
    uint64_t mallocCalls = 0;  // malloc, calloc, realloc and the aligned forms
    uint64_t newCalls = 0;     // global operator new, every form
    uint64_t total() const { return mallocCalls + newCalls; }
};

void startCountingAllocations();
AllocationCount stopCountingAllocations();

}  // namespace bench
