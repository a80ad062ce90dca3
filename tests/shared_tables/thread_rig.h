// What the shared-table thread tests share: the module linked into the test program (its
// makeModule), the validator's sample rates, and rounds of instances opened and destroyed
// on many threads at once.
#pragma once

#include <barrier>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "kv_abi.h"
#include "raw_driver.h"

// The frame's entry point of the one module this test program links.
extern "C" void* makeModule(int32_t index, int32_t kind, kvaudioMaster callback,
                            void* host_reference);

inline constexpr float kValidatorRates[] = {8000.0f,  22050.0f,  44100.0f,   48000.0f,
                                            96000.0f, 192000.0f, 12345.678f, 3000.5f};
inline constexpr int32_t kThreads = 8;

using Instances = std::vector<std::unique_ptr<RawDriver>>;

// `rounds` rounds on kThreads threads. In each, every thread runs open(thread, round) (which
// opens its instances, plays and checks them) at the same time as the others; once all
// have, all_open(round) runs on one thread while every instance stays open; then every
// thread destroys its instances at the same time.
inline void OpenAndDestroyOnThreads(int32_t rounds,
                                    const std::function<Instances(int32_t, int32_t)>& open,
                                    const std::function<void(int32_t)>& all_open) {
    std::barrier sync(kThreads);
    std::vector<std::thread> threads;
    for (int32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int32_t round = 0; round < rounds; ++round) {
                Instances held = open(t, round);
                sync.arrive_and_wait();
                if (t == 0) all_open(round);
                sync.arrive_and_wait();
                held.clear();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}
