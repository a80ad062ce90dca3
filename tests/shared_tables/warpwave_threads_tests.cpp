// ZOR Warpwave linked in with its shared warped shapes: the shapes an instance gets equal a
// private build at every a, every wave at every validator rate plays what an instance alone
// plays while many are open, and instances opened and destroyed on eight threads at once
// leave nothing behind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "WaveTables.h"
#include "thread_rig.h"

namespace warpwave {
namespace {

constexpr int32_t kBlock = 64;
enum Pin : int32_t { kOnOff, kWave, kPitch, kSync, kDepth, kOutput };

// An instance opened at `rate` with `wave`, playing eight blocks, each at a new depth that
// walks from below 0 to above 1; its samples in `out`.
std::unique_ptr<RawDriver> Play(float rate, int16_t wave, std::vector<float>& out) {
    auto d = std::make_unique<RawDriver>(&makeModule, rate, kBlock);
    d->SetChoice(kOnOff, 1);
    d->SetChoice(kWave, wave);
    d->Update(kOnOff);
    out.clear();
    for (int32_t b = 0; b < 8; ++b) {
        for (int32_t n = 0; n < kBlock; ++n) {
            d->Buffer(kPitch)[n] = 0.55f;
            d->Buffer(kSync)[n] = n == 50 ? -0.1f : 0.0f;
            d->Buffer(kDepth)[n] = -0.1f + 0.17f * static_cast<float>(b);
        }
        d->Process(0, kBlock);
        out.insert(out.end(), d->Buffer(kOutput), d->Buffer(kOutput) + kBlock);
    }
    return d;
}

TEST(WarpwaveSharedTables, ShapesAnInstanceGetsEqualAPrivateBuildAtEveryDepth) {
    WarpedShapeCache::Handle held = AcquireWarpedShapes();
    ASSERT_TRUE(held);
    Scratch scratch;
    float table[kTableStore];
    TableLines own;
    for (int32_t wave = 1; wave <= kWarpedWaves; ++wave) {
        for (int32_t step = 0; step <= 1000; ++step) {
            const float m = static_cast<float>(step) / 1000.0f;
            ASSERT_TRUE(BuildTable(wave, m, scratch, table));
            FormLines(table, own);
            const TableLines& shared = held.get()->shape[wave - 1][WarpFor(m).a];
            ASSERT_EQ(std::memcmp(&own, &shared, sizeof own), 0) << "wave " << wave << " m " << m;
        }
    }
}

TEST(WarpwaveSharedTables, EveryWaveAndRateOpenTogetherPlaysWhatAnInstanceAlonePlays) {
    Instances open = PlayAloneThenTogether(Play, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(SharedWarpedShapes().Users(0), 72);
    open.clear();
    EXPECT_EQ(SharedWarpedShapes().Entries(), 0);
}

TEST(WarpwaveSharedTables, InstancesOpenedAndDestroyedOnEightThreadsAtOnce) {
    PlayOnThreads(Play, {1, 2, 3, 4, 5, 6, 7, 8}, [](int32_t round) {
        EXPECT_EQ(SharedWarpedShapes().Users(0), kThreads * kPerThread) << "round " << round;
    });
    EXPECT_EQ(SharedWarpedShapes().Entries(), 0);
}

}  // namespace
}  // namespace warpwave
