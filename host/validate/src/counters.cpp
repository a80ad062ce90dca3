// The counter library: allocation and lock counting, reached through its table
// (counters_table.h). Under AddressSanitizer the sanitizer's own allocation hooks report every
// block; in other builds this file replaces malloc and its relatives with thin wrappers around
// the C library's allocator, so that every allocation of the process (operator new included,
// which allocates through malloc) passes a counter. It is built as a shared library that
// `kvhost` preloads only when asked to count (play --check-rt, validate, info), and that
// tests link directly; lock_count.cpp adds the lock entries to it.
#include "counters.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define KV_VALIDATE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_VALIDATE_ASAN 1
#endif
#endif

#ifdef KV_VALIDATE_ASAN
// Declared here: g++ ships no header for the allocation hooks its runtime exports.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
int __lsan_do_recoverable_leak_check(void);
size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#endif

namespace kvhost::counters {
namespace {

std::atomic<int> g_window{0};  // >0: counting
std::atomic<uint64_t> g_window_count{0};
std::atomic<int64_t> g_allocated{0};
std::atomic<int64_t> g_released{0};
std::atomic<int64_t> g_live_bytes{0};
std::atomic<uint64_t> g_thread_allocations{0};
std::atomic<uint64_t> g_thread_locks{0};
// >0: this thread counts into g_thread_*. The library is only ever loaded at start-up
// (preloaded or linked), so its thread-local data lies in the static block: no lookup, and
// no allocation inside malloc.
__attribute__((tls_model("initial-exec"))) thread_local int t_window = 0;

}  // namespace

void Allocated(std::size_t bytes) {
    g_allocated.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
    if (g_window.load(std::memory_order_relaxed) > 0) {
        g_window_count.fetch_add(1, std::memory_order_relaxed);
    }
    if (t_window > 0) g_thread_allocations.fetch_add(1, std::memory_order_relaxed);
}
void Released(std::size_t bytes) {
    g_released.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed);
}
void Locked() {
    if (t_window > 0) g_thread_locks.fetch_add(1, std::memory_order_relaxed);
}

namespace {

#ifdef KV_VALIDATE_ASAN
void MallocHook(const volatile void*, size_t size) {
    Allocated(size);
}
void FreeHook(const volatile void* p) {
    if (p != nullptr) Released(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
}
// The hooks go in as the library is loaded, before anything it should count.
__attribute__((constructor)) void InstallHooks() {
    __sanitizer_install_malloc_and_free_hooks(&MallocHook, &FreeHook);
}
#endif

int LeakCheck() {
#ifdef KV_VALIDATE_ASAN
    return __lsan_do_recoverable_leak_check() != 0 ? 1 : 0;
#else
    return 0;
#endif
}

constexpr KvCountersTable kTable = {
    [] { g_window.fetch_add(1); },
    [] { g_window.fetch_sub(1); },
    [] { return g_window.exchange(0); },
    [](int saved) { g_window.store(saved); },
    [] { return g_window_count.load(); },
    [] { g_window_count.store(0); },
    [] { return g_allocated.load() - g_released.load(); },
    [] { return g_live_bytes.load(); },
    [] { ++t_window; },
    [] { --t_window; },
    [] { return g_thread_allocations.load(); },
    [] { return g_thread_locks.load(); },
#ifdef KV_VALIDATE_ASAN
    1,
#else
    0,
#endif
    &LeakCheck,
};

}  // namespace
}  // namespace kvhost::counters

extern "C" __attribute__((visibility("default"))) const KvCountersTable* kv_counters_table(void) {
    return &kvhost::counters::kTable;
}

#ifndef KV_VALIDATE_ASAN
// ---- Counting wrappers around the C library's allocator ------------------------------
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);

using kvhost::counters::Allocated;
using kvhost::counters::Released;

__attribute__((visibility("default"))) void* malloc(size_t size) noexcept {
    void* p = __libc_malloc(size);
    if (p != nullptr) Allocated(malloc_usable_size(p));
    return p;
}
__attribute__((visibility("default"))) void* calloc(size_t n, size_t size) noexcept {
    void* p = __libc_calloc(n, size);
    if (p != nullptr) Allocated(malloc_usable_size(p));
    return p;
}
__attribute__((visibility("default"))) void* realloc(void* old, size_t size) noexcept {
    const std::size_t old_bytes = old != nullptr ? malloc_usable_size(old) : 0;
    void* p = __libc_realloc(old, size);
    if (old == nullptr) {
        if (p != nullptr) Allocated(malloc_usable_size(p));
    } else if (size == 0) {
        Released(old_bytes);
    } else if (p != nullptr) {
        Released(old_bytes);  // a reallocation counts as one release and one allocation
        Allocated(malloc_usable_size(p));
    }
    return p;
}
__attribute__((visibility("default"))) void free(void* p) noexcept {
    if (p != nullptr) Released(malloc_usable_size(p));
    __libc_free(p);
}
__attribute__((visibility("default"))) void* memalign(size_t alignment, size_t size) noexcept {
    void* p = __libc_memalign(alignment, size);
    if (p != nullptr) Allocated(malloc_usable_size(p));
    return p;
}
__attribute__((visibility("default"))) void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return memalign(alignment, size);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t alignment,
                                                          size_t size) noexcept {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    void* p = memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}  // extern "C"
#endif
