// ZOR Warpwave linked in with its shared warped shapes: the shapes an instance gets equal a
// private build at every a, every wave at every validator rate plays what an instance alone
// plays while many are open, and instances opened and destroyed on eight threads at once
// leave nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
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
    std::map<std::pair<float, int16_t>, std::vector<float>> alone;
    for (float rate : kValidatorRates) {
        for (int16_t wave = 1; wave <= 9; ++wave) Play(rate, wave, alone[{rate, wave}]);
    }
    EXPECT_EQ(SharedWarpedShapes().Entries(), 0);
    Instances open;
    std::vector<float> out;
    for (float rate : kValidatorRates) {
        for (int16_t wave = 1; wave <= 9; ++wave) {
            open.push_back(Play(rate, wave, out));
            EXPECT_EQ(out, (alone[{rate, wave}])) << rate << " wave " << wave;
        }
    }
    EXPECT_EQ(SharedWarpedShapes().Users(0), 72);
    open.clear();
    EXPECT_EQ(SharedWarpedShapes().Entries(), 0);
}

TEST(WarpwaveSharedTables, InstancesOpenedAndDestroyedOnEightThreadsAtOnce) {
    constexpr float kRates[] = {44100.0f, 48000.0f, 96000.0f};
    constexpr int32_t kPerThread = 3;
    std::map<std::pair<float, int16_t>, std::vector<float>> expected;
    for (float rate : kRates) {
        for (int16_t wave = 1; wave <= 8; ++wave) Play(rate, wave, expected[{rate, wave}]);
    }
    std::atomic<int32_t> wrong{0};
    OpenAndDestroyOnThreads(
        12,
        [&](int32_t t, int32_t round) {
            Instances held;
            std::vector<float> out;
            for (int32_t k = 0; k < kPerThread; ++k) {
                const float rate = kRates[(t + round + k) % 3];
                const auto wave = static_cast<int16_t>(1 + (t * 3 + round + k) % 8);
                held.push_back(Play(rate, wave, out));
                if (out != expected[{rate, wave}]) ++wrong;
            }
            return held;
        },
        [&](int32_t round) {
            EXPECT_EQ(SharedWarpedShapes().Users(0), kThreads * kPerThread) << "round " << round;
        });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(SharedWarpedShapes().Entries(), 0);
}

}  // namespace
}  // namespace warpwave
