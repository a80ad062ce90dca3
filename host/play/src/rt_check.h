// What the audio thread must never do, counted while it processes a period: heap
// allocations (the validator's counter) and lock acquisitions (the pthread lock entries,
// wrapped in the executable so that libraries and plug-ins reach them too).
#pragma once

#include <cstdint>

#include "alloc_count.h"

namespace kvhost::play::rt {

// Counts, for its lifetime, what the calling thread allocates and locks.
class Watch {
  public:
    Watch();
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

  private:
    validate::alloc::ThreadWindow allocations_;
};

// Totals over every Watch since the process started.
uint64_t Allocations();
uint64_t Locks();

}  // namespace kvhost::play::rt
