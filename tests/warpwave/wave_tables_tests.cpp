// The phase-distortion table builder on its own: derived segment lengths, the parabolic
// sine, the eight shapes at the depth extremes, the resonance restart and the guard entries.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "WaveTables.h"

namespace {

using namespace warpwave;

using Table = std::array<float, kTableStore>;

Table Build(int32_t wave, float m) {
    Scratch scratch{};
    Table t{};
    EXPECT_TRUE(BuildTable(wave, m, scratch, t.data())) << "wave " << wave;
    return t;
}

TEST(WarpwaveTables, DerivedQuantitiesFollowTheDepth) {
    const struct {
        float m;
        int32_t a, i, n;
    } cases[] = {{0.0f, 0, 32, 64}, {0.25f, 7, 25, 78}, {0.5f, 14, 18, 92}, {1.0f, 29, 3, 122}};
    for (const auto& c : cases) {
        const Warp w = WarpFor(c.m);
        EXPECT_EQ(w.a, c.a) << c.m;
        EXPECT_EQ(w.i, c.i) << c.m;
        EXPECT_EQ(w.n, c.n) << c.m;
        EXPECT_EQ(w.s, static_cast<float>(1.5707964f / static_cast<double>(c.i)));
        EXPECT_EQ(w.s2, static_cast<float>(3.1415927f / static_cast<double>(c.n)));
    }
    // 0.5 * 29.44 = 14.72 truncates to 14; the segments always fill the table exactly.
    for (int32_t k = 0; k <= 1000; ++k) {
        const Warp w = WarpFor(static_cast<float>(k) / 1000.0f);
        ASSERT_GE(w.a, 0);
        ASSERT_LE(w.a, 29);
        EXPECT_EQ(w.i + w.n + w.i, 128);
        EXPECT_EQ(4 * w.i + 4 * w.a, 128);
    }
    // Depths the oscillator never passes are still kept inside the table's arithmetic.
    EXPECT_EQ(WarpFor(std::numeric_limits<float>::quiet_NaN()).a, 0);
    EXPECT_EQ(WarpFor(-3.0f).a, 0);
    EXPECT_EQ(WarpFor(1e30f).a, 29);
}

TEST(WarpwaveTables, ParabolicSineIsExactAtQuarterCyclesAndContinuesPastTheCycle) {
    EXPECT_EQ(ParabolicSine(0.0), 0.0f);
    EXPECT_EQ(ParabolicSine(kHalfPi), 1.0f);
    EXPECT_EQ(ParabolicSine(kPi), 0.0f);
    EXPECT_EQ(ParabolicSine(kThreeHalfPi), -1.0f);
    EXPECT_EQ(ParabolicSine(kTwoPi), 0.0f);
    for (int32_t k = 0; k <= 200; ++k) {
        const double e = kTwoPi * k / 200.0;
        const double u = e / kPi;
        const double expected = u <= 1.0 ? 4 * u * (1 - u) : -4 * (u - 1) * (2 - u);
        EXPECT_NEAR(ParabolicSine(e), expected, 2e-6) << e;
    }
    // Slightly past 2*pi the last branch continues its parabola: small positive values.
    const float past = ParabolicSine(kTwoPi + 0.1);
    EXPECT_GT(past, 0.0f);
    EXPECT_LT(past, 0.15f);
}

TEST(WarpwaveTables, AtDepthZeroTheWarpedShapesAreTheNegatedParabolicSine) {
    const Table saw = Build(1, 0.0f);
    EXPECT_EQ(saw[0], 0.0f);
    EXPECT_EQ(saw[32], -1.0f);
    EXPECT_EQ(saw[64], 0.0f);
    EXPECT_EQ(saw[96], 1.0f);
    EXPECT_LT(saw[1], 0.0f);  // first falling, then rising
    EXPECT_GT(saw[33], saw[32]);
    EXPECT_EQ(Build(2, 0.0f), saw);  // Square
    EXPECT_EQ(Build(3, 0.0f), saw);  // Square-Saw
    EXPECT_EQ(Build(5, 0.0f), saw);  // Reso1: m * R vanishes

    const Table reso4 = Build(8, 0.0f);  // the plain parabolic sine
    for (int32_t k = 0; k < kTableSize; ++k) EXPECT_EQ(reso4[k], -saw[k]) << k;

    const Table dbl = Build(4, 0.0f);  // the octave-up sine alone
    for (int32_t k = 0; k < 64; ++k) EXPECT_EQ(dbl[k], dbl[k + 64]) << k;
    EXPECT_EQ(dbl[16], 1.0f);
    EXPECT_EQ(dbl[48], -1.0f);

    // Reso2 and Reso3 still add |T| * R with R[k] = S(2*pi*k/128) * (1 - k/128).
    const Table reso2 = Build(6, 0.0f);
    EXPECT_EQ(Build(7, 0.0f), reso2);
    EXPECT_EQ(reso2[0], 0.0f);
    EXPECT_EQ(reso2[32], -0.25f);  // -1 + 1 * (1 * 0.75)
    EXPECT_EQ(reso2[64], 0.0f);
    EXPECT_EQ(reso2[96], 0.75f);  // 1 + 1 * (-1 * 0.25)
}

TEST(WarpwaveTables, AtFullDepthSawAndSquareReachTheirExtremesWithinThreeEntries) {
    const Table saw = Build(1, 1.0f);
    EXPECT_EQ(saw[0], 0.0f);
    EXPECT_EQ(saw[3], -1.0f);
    EXPECT_EQ(saw[125], 1.0f);
    for (int32_t k = 0; k < 3; ++k) EXPECT_GT(saw[k], saw[k + 1]) << k;
    for (int32_t k = 3; k < 125; ++k) EXPECT_LT(saw[k], saw[k + 1]) << k;  // the slow rise
    for (int32_t k = 125; k < 127; ++k) EXPECT_GT(saw[k], saw[k + 1]) << k;
    EXPECT_LT(std::fabs(saw[64]), 1e-6f);  // the zero crossing stays on entry 64

    const Table square = Build(2, 1.0f);
    for (int32_t k = 3; k <= 60; ++k) EXPECT_EQ(square[k], -1.0f) << k;
    for (int32_t k = 67; k <= 124; ++k) EXPECT_EQ(square[k], 1.0f) << k;
    EXPECT_EQ(square[0], 0.0f);
    EXPECT_EQ(square[64], 0.0f);
    EXPECT_GT(square[62], -1.0f);  // entry 61 starts the rise at -1
    EXPECT_LT(square[66], 1.0f);

    // Square-Saw: the Saw's first half, the Square's second half, at any depth.
    for (float m : {0.5f, 1.0f}) {
        const Table mixed = Build(3, m);
        const Table s = Build(1, m);
        const Table q = Build(2, m);
        for (int32_t k = 0; k < 64; ++k) EXPECT_EQ(mixed[k], s[k]) << k;
        for (int32_t k = 64; k < kTableSize; ++k) EXPECT_EQ(mixed[k], q[k]) << k;
    }

    // Reso3's second half is a plain positive half-cycle before the resonance rides on it.
    const Table reso3 = Build(7, 1.0f);
    for (int32_t k = 64; k < kTableSize; ++k) EXPECT_GE(reso3[k], 0.0f) << k;
}

TEST(WarpwaveTables, ResonanceRestartsEachCycleAtItsStep) {
    float r[kTableSize];
    BuildResonance(1.0f, r);
    const float rho = static_cast<float>(kTwoPi / (128.0 - 0.9f * 128.0));
    const auto window = [](int32_t k) { return 1.0 - k / 128.0; };
    EXPECT_EQ(r[0], 0.0f);
    EXPECT_EQ(r[1], static_cast<float>(window(1) * ParabolicSine(rho)));
    // Entry 13 is the first past 2*pi: read on the continued parabola, small and positive.
    EXPECT_GT(13.0 * rho, kTwoPi);
    EXPECT_LT(12.0 * rho, kTwoPi);
    EXPECT_GT(r[13], 0.0f);
    EXPECT_LT(r[13], 0.15f);
    // The next cycle starts at rho, not at the overshoot plus rho.
    EXPECT_EQ(r[14], static_cast<float>(window(14) * ParabolicSine(rho)));
    EXPECT_EQ(r[15], static_cast<float>(window(15) * ParabolicSine(2.0 * rho)));

    // At depth 0: one cycle per table, under the window.
    BuildResonance(0.0f, r);
    EXPECT_EQ(r[32], 0.75f);
    EXPECT_EQ(r[96], -0.25f);
}

TEST(WarpwaveTables, GuardEntriesFollowEveryBuildAndUnknownWavesBuildNothing) {
    Scratch scratch{};
    Table t{};
    for (int32_t wave = 1; wave <= 8; ++wave) {
        for (float m : {0.0f, 0.3f, 0.5f, 0.77f, 1.0f}) {
            t.fill(7.0f);
            ASSERT_TRUE(BuildTable(wave, m, scratch, t.data()));
            EXPECT_EQ(t[128], t[0]);
            EXPECT_EQ(t[129], t[1]);
            for (int32_t k = 0; k < kTableSize; ++k) {
                ASSERT_TRUE(std::isfinite(t[k])) << wave << " " << m << " " << k;
                ASSERT_LT(std::fabs(t[k]), 2.0f) << wave << " " << m << " " << k;
            }
        }
    }
    for (int32_t wave : {0, 9, -1, 32767, -32768}) {
        for (int32_t k = 0; k < kTableStore; ++k) t[k] = static_cast<float>(k);
        EXPECT_FALSE(BuildTable(wave, 0.5f, scratch, t.data()));
        for (int32_t k = 0; k < kTableSize; ++k) EXPECT_EQ(t[k], static_cast<float>(k));
        EXPECT_EQ(t[128], 0.0f);  // the guard copy still runs
        EXPECT_EQ(t[129], 1.0f);
    }
    // Depths outside [0, 1] build as the nearest end.
    EXPECT_EQ(Build(6, 1.5f), Build(6, 1.0f));
    EXPECT_EQ(Build(6, -0.2f), Build(6, 0.0f));
    EXPECT_EQ(Build(4, std::numeric_limits<float>::quiet_NaN()), Build(4, 0.0f));
}

}  // namespace
