// Counting of heap allocations made while a counting window is open: what the validator
// uses to prove that process functions and event deliveries allocate nothing, and play's
// --check-rt to watch its audio thread. The counting itself lives in the counter library
// (counters.cpp), which replaces the allocation and lock functions of the process it is in;
// a program gets it linked in (tests) or preloaded on demand (Require), and without it every
// count here stays 0 and nothing is interposed.
#pragma once

#include <cstdint>
#include <string>

namespace kvhost::validate::alloc {

// Whether the counter library is in this process (linked in, or preloaded).
bool Present();
// The counter library beside this program: <dir>/KV_COUNTERS_DIR/<file> where the program
// lies in a build tree, <dir>/../KV_COUNTERS_DIR/<file> where it is installed in bin/.
// Empty when neither exists.
std::string LibraryPath();
// Makes the counters present. When they are not, runs this program again from its start
// (the same arguments and environment) with the library preloaded, and so returns only
// once they are; the preloading is then taken out of the environment again, so programs
// this one starts do not inherit it. Throws std::runtime_error naming the library when it
// cannot be found or loaded.
void Require();

// Kept for callers of the earlier interface: the counters install themselves on loading.
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

// Counts the allocations and lock acquisitions made on the thread that opened it, and only
// those, for its lifetime (an audio thread's callback, whatever other threads do meanwhile).
class ThreadWindow {
  public:
    ThreadWindow();
    ~ThreadWindow();
    ThreadWindow(const ThreadWindow&) = delete;
    ThreadWindow& operator=(const ThreadWindow&) = delete;
};
// Allocations and lock acquisitions (pthread mutexes and read-write locks) made inside
// thread windows (of any thread) since the process started.
uint64_t ThreadWindowCount();
uint64_t ThreadWindowLocks();

// True when this build runs under AddressSanitizer (leak checks can ask it).
bool UnderAddressSanitizer();
// Asks LeakSanitizer for a report now; true when it found leaks (false when unavailable).
bool LeakCheck();

}  // namespace kvhost::validate::alloc
