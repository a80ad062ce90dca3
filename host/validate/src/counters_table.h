// The counter library's one entry point: a table of what it counts (allocations in windows,
// live blocks and bytes, allocations and lock acquisitions on a watched thread). The library
// (counters.cpp) is loaded into a process or linked into it; its users reach it only through
// this table (alloc_count.cpp finds it), so a program that has not loaded it pays nothing.
#pragma once

#include <cstdint>

extern "C" {

struct KvCountersTable {
    // Allocations made while any window is open (every thread).
    void (*window_open)();
    void (*window_close)();
    int (*pause)();  // suspends every open window; answers what resume restores
    void (*resume)(int saved);
    uint64_t (*window_count)();
    void (*reset_window_count)();
    int64_t (*live_blocks)();  // allocated minus released since the process started
    int64_t (*live_bytes)();
    // A thread window counts the allocations and lock acquisitions of the thread that
    // opened it, and only those.
    void (*thread_window_open)();
    void (*thread_window_close)();
    uint64_t (*thread_window_allocations)();
    uint64_t (*thread_window_locks)();
    int under_address_sanitizer;
    int (*leak_check)();  // a leak report now; 1 when it found leaks
};

// Defined by the counter library (default visibility, so a preloaded copy is found by name).
const KvCountersTable* kv_counters_table(void);

}  // extern "C"
