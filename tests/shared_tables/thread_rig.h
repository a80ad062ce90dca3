// What the shared-table thread tests share: the module linked into the test program (its
// makeModule), the validator's sample rates, instances that play alone and together, and
// rounds of instances opened and destroyed on many threads at once.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "kv_abi.h"
#include "raw_driver.h"

// The frame's entry point of the one module this test program links.
extern "C" void* makeModule(int32_t index, int32_t kind, kvaudioMaster callback,
                            void* host_reference);

inline constexpr float kValidatorRates[] = {8000.0f,  22050.0f,  44100.0f,   48000.0f,
                                            96000.0f, 192000.0f, 12345.678f, 3000.5f};
// The rates of the thread rounds, and their size.
inline constexpr float kThreadRates[] = {44100.0f, 48000.0f, 96000.0f};
inline constexpr int32_t kThreads = 8;
inline constexpr int32_t kPerThread = 3;
inline constexpr int32_t kRounds = 12;

using Instances = std::vector<std::unique_ptr<RawDriver>>;
// Opens an instance at `rate` with `choice` and plays it, its samples in `out`.
using Player =
    std::function<std::unique_ptr<RawDriver>(float rate, int16_t choice, std::vector<float>& out)>;

// Every choice at every validator rate played by an instance alone (destroyed at once, so
// each open starts from no shared tables), then by instances all kept open: each plays the
// same samples. Answers the open instances.
inline Instances PlayAloneThenTogether(const Player& play, const std::vector<int16_t>& choices) {
    std::map<std::pair<float, int16_t>, std::vector<float>> alone;
    for (float rate : kValidatorRates) {
        for (int16_t choice : choices) play(rate, choice, alone[{rate, choice}]);
    }
    Instances open;
    std::vector<float> out;
    for (float rate : kValidatorRates) {
        for (int16_t choice : choices) {
            open.push_back(play(rate, choice, out));
            EXPECT_EQ(out, (alone[{rate, choice}])) << rate << " choice " << choice;
        }
    }
    return open;
}

// The rate of instance k of `thread` in `round`.
inline float ThreadRate(int32_t thread, int32_t round, int32_t k) {
    return kThreadRates[(thread + round + k) % 3];
}

// kRounds rounds on kThreads threads. In each, every thread opens kPerThread instances (at
// ThreadRate, with a choice of `choices` in turn) at the same time as the others and checks
// that each plays what an instance alone plays; once all have, all_open(round) runs on one
// thread while every instance stays open; then every thread destroys its instances at once.
inline void PlayOnThreads(const Player& play, const std::vector<int16_t>& choices,
                          const std::function<void(int32_t round)>& all_open) {
    std::map<std::pair<float, int16_t>, std::vector<float>> expected;
    for (float rate : kThreadRates) {
        for (int16_t choice : choices) play(rate, choice, expected[{rate, choice}]);
    }
    const auto n = static_cast<int32_t>(choices.size());
    std::atomic<int32_t> wrong{0};
    std::barrier sync(kThreads);
    std::vector<std::thread> threads;
    for (int32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> out;
            for (int32_t round = 0; round < kRounds; ++round) {
                Instances held;
                for (int32_t k = 0; k < kPerThread; ++k) {
                    const float rate = ThreadRate(t, round, k);
                    const int16_t choice =
                        choices[static_cast<std::size_t>((3 * t + round + k) % n)];
                    held.push_back(play(rate, choice, out));
                    if (out != expected[{rate, choice}]) ++wrong;
                }
                sync.arrive_and_wait();
                if (t == 0) all_open(round);
                sync.arrive_and_wait();
                held.clear();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}
