// What the audio thread must never do, counted while it processes a period when checking is
// on (`kvhost play --check-rt`, and always in the tests): heap allocations and lock
// acquisitions, by the counter library (host/validate/src/counters.cpp) preloaded into the
// process. Off, the program interposes nothing and a Watch costs one test of a pointer.
#pragma once

#include <cstdint>

#include "alloc_count.h"

namespace kvhost::play::rt {

// Whether allocations and locks are being counted in this process.
bool Checking();
// Turns checking on: runs kvhost again with the counter library preloaded unless it is in
// the process already (so it returns only with Checking() true). Throws kvhost::Failure
// (kExitInternal) naming the library when it cannot be loaded.
void StartChecking();

// Counts, for its lifetime, what the calling thread allocates and locks.
class Watch {
  public:
    Watch() = default;
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

  private:
    validate::alloc::ThreadWindow window_;
};

// Totals over every Watch since the process started (0 when not checking).
uint64_t Allocations();
uint64_t Locks();

}  // namespace kvhost::play::rt
