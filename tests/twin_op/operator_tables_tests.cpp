// ZOR Twin-Op's tables and increment arithmetic, checked against the plain formulas.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "OperatorTables.h"

namespace twin_op {
namespace {

uint32_t Bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

// The plain formulas, one power and one division at a time.
float LiteralPitchEntry(int32_t k) {
    return static_cast<float>(440.0 * std::pow(2.0, k / 10000.0 - 5.0));
}
int32_t LiteralIncrement(float frequency, int32_t rate) {
    const float x = static_cast<float>(static_cast<double>(frequency) / rate * 65536.0 * 512.0);
    return static_cast<int32_t>(std::nearbyint(x));
}

TEST(TwinOpTables, PitchTableMatchesThePowerFormulaEverywhere) {
    std::vector<float> table(kPitchEntries);
    BuildPitchTable(table.data());
    int32_t differing = 0;
    for (int32_t k = 0; k < kPitchEntries; ++k) {
        if (Bits(table[k]) != Bits(LiteralPitchEntry(k))) ++differing;
    }
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(table[50000], 440.0f);
    EXPECT_EQ(table[0], 13.75f);
    EXPECT_EQ(table[40000], 220.0f);
    // The top playable entry (9.9 V): 13,137.104 Hz, 13137.1044921875 exactly.
    EXPECT_EQ(Bits(table[99000]), 0x464D446Bu);
}

TEST(TwinOpTables, IncrementTableEqualsTheDivisionAtEveryEntryAndRate) {
    std::vector<float> table(kPitchEntries);
    BuildPitchTable(table.data());
    std::vector<int32_t> increments(kPitchEntries);
    for (int32_t rate : {44100, 48000, 96000, 22050, 192000, 32000}) {
        BuildIncrementTable(rate, increments.data());
        int32_t differing = 0;
        for (int32_t k = 0; k < kPitchEntries; ++k) {
            if (increments[k] != LiteralIncrement(table[k], rate)) ++differing;
        }
        EXPECT_EQ(differing, 0) << "rate " << rate;
    }
    EXPECT_EQ(IncrementFor(table[50000], 44100), 334783);
    EXPECT_EQ(IncrementFor(table[50000], 48000), 307582);
}

TEST(TwinOpTables, PitchIndexAndClamp) {
    // 0.99 (0.99000001 in single) lands exactly on entry 99,000.
    EXPECT_EQ(PitchIndex(ClampPitch(0.99f)), 99000);
    EXPECT_EQ(PitchIndex(ClampPitch(1.0)), 99000);
    EXPECT_EQ(PitchIndex(ClampPitch(std::numeric_limits<double>::infinity())), 99000);
    EXPECT_EQ(PitchIndex(ClampPitch(0.5)), 50000);
    EXPECT_EQ(PitchIndex(ClampPitch(-0.3)), 0);
    EXPECT_EQ(PitchIndex(ClampPitch(-std::numeric_limits<double>::infinity())), 0);
    EXPECT_EQ(Bits(ClampPitch(std::numeric_limits<double>::quiet_NaN())), Bits(0.0f));
    // Ties go to the even integer.
    EXPECT_EQ(RoundEven(2.5f), 2);
    EXPECT_EQ(RoundEven(3.5f), 4);
    EXPECT_EQ(RoundEven(99000.5f), 99000);
}

TEST(TwinOpTables, SineTableShape) {
    float sine[kSineEntries];
    BuildSineTable(sine);
    // Starts at (almost) 0, falls to -0.5 near entry 128, rises to +0.5 near entry 384.
    EXPECT_LT(std::fabs(sine[0]), 1e-7f);
    int32_t low = 0, high = 0;
    for (int32_t j = 0; j < kSineEntries; ++j) {
        if (sine[j] < sine[low]) low = j;
        if (sine[j] > sine[high]) high = j;
    }
    EXPECT_NEAR(low, 128, 1);
    EXPECT_NEAR(high, 384, 1);
    EXPECT_GE(sine[low], -0.5f);
    EXPECT_LE(sine[high], 0.5f);
}

TEST(TwinOpTables, LowAndBrokenSampleRatesKeepIncrementsWithinOneCycle) {
    std::vector<float> table(kPitchEntries);
    BuildPitchTable(table.data());
    std::vector<int32_t> increments(kPitchEntries);
    for (int32_t rate : {13138, 13000, 8000, 1000, 1}) {
        BuildIncrementTable(rate, increments.data());
        for (int32_t k = 0; k < kPitchEntries; ++k) {
            ASSERT_EQ(increments[k], IncrementFor(table[k], rate)) << rate << " " << k;
            ASSERT_LT(std::abs(increments[k]), kCycle) << rate << " " << k;
        }
    }
    // A frequency of exactly the rate is a whole cycle: it stands still.
    EXPECT_EQ(IncrementFor(8000.0f, 8000), 0);
    // 1.25 cycles per sample plays as a quarter cycle.
    EXPECT_EQ(IncrementFor(10000.0f, 8000), kCycle / 4);
    EXPECT_EQ(SampleRateAsInteger(44100.9f), 44100);
    EXPECT_EQ(SampleRateAsInteger(0.0f), 1);
    EXPECT_EQ(SampleRateAsInteger(-48000.0f), 1);
    EXPECT_EQ(SampleRateAsInteger(std::numeric_limits<float>::quiet_NaN()), 1);
    EXPECT_EQ(SampleRateAsInteger(1e20f), INT32_MAX);
    EXPECT_EQ(IncrementFor(13.75f, INT32_MAX), 0);
}

}  // namespace
}  // namespace twin_op
