// Counting of heap allocations made while a counting window is open: what the validator
// uses to prove that process functions and event deliveries allocate nothing.
#pragma once

#include <cstdint>

namespace kvhost::validate::alloc {

// Installs the counters (sanitizer builds: the sanitizer's allocation hooks; other builds
// count through the replaced allocation functions, which are always in place).
void Install();

// Allocations (malloc, calloc, realloc, operator new in every form) made inside open
// windows since the last ResetWindowCount().
uint64_t WindowCount();
void ResetWindowCount();

// Blocks allocated minus blocks released since the process started, windows or not.
int64_t LiveBlocks();
// Bytes in live blocks (each block weighed by its usable size), windows or not. Unlike the
// allocator's arena statistics it does not depend on where blocks landed, so the same
// allocations always weigh the same.
int64_t LiveBytes();

// Opens a counting window for its lifetime; Pause suspends an open window (the host's own
// bookkeeping inside a callback is not the module's allocation).
class Window {
  public:
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};
class Pause {
  public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

  private:
    int saved_;
};

// Counts the allocations made on the thread that opened it, and only those, for its
// lifetime (an audio thread's callback, whatever other threads do meanwhile).
class ThreadWindow {
  public:
    ThreadWindow();
    ~ThreadWindow();
    ThreadWindow(const ThreadWindow&) = delete;
    ThreadWindow& operator=(const ThreadWindow&) = delete;
};
// Allocations made inside thread windows (of any thread) since the process started.
uint64_t ThreadWindowCount();

// True when this build runs under AddressSanitizer (leak checks can ask it).
bool UnderAddressSanitizer();
// Asks LeakSanitizer for a report now; true when it found leaks (false when unavailable).
bool LeakCheck();

}  // namespace kvhost::validate::alloc
