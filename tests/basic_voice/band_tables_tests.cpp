// ZOR Basic Voice's wave material on its own: the base waves, the random wave's generator,
// the band build with its carried smoothing, and the band chosen by pitch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "BandTables.h"

namespace {

using namespace basic_voice;

TEST(BasicVoiceTables, BaseWavesHaveTheirShapesAndLevels) {
    static BaseWaves w;
    uint32_t state = 1;
    BuildBaseWaves(w, state);
    // Sine from -pi: first falling, -0.4 at a quarter, +0.4 at three quarters.
    EXPECT_LT(std::fabs(w[0][0]), 1e-7f);
    EXPECT_LT(w[0][1], 0.0f);
    EXPECT_NEAR(w[0][64], -0.4f, 1e-7f);
    EXPECT_NEAR(w[0][192], 0.4f, 1e-7f);
    EXPECT_EQ(w[1][0], 0.4f);  // Saw
    EXPECT_EQ(w[1][255], -0.396875f);
    EXPECT_EQ(w[2][0], -0.4f);  // Ramp
    EXPECT_EQ(w[2][255], 0.396875f);
    EXPECT_EQ(w[3][64], 0.5f);  // Triangle, not scaled
    EXPECT_EQ(w[3][192], -0.5f);
    EXPECT_EQ(w[3][255], -1.0f / 128.0f);
    EXPECT_EQ(w[3][100], 28.0f / 128.0f);
    const auto positives = [&](int32_t row) {
        return std::count(w[row], w[row] + kWaveLength, 0.4f);
    };
    EXPECT_EQ(positives(4), 129);  // Square
    EXPECT_EQ(positives(5), 65);   // Pulse 1
    EXPECT_EQ(positives(6), 26);   // Pulse 2
    EXPECT_EQ(std::count(w[4], w[4] + kWaveLength, -0.4f), 127);
    EXPECT_EQ(w[6][25], 0.4f);
    EXPECT_EQ(w[6][26], -0.4f);

    // Wave 8: (r mod 10) * 0.1 - 0.5 for r = 41, 18467, 6334, 26500 ... of the generator
    // started at 1.
    EXPECT_EQ(w[7][0], -0.4f);
    EXPECT_EQ(w[7][1], 0.2f);
    EXPECT_EQ(w[7][2], -0.1f);
    EXPECT_EQ(w[7][3], -0.5f);
    // The state runs on: a second build gets the sequence's next stretch.
    uint32_t replay = 1;
    for (int32_t i = 0; i < kWaveLength; ++i) NextRandom(replay);
    EXPECT_EQ(state, replay);
    static BaseWaves again;
    BuildBaseWaves(again, state);
    EXPECT_EQ(again[7][0], static_cast<float>((NextRandom(replay) % 10) * 0.1 - 0.5));
    EXPECT_FALSE(std::equal(w[7], w[7] + kWaveLength, again[7]));
}

TEST(BasicVoiceTables, SharedGeneratorStartsAtOneAndIsPerThread) {
    uint32_t& state = SharedRandomState();
    const uint32_t before = state;
    uint32_t other_thread = 0;
    std::thread([&] { other_thread = SharedRandomState(); }).join();
    EXPECT_EQ(other_thread, 1u);
    EXPECT_EQ(&state, &SharedRandomState());
    EXPECT_EQ(state, before);
}

struct Bands {
    std::vector<float> bands = std::vector<float>(kBandStore, 0.0f);
    std::vector<float> diffs = std::vector<float>(kBandStore, 0.0f);
};

Bands Build(int32_t wave) {
    static BaseWaves w;
    uint32_t state = 1;
    BuildBaseWaves(w, state);
    Bands b;
    BuildBands(w[wave - 1], b.bands.data(), b.diffs.data());
    return b;
}

TEST(BasicVoiceTables, BoxAverageCentresItsWindowHalfASampleEarlyAndWraps) {
    // A single impulse at sample 0: band k, element j holds 0.5 / a_k exactly when the
    // window j - a_k .. j + a_k - 1 covers sample 0 or its wrapped copy 256.
    const int32_t half[kBands] = {1, 3, 5, 7, 9, 19, 29, 39, 49, 59};
    std::vector<float> impulse(kWaveLength, 0.0f);
    impulse[0] = 1.0f;
    std::vector<float> bands(kBandStore, -1.0f);
    BoxAverage(impulse.data(), bands.data());
    for (int32_t k = 0; k < kBands; ++k) {
        const int32_t a = half[k];
        const float level = static_cast<float>(1.0 / a * 0.5);
        for (int32_t j = 0; j < kWaveLength; ++j) {
            const bool covered = j <= a || j >= kWaveLength + 1 - a;
            ASSERT_EQ(bands[k * kWaveLength + j], covered ? level : 0.0f) << k << " " << j;
        }
    }
    // Band 9's 257th value (j = 256, the wrapped sample 0 again) is the one kept beyond.
    EXPECT_EQ(bands[kBandStore - 1], static_cast<float>(1.0 / 59 * 0.5));

    // A wave too fine for the exact window sums still averages (summed in double).
    std::vector<float> fine(kWaveLength, 1e-30f);
    fine[3] = 1.0f;
    BoxAverage(fine.data(), bands.data());
    EXPECT_EQ(bands[3], static_cast<float>((1.0 + 1e-30f) * 0.5));
    EXPECT_EQ(bands[kWaveLength + 100], static_cast<float>(6 * double{1e-30f} / 3 * 0.5));
}

TEST(BasicVoiceTables, BandsAreSmoothedCopiesWithCarriedStateAndBackwardDifferences) {
    for (int32_t wave = 1; wave <= 8; ++wave) {
        const Bands b = Build(wave);
        EXPECT_EQ(b.diffs[0], 0.0f) << "element 0 is never written";
        for (int32_t i = 1; i < kBandStore; ++i) {
            ASSERT_TRUE(std::isfinite(b.bands[i]));
            // Each difference is the slope back to the element stored one step earlier; a
            // band's first element was overwritten by its own pass after the previous band's
            // pass stored that slope.
            if (i % kWaveLength == 0) continue;
            ASSERT_NEAR(b.diffs[i], b.bands[i] - b.bands[i - 1], 1e-7f) << wave << " " << i;
        }
        const float peak = *std::max_element(b.bands.begin(), b.bands.end(), [](float x, float y) {
            return std::fabs(x) < std::fabs(y);
        });
        EXPECT_LT(std::fabs(peak), wave == 4 ? 0.51f : 0.49f) << wave;
    }
    // The filter state starts at zero once and then runs on from band to band: a constant
    // wave rises at the start of band 0 only, and every later band starts settled.
    std::vector<float> level(kWaveLength, 0.3f);
    Bands flat;
    BuildBands(level.data(), flat.bands.data(), flat.diffs.data());
    EXPECT_LT(flat.bands[0], 0.25f);
    for (int32_t i = kWaveLength; i < kBandStore; ++i) {
        ASSERT_NEAR(flat.bands[i], 0.3f, 1e-4f) << i;
    }
    const Bands square = Build(5);
    // Higher bands are smoother: the steepest step of the square shrinks.
    const auto steepest = [&](int32_t k) {
        float m = 0.0f;
        for (int32_t i = 1; i < kWaveLength; ++i)
            m = std::max(m, std::fabs(square.diffs[k * 256 + i]));
        return m;
    };
    EXPECT_GT(steepest(0), 0.3f);
    EXPECT_LT(steepest(9), 0.05f);
    for (int32_t k = 1; k < kBands; ++k) EXPECT_LE(steepest(k), steepest(k - 1) * 1.01f) << k;
    // Only the last band writes one element beyond itself.
    EXPECT_NE(square.bands[kBandStore - 1], 0.0f);
}

TEST(BasicVoiceTables, BandFollowsPitchInHalfVoltSteps) {
    EXPECT_EQ(BandForPitch(0.3999f), 0);
    EXPECT_EQ(BandForPitch(0.4f), 1);
    EXPECT_EQ(BandForPitch(0.45f), 2);  // compared in single precision
    EXPECT_EQ(BandForPitch(0.4999f), 2);
    EXPECT_EQ(BandForPitch(0.5f), 3);
    EXPECT_EQ(BandForPitch(0.7999f), 8);
    EXPECT_EQ(BandForPitch(0.8f), 9);
    EXPECT_EQ(BandForPitch(0.95f), 9);
    EXPECT_EQ(BandForPitch(-1.0f), 0);
    EXPECT_EQ(BandForPitch(std::numeric_limits<float>::infinity()), 9);
    EXPECT_EQ(BandForPitch(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(BandForPitch(std::numeric_limits<float>::denorm_min()), 0);
}

}  // namespace
