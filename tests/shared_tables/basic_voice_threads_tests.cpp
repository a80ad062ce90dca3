// ZOR Basic Voice linked in with its shared bands: the listed waves' bands an instance gets
// equal a private build, every wave at every validator rate plays what an instance alone
// plays while many are open, and instances opened and destroyed on eight threads at once
// leave nothing behind.
#include <gtest/gtest.h>

#include <memory>
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
        const WaveLines& shared = held.get()->wave[w];
        for (int32_t i = 0; i < kBandStore; ++i) {
            ASSERT_EQ(shared.band[i], own.band[i]) << "wave " << w + 1 << " element " << i;
            ASSERT_EQ(shared.diff[i], own.diff[i]) << "wave " << w + 1 << " element " << i;
        }
    }
    EXPECT_EQ(SharedListedWaves().Users(0), 1);
}

TEST(BasicVoiceSharedTables, EveryWaveAndRateOpenTogetherPlaysWhatAnInstanceAlonePlays) {
    Instances open = PlayAloneThenTogether(Play, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(SharedListedWaves().Users(0), 72);
    open.clear();
    EXPECT_EQ(SharedListedWaves().Entries(), 0);
}

TEST(BasicVoiceSharedTables, InstancesOpenedAndDestroyedOnEightThreadsAtOnce) {
    PlayOnThreads(Play, {1, 2, 3, 4, 5, 6, 7, 8}, [](int32_t round) {
        EXPECT_EQ(SharedListedWaves().Users(0), kThreads * kPerThread) << "round " << round;
    });
    EXPECT_EQ(SharedListedWaves().Entries(), 0);
}

}  // namespace
}  // namespace basic_voice
