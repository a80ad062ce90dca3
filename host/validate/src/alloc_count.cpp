// Allocation counting for the validator. Under AddressSanitizer the sanitizer's own
// allocation hooks report every block; in other builds this file replaces malloc and its
// relatives with thin wrappers around the C library's allocator, so that every allocation
// of the process (operator new included, which allocates through malloc) passes a counter.
// The wrappers live in the same object as the counter API so that linking the API links
// them too; executables using this export them (see the kvvalidate target) so that
// plug-ins loaded later bind to them.
#include "alloc_count.h"

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

namespace kvhost::validate::alloc {
namespace {

std::atomic<int> g_window{0};  // >0: counting
std::atomic<uint64_t> g_window_count{0};
std::atomic<int64_t> g_allocated{0};
std::atomic<int64_t> g_released{0};
std::atomic<int64_t> g_live_bytes{0};
std::atomic<uint64_t> g_thread_window_count{0};
thread_local int t_window = 0;  // >0: this thread counts into g_thread_window_count

inline void Allocated(std::size_t bytes) {
    g_allocated.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
    if (g_window.load(std::memory_order_relaxed) > 0) {
        g_window_count.fetch_add(1, std::memory_order_relaxed);
    }
    if (t_window > 0) g_thread_window_count.fetch_add(1, std::memory_order_relaxed);
}
inline void Released(std::size_t bytes) {
    g_released.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed);
}

#ifdef KV_VALIDATE_ASAN
void MallocHook(const volatile void*, size_t size) {
    Allocated(size);
}
void FreeHook(const volatile void* p) {
    if (p != nullptr) Released(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
}
#endif

}  // namespace

void Install() {
#ifdef KV_VALIDATE_ASAN
    static const bool installed = [] {
        __sanitizer_install_malloc_and_free_hooks(&MallocHook, &FreeHook);
        return true;
    }();
    (void)installed;
#endif
}

uint64_t WindowCount() {
    return g_window_count.load();
}
void ResetWindowCount() {
    g_window_count.store(0);
}
int64_t LiveBlocks() {
    return g_allocated.load() - g_released.load();
}
int64_t LiveBytes() {
    return g_live_bytes.load();
}

Window::Window() {
    g_window.fetch_add(1);
}
Window::~Window() {
    g_window.fetch_sub(1);
}
Pause::Pause() : saved_(g_window.exchange(0)) {}
Pause::~Pause() {
    g_window.store(saved_);
}

ThreadWindow::ThreadWindow() {
    ++t_window;
}
ThreadWindow::~ThreadWindow() {
    --t_window;
}
uint64_t ThreadWindowCount() {
    return g_thread_window_count.load();
}

bool UnderAddressSanitizer() {
#ifdef KV_VALIDATE_ASAN
    return true;
#else
    return false;
#endif
}

bool LeakCheck() {
#ifdef KV_VALIDATE_ASAN
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

}  // namespace kvhost::validate::alloc

#ifndef KV_VALIDATE_ASAN
// ---- Counting wrappers around the C library's allocator ------------------------------
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);

using kvhost::validate::alloc::Allocated;
using kvhost::validate::alloc::Released;

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
