// The shared-table cache on its own: one build per key while it is held, entries freed
// with their last holder, tables of its own for an instance when every slot is taken, and
// many threads acquiring and releasing at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "../../modules/shared/SharedTables.h"

namespace {

// Tables that count their builds and the objects alive.
std::atomic<int32_t> g_builds{0};
std::atomic<int32_t> g_alive{0};

struct Tables {
    Tables() { ++g_alive; }
    ~Tables() { --g_alive; }
    int32_t key;
    int32_t values[64];
};

auto BuildFor(int32_t key) {
    return [key](Tables& t) {
        ++g_builds;
        t.key = key;
        for (int32_t i = 0; i < 64; ++i) t.values[i] = key * 1000 + i;
    };
}

bool Holds(const Tables* t, int32_t key) {
    if (t == nullptr || t->key != key) return false;
    for (int32_t i = 0; i < 64; ++i) {
        if (t->values[i] != key * 1000 + i) return false;
    }
    return true;
}

using Cache = SharedTables<int32_t, Tables, 4>;

TEST(SharedTables, OneBuildPerKeyWhileHeldAndFreedWithTheLastHolder) {
    static Cache cache;
    g_builds = 0;
    {
        Cache::Handle a = cache.Acquire(44100, BuildFor(44100));
        Cache::Handle b = cache.Acquire(44100, BuildFor(44100));
        Cache::Handle c = cache.Acquire(48000, BuildFor(48000));
        EXPECT_EQ(g_builds, 2);
        EXPECT_EQ(a.get(), b.get());
        EXPECT_TRUE(Holds(a.get(), 44100));
        EXPECT_TRUE(Holds(c.get(), 48000));
        EXPECT_EQ(cache.Users(44100), 2);
        EXPECT_EQ(cache.Users(48000), 1);
        EXPECT_EQ(cache.Entries(), 2);

        // A moved handle carries the hold; an emptied one releases nothing.
        Cache::Handle moved = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_EQ(cache.Users(44100), 2);
        // Assigning over a handle releases what it held first.
        b = cache.Acquire(48000, BuildFor(48000));
        EXPECT_EQ(cache.Users(44100), 1);
        EXPECT_EQ(cache.Users(48000), 2);
        // Re-acquiring the key a handle already holds never drops the entry in between.
        moved = cache.Acquire(44100, BuildFor(44100));
        EXPECT_EQ(cache.Users(44100), 1);
        EXPECT_EQ(g_builds, 2);
    }
    EXPECT_EQ(cache.Entries(), 0);
    EXPECT_EQ(g_alive, 0);
    // A key held by nobody is built afresh.
    Cache::Handle again = cache.Acquire(44100, BuildFor(44100));
    EXPECT_EQ(g_builds, 3);
    EXPECT_TRUE(Holds(again.get(), 44100));
}

TEST(SharedTables, EveryDistinctKeyBeyondTheSlotsGetsTablesOfItsOwn) {
    static Cache cache;
    std::vector<Cache::Handle> held;
    for (int32_t key = 1; key <= 6; ++key) held.push_back(cache.Acquire(key, BuildFor(key)));
    EXPECT_EQ(cache.Entries(), 4);
    for (int32_t key = 1; key <= 6; ++key) {
        EXPECT_TRUE(Holds(held[static_cast<std::size_t>(key - 1)].get(), key)) << key;
        EXPECT_EQ(cache.Users(key), key <= 4 ? 1 : 0) << key;
    }
    EXPECT_EQ(g_alive, 6);
    // A shared key is still found while the others hold tables of their own.
    Cache::Handle more = cache.Acquire(2, BuildFor(2));
    EXPECT_EQ(more.get(), held[1].get());
    held.clear();
    more = Cache::Handle();
    EXPECT_EQ(cache.Entries(), 0);
    EXPECT_EQ(g_alive, 0);
}

TEST(SharedTables, ManyThreadsAcquireAndReleaseAtOnce) {
    static Cache cache;
    constexpr int32_t kThreads = 8, kRounds = 2000;
    std::atomic<int32_t> wrong{0};
    std::vector<std::thread> threads;
    for (int32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<Cache::Handle> held;
            for (int32_t r = 0; r < kRounds; ++r) {
                // Five keys for four slots: some instances hold tables of their own.
                const int32_t key = (t + r) % 5;
                held.push_back(cache.Acquire(key, BuildFor(key)));
                if (!Holds(held.back().get(), key)) ++wrong;
                if (held.size() > static_cast<std::size_t>(r % 4)) held.erase(held.begin());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(cache.Entries(), 0);
    for (int32_t key = 0; key < 5; ++key) EXPECT_EQ(cache.Users(key), 0);
    EXPECT_EQ(g_alive, 0);
}

}  // namespace
