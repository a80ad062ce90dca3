// Replaces the global allocation functions of the benchmark binary. Each block carries a
// small header with its size and whether it was counted, so frees are counted too. The
// binary exports these definitions, so the deliverables it loads allocate through them.
#include "alloc_count.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

struct Header {
    std::size_t size;
    std::size_t counted;
};
static_assert(sizeof(Header) == 16, "header keeps 16-byte alignment");

bool g_counting = false;
kvbench::AllocTally g_tally;
std::size_t g_live = 0;
std::size_t g_total = 0;

void* Take(std::size_t size, std::size_t align) {
    if (align < sizeof(Header)) align = sizeof(Header);
    const std::size_t total = (size + align + align - 1) / align * align;
    void* base = std::aligned_alloc(align, total);
    if (base == nullptr) return nullptr;
    auto* user = static_cast<unsigned char*>(base) + align;
    auto* h = reinterpret_cast<Header*>(user - sizeof(Header));
    h->size = size;
    h->counted = g_counting ? 1 : 0;
    ++g_total;
    if (g_counting) {
        ++g_tally.allocations;
        g_tally.bytes += size;
        g_live += size;
        if (g_live > g_tally.peak_live) g_tally.peak_live = g_live;
    }
    return user;
}

void Give(void* p, std::size_t align) {
    if (p == nullptr) return;
    if (align < sizeof(Header)) align = sizeof(Header);
    auto* user = static_cast<unsigned char*>(p);
    auto* h = reinterpret_cast<Header*>(user - sizeof(Header));
    if (h->counted != 0 && g_counting) {
        g_tally.freed += h->size;
        g_live -= h->size;
    }
    std::free(user - align);
}

void* TakeOrThrow(std::size_t size, std::size_t align) {
    void* p = Take(size, align);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace kvbench {

void BeginCounting() {
    g_tally = AllocTally{};
    g_live = 0;
    g_counting = true;
}

void Counting(bool on) {
    g_counting = on;
}

AllocTally EndCounting() {
    g_counting = false;
    return g_tally;
}

std::size_t TotalAllocations() {
    return g_total;
}

}  // namespace kvbench

void* operator new(std::size_t n) {
    return TakeOrThrow(n, 16);
}
void* operator new[](std::size_t n) {
    return TakeOrThrow(n, 16);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Take(n, 16);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Take(n, 16);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return TakeOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return TakeOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Take(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Take(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept {
    Give(p, 16);
}
void operator delete[](void* p) noexcept {
    Give(p, 16);
}
void operator delete(void* p, std::size_t) noexcept {
    Give(p, 16);
}
void operator delete[](void* p, std::size_t) noexcept {
    Give(p, 16);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Give(p, 16);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Give(p, 16);
}
void operator delete(void* p, std::align_val_t a) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    Give(p, static_cast<std::size_t>(a));
}
