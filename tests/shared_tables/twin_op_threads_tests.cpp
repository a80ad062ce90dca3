// ZOR Twin-Op linked in with its shared tables: what an instance gets equals a private build
// at every validator rate, instances at every rate open at once play what one alone plays,
// and instances opened and destroyed on eight threads at once leave nothing behind.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "OperatorTables.h"
#include "thread_rig.h"

namespace twin_op {
namespace {

constexpr int32_t kBlock = 64;
enum Pin : int32_t { kOnOff, kAlgorithm, kOp1Pitch, kOp1Level, kOp2Pitch, kOp2Level, kOutput };

// An instance opened at `rate` with `algorithm`, playing two blocks in which operator 2
// (in "2->1") or the feedback sweeps operator 1's pitch across many increments.
std::unique_ptr<RawDriver> Play(float rate, int16_t algorithm, std::vector<float>& out) {
    auto d = std::make_unique<RawDriver>(&makeModule, rate, kBlock);
    d->SetChoice(kAlgorithm, algorithm);
    for (int32_t n = 0; n < kBlock; ++n) {
        d->Buffer(kOp1Pitch)[n] = 0.3f + 0.005f * static_cast<float>(n);
        d->Buffer(kOp1Level)[n] = 1.0f;
        d->Buffer(kOp2Pitch)[n] = 0.62f;
        d->Buffer(kOp2Level)[n] = 0.4f;
    }
    d->Update(kOnOff);
    out.clear();
    for (int32_t b = 0; b < 2; ++b) {
        d->Process(0, kBlock);
        out.insert(out.end(), d->Buffer(kOutput), d->Buffer(kOutput) + kBlock);
    }
    return d;
}

TEST(TwinOpSharedTables, WhatAnInstanceGetsEqualsAPrivateBuildAtEveryRate) {
    std::vector<RateTableCache::Handle> held;
    for (float rate : kValidatorRates) held.push_back(AcquireRateTables(SampleRateAsInteger(rate)));
    EXPECT_EQ(SharedRateTables().Entries(), 8);
    std::vector<float> sine(kSineEntries);
    std::vector<int32_t> increments(kPitchEntries);
    BuildSineTable(sine.data());
    for (std::size_t i = 0; i < held.size(); ++i) {
        const int32_t rate = SampleRateAsInteger(kValidatorRates[i]);
        ASSERT_TRUE(held[i]) << rate;
        BuildIncrementTable(rate, increments.data());
        EXPECT_EQ(std::memcmp(held[i].get()->sine, sine.data(), sizeof(float) * kSineEntries), 0)
            << rate;
        EXPECT_EQ(std::memcmp(held[i].get()->increments, increments.data(),
                              sizeof(int32_t) * kPitchEntries),
                  0)
            << rate;
    }
    held.clear();
    EXPECT_EQ(SharedRateTables().Entries(), 0);
}

TEST(TwinOpSharedTables, EveryRateAndAlgorithmOpenTogetherPlaysWhatAnInstanceAlonePlays) {
    Instances open = PlayAloneThenTogether(Play, {0, 1, 3});
    for (float rate : kValidatorRates) {
        EXPECT_EQ(SharedRateTables().Users(SampleRateAsInteger(rate)), 3) << rate;
    }
    open.clear();
    EXPECT_EQ(SharedRateTables().Entries(), 0);
}

TEST(TwinOpSharedTables, InstancesOpenedAndDestroyedOnEightThreadsAtOnce) {
    PlayOnThreads(Play, {0, 1, 3}, [](int32_t round) {
        for (float rate : kThreadRates) {
            int32_t users = 0;
            for (int32_t t = 0; t < kThreads; ++t) {
                for (int32_t k = 0; k < kPerThread; ++k) users += ThreadRate(t, round, k) == rate;
            }
            EXPECT_EQ(SharedRateTables().Users(SampleRateAsInteger(rate)), users)
                << rate << " round " << round;
        }
        EXPECT_EQ(SharedRateTables().Entries(), 3);
    });
    EXPECT_EQ(SharedRateTables().Entries(), 0);
}

}  // namespace
}  // namespace twin_op
