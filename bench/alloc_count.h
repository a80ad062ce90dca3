// Heap accounting for the benchmarks: the binary replaces the global allocation functions,
// so every allocation made inside a loaded deliverable is counted while counting is on.
#pragma once

#include <cstddef>

namespace kvbench {

struct AllocTally {
    std::size_t allocations = 0;
    std::size_t bytes = 0;      // requested bytes of every allocation
    std::size_t freed = 0;      // requested bytes of counted blocks freed again
    std::size_t peak_live = 0;  // most bytes held at once
};

// BeginCounting clears the tally and turns counting on; Counting switches it on and off
// without clearing (so only calls into a deliverable are counted); EndCounting turns it off
// and answers the tally. One thread: the benchmarks'.
void BeginCounting();
void Counting(bool on);
AllocTally EndCounting();
// Allocations seen since the program started, counted or not (a no-allocation check).
std::size_t TotalAllocations();

}  // namespace kvbench
