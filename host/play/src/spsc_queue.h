// Lock-free single-producer, single-consumer queue of fixed capacity: how values, commands and
// recorded frames cross between the audio thread and the others. Nothing here allocates,
// locks, waits or calls the system once constructed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace kvhost::play {

template <class T>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>, "items are copied without constructors");

  public:
    // Room for at least `capacity` items (rounded up to a power of two).
    explicit SpscQueue(std::size_t capacity) {
        std::size_t size = 2;
        while (size < capacity) size *= 2;
        slots_ = std::make_unique<T[]>(size);
        mask_ = size - 1;
    }
    SpscQueue(const SpscQueue&) = delete;
    SpscQueue& operator=(const SpscQueue&) = delete;

    std::size_t Capacity() const { return mask_ + 1; }
    // Either side: items waiting (exact for the consumer, a lower bound of the room for the
    // producer).
    std::size_t Size() const {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }

    // Producer: false (and nothing stored) when the queue is full.
    bool Push(const T& item) { return Write(&item, 1) == 1; }
    // Producer: stores as many of the `count` items as fit, in order; returns how many.
    std::size_t Write(const T* items, std::size_t count) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t head = head_.load(std::memory_order_acquire);
        const std::size_t n = std::min(count, Capacity() - (tail - head));
        const std::size_t at = tail & mask_, first = std::min(n, Capacity() - at);
        // Up to the end of the slots, then from their start.
        if (first > 0) std::memcpy(slots_.get() + at, items, first * sizeof(T));
        if (n > first) std::memcpy(slots_.get(), items + first, (n - first) * sizeof(T));
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }
    // Consumer: false when the queue is empty.
    bool Pop(T& item) { return Read(&item, 1) == 1; }
    // Consumer: takes up to `count` items, oldest first; returns how many.
    std::size_t Read(T* items, std::size_t count) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        const std::size_t n = std::min(count, tail - head);
        const std::size_t at = head & mask_, first = std::min(n, Capacity() - at);
        if (first > 0) std::memcpy(items, slots_.get() + at, first * sizeof(T));
        if (n > first) std::memcpy(items + first, slots_.get(), (n - first) * sizeof(T));
        head_.store(head + n, std::memory_order_release);
        return n;
    }

  private:
    std::unique_ptr<T[]> slots_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<std::size_t> head_{0};  // next item to read; the consumer's
    alignas(64) std::atomic<std::size_t> tail_{0};  // next slot to write; the producer's
};

}  // namespace kvhost::play
