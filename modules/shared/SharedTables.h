// Read-only tables that every instance of a module in the process shares: built once for a
// key (a sample rate, a setting) by the first instance that opens with it, and freed when
// the last instance holding them is destroyed.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
// WebAssembly without threads (the web build): one thread, so nothing to exclude, and a lock
// that is trivially destructible, as the cache must be (that library's std::mutex is not).
struct SharedTablesLock {
    void lock() {}
    void unlock() {}
};
#else
using SharedTablesLock = std::mutex;
#endif

// One cache per kind of table, a constant-initialised object of static storage. Its lock
// is taken only by Acquire (at open) and by a handle's release (at close or a re-open),
// never while audio runs: an instance reads its tables through a plain pointer. Building
// happens under the lock, so a key is built once however many threads open with it at
// the same moment. An entry holds its key, its tables and the number of instances holding
// it; there is at most one entry per key and never more than `kSlots` entries. When every
// slot is taken by another key, an instance gets tables of its own instead (built the same
// way, freed with it). The cache is trivially destructible, so an instance that a host
// closes during the process's exit still finds it.
template <typename Key, typename Tables, int32_t kSlots = 16>
class SharedTables {
    static_assert(std::is_trivially_copyable_v<Key> && std::is_trivially_destructible_v<Key>);

  public:
    // An instance's hold on one set of tables; they stay while it lives. Empty when the
    // tables could not be allocated.
    class Handle {
      public:
        Handle() = default;
        Handle(Handle&& other) noexcept { Take(other); }
        Handle& operator=(Handle&& other) noexcept {
            if (this != &other) {
                Release();
                Take(other);
            }
            return *this;
        }
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle() { Release(); }

        const Tables* get() const { return m_tables; }
        explicit operator bool() const { return m_tables != nullptr; }

      private:
        friend class SharedTables;
        void Take(Handle& other) {
            m_cache = std::exchange(other.m_cache, nullptr);
            m_tables = std::exchange(other.m_tables, nullptr);
            m_slot = other.m_slot;
        }
        void Release() {
            if (m_tables == nullptr) return;
            if (m_slot < 0) {
                delete m_tables;  // tables of its own
            } else {
                m_cache->Release(m_slot);
            }
            m_tables = nullptr;
            m_cache = nullptr;
        }

        SharedTables* m_cache = nullptr;
        const Tables* m_tables = nullptr;
        int32_t m_slot = -1;  // the entry held; -1: tables of its own
    };

    constexpr SharedTables() = default;
    SharedTables(const SharedTables&) = delete;
    SharedTables& operator=(const SharedTables&) = delete;

    // The tables for `key`: found, or made by `build(Tables&)` when no instance holds them.
    // `build` fills every element it leaves to be read (the tables are not zeroed first).
    template <typename Build>
    Handle Acquire(const Key& key, Build&& build) noexcept {
        Handle handle;
        std::lock_guard<SharedTablesLock> lock(m_mutex);
        int32_t free_slot = -1;
        for (int32_t s = 0; s < kSlots; ++s) {
            Slot& slot = m_slots[s];
            if (slot.tables != nullptr && slot.key == key) {
                ++slot.users;
                handle.m_cache = this;
                handle.m_tables = slot.tables;
                handle.m_slot = s;
                return handle;
            }
            if (slot.tables == nullptr && free_slot < 0) free_slot = s;
        }
        Tables* tables = new (std::nothrow) Tables;
        if (tables == nullptr) return handle;
        build(*tables);
        handle.m_tables = tables;
        if (free_slot >= 0) {
            m_slots[free_slot] = Slot{key, tables, 1};
            handle.m_cache = this;
            handle.m_slot = free_slot;
        }
        return handle;
    }

    // What the tests look at: the instances holding `key`'s entry (0: no entry), and the
    // entries in the cache.
    int32_t Users(const Key& key) const {
        std::lock_guard<SharedTablesLock> lock(m_mutex);
        for (const Slot& slot : m_slots) {
            if (slot.tables != nullptr && slot.key == key) return slot.users;
        }
        return 0;
    }
    int32_t Entries() const {
        std::lock_guard<SharedTablesLock> lock(m_mutex);
        int32_t n = 0;
        for (const Slot& slot : m_slots) n += slot.tables != nullptr ? 1 : 0;
        return n;
    }

  private:
    struct Slot {
        Key key;
        Tables* tables;  // null: the slot is free
        int32_t users;   // instances holding the entry
    };

    // One holder fewer; the last one frees the entry (outside the lock).
    void Release(int32_t s) {
        Tables* doomed = nullptr;
        {
            std::lock_guard<SharedTablesLock> lock(m_mutex);
            Slot& slot = m_slots[s];
            if (--slot.users == 0) {
                doomed = slot.tables;
                slot = Slot{};
            }
        }
        delete doomed;
    }

    mutable SharedTablesLock m_mutex;
    Slot m_slots[kSlots] = {};
};
