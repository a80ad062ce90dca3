// ZOR Basic Voice linked in with its shared bands: the listed waves' bands an instance gets
// equal a private build, every wave at every validator rate plays what an instance alone
// plays while many are open, and instances opened and destroyed on eight threads at once
// leave nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "BandTables.h"
#include "thread_rig.h"

namespace basic_voice {
namespace {

constexpr int32_t kBlock = 64;
enum Pin : int32_t { kPitch, kSync, kWave, kOnOff, kOutput };

// An instance opened at `rate` with `wave`, playing four blocks whose pitches walk through
// the bands; its samples in `out`. Wave 8 draws from the thread's generator set to 1.
std::unique_ptr<RawDriver> Play(float rate, int16_t wave, std::vector<float>& out) {
    SharedRandomState() = 1;
    auto d = std::make_unique<RawDriver>(&makeModule, rate, kBlock);
    d->SetChoice(kWave, wave);
    d->SetChoice(kOnOff, 1);
    d->Update(kWave);
    out.clear();
    for (int32_t b = 0; b < 4; ++b) {
        for (int32_t n = 0; n < kBlock; ++n) {
            d->Buffer(kPitch)[n] = 0.35f + 0.15f * static_cast<float>(b);
            d->Buffer(kSync)[n] = n == 40 ? -0.1f : 0.0f;
        }
        d->Process(0, kBlock);
        out.insert(out.end(), d->Buffer(kOutput), d->Buffer(kOutput) + kBlock);
    }
    return d;
}

TEST(BasicVoiceSharedTables, ListedWavesAnInstanceGetsEqualAPrivateBuild) {
    ListedWaveCache::Handle held = AcquireListedWaves();
    ASSERT_TRUE(held);
    static BaseWaves waves;
    uint32_t state = 1;
    BuildBaseWaves(waves, state);
    for (int32_t w = 0; w < kListedWaves; ++w) {
        static WaveBands own;
        BuildWaveBands(waves[w], own);
        EXPECT_EQ(std::memcmp(&own, &held.get()->wave[w], sizeof own), 0) << "wave " << w + 1;
    }
    EXPECT_EQ(SharedListedWaves().Users(0), 1);
}

TEST(BasicVoiceSharedTables, EveryWaveAndRateOpenTogetherPlaysWhatAnInstanceAlonePlays) {
    std::map<std::pair<float, int16_t>, std::vector<float>> alone;
    for (float rate : kValidatorRates) {
        for (int16_t wave = 1; wave <= 9; ++wave) Play(rate, wave, alone[{rate, wave}]);
    }
    EXPECT_EQ(SharedListedWaves().Entries(), 0);
    Instances open;
    std::vector<float> out;
    for (float rate : kValidatorRates) {
        for (int16_t wave = 1; wave <= 9; ++wave) {
            open.push_back(Play(rate, wave, out));
            EXPECT_EQ(out, (alone[{rate, wave}])) << rate << " wave " << wave;
        }
    }
    EXPECT_EQ(SharedListedWaves().Users(0), 72);
    open.clear();
    EXPECT_EQ(SharedListedWaves().Entries(), 0);
}

TEST(BasicVoiceSharedTables, InstancesOpenedAndDestroyedOnEightThreadsAtOnce) {
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
            EXPECT_EQ(SharedListedWaves().Users(0), kThreads * kPerThread) << "round " << round;
        });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(SharedListedWaves().Entries(), 0);
}

}  // namespace
}  // namespace basic_voice
