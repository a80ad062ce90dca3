// Tests of the benchmark's own parts: the floor kernels' fixed figures, the heap tally and the
// bare host driving a plug-in. What the kernels produce against the deliverables is checked
// by `kv_bench --kv_check`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "alloc_count.h"
#include "bare_host.h"
#include "kernels.h"
#include "kvhost/host.h"

namespace {

// Keeps the compiler from dropping a new/delete pair it could see through.
void Escape(void* p) {
    asm volatile("" : : "g"(p) : "memory");
}

TEST(Kernels, TwinOpTablesAndIncrementsAreTheFiguresOfTheAlgorithm) {
    const kvbench::TwinOpTables t44 = kvbench::BuildTwinOpTables(44100);
    EXPECT_EQ(t44.pitch[50000], 440.0f);
    EXPECT_EQ(t44.pitch[0], 13.75f);
    EXPECT_EQ(t44.increment[50000], 334783);
    EXPECT_EQ(kvbench::BuildTwinOpTables(48000).increment[50000], 307582);
    EXPECT_EQ(t44.sine[0], static_cast<float>(0.5 * std::sin(-3.1415927410125732)));

    // Literal recompute and table give the same samples, feedback and two operators.
    kvbench::TwinOpState a, b;
    std::vector<float> pitch(256, 0.5f), level(256, 0.3f), level2(256, 0.1f), x(256), y(256);
    kvbench::TwinOpFeedbackTable(t44, pitch.data(), level.data(), x.data(), 256, a);
    kvbench::TwinOpFeedbackLiteral(t44, pitch.data(), level.data(), y.data(), 256, b);
    EXPECT_EQ(std::memcmp(x.data(), y.data(), sizeof(float) * 256), 0);
    kvbench::TwinOpTwoTable(t44, pitch.data(), level.data(), pitch.data(), level2.data(), x.data(),
                            256, a);
    kvbench::TwinOpTwoLiteral(t44, pitch.data(), level.data(), pitch.data(), level2.data(),
                              y.data(), 256, b);
    EXPECT_EQ(std::memcmp(x.data(), y.data(), sizeof(float) * 256), 0);
    EXPECT_EQ(a.phase1, b.phase1);
    EXPECT_EQ(a.increment2, b.increment2);
}

TEST(Kernels, BandChoiceAndIncrementsFollowThePitch) {
    EXPECT_EQ(kvbench::BasicVoiceBand(0.5f), 3);
    EXPECT_EQ(kvbench::BasicVoiceBand(0.4999f), 2);
    EXPECT_EQ(kvbench::BasicVoiceBand(0.8f), 9);
    EXPECT_EQ(kvbench::BasicVoiceBand(-1.0f), 0);
    // 440 Hz at 44.1 kHz: 0.0626894 radians per sample.
    EXPECT_NEAR(kvbench::BasicVoiceIncrement(0.5f, 44100.0f), 0.0626894f, 1e-7f);
    EXPECT_NEAR(kvbench::WarpwaveIncrement(0.5f, 44100.0f), 0.0626894f, 1e-7f);
    // Limits: 9 V and 9.4 V.
    EXPECT_EQ(kvbench::BasicVoiceIncrement(0.95f, 44100.0f),
              kvbench::BasicVoiceIncrement(0.9f, 44100.0f));
    EXPECT_EQ(kvbench::WarpwaveIncrement(1.0f, 44100.0f),
              kvbench::WarpwaveIncrement(0.94f, 44100.0f));

    // A rising sync edge restarts the phase: the sample on the edge plays entry 0.
    float table[130];
    for (int i = 0; i < 130; ++i) table[i] = static_cast<float>(i % 128) / 128.0f;
    kvbench::WarpwaveLines lines;
    kvbench::PrepareWarpwaveLines(table, lines);
    kvbench::WarpwaveState s;
    s.increment = 0.1f;
    float sync[8] = {0, 0, -0.1f, -0.1f, 0.0f, 0, 0, 0}, out[8];
    kvbench::WarpwaveLoop(lines, sync, out, 8, s);
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_GT(out[3], 0.0f);
    EXPECT_NEAR(s.phase, 0.3f, 1e-6f);
}

TEST(AllocTally, CountsOnlyWhileOnAndFollowsFrees) {
    kvbench::BeginCounting();
    int* a = new int[100];
    kvbench::Counting(false);
    int* ignored = new int[50];
    kvbench::Counting(true);
    struct alignas(64) Wide {
        char bytes[64];
    };
    Wide* w = new Wide;
    Escape(a);
    Escape(ignored);
    Escape(w);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(w) % 64, 0u);
    delete[] a;
    delete w;
    char* kept = new (std::nothrow) char[10];
    Escape(kept);
    const kvbench::AllocTally t = kvbench::EndCounting();
    delete[] ignored;
    delete[] kept;
    EXPECT_EQ(t.allocations, 3u);
    EXPECT_EQ(t.bytes, 400u + 64u + 10u);
    EXPECT_EQ(t.freed, 400u + 64u);
    EXPECT_EQ(t.peak_live, 464u);
}

TEST(BareHost, DrivesThePluginAndCountsItsHeap) {
    auto plugin = kvhost::Plugin::Load(KV_BENCH_PLUGIN);
    kvbench::BeginCounting();
    kvbench::Counting(false);
    kvbench::BareDsp d(plugin->MakeModule(), plugin->Revision(), 48000.0f, 64, true);
    ASSERT_TRUE(d.Made());
    d.Open();
    const kvbench::AllocTally t = kvbench::EndCounting();
    // The module object and its two-pin table, nothing of the bare host's own.
    EXPECT_EQ(t.allocations, 2u);
    EXPECT_GT(t.bytes, 0u);
    const int32_t out = d.Pin("Output");
    ASSERT_GE(out, 0);
    EXPECT_EQ(d.Pin("Setting"), 0);
    EXPECT_EQ(d.Pin("none"), -1);
    std::fill(d.Buffer(out), d.Buffer(out) + 64, -1.0f);
    d.Slice(16, 8);
    EXPECT_EQ(d.Buffer(out)[15], -1.0f);
    EXPECT_EQ(d.Buffer(out)[16], 0.25f);
    EXPECT_EQ(d.Buffer(out)[23], 0.25f);
    EXPECT_EQ(d.Buffer(out)[24], -1.0f);
    EXPECT_EQ(d.Clock(), 8u);
    d.WriteChoice(0, 7);
    d.Status(0, PS_STEP);  // delivered at the clock without a fault
    d.Process(64);
    EXPECT_EQ(d.Clock(), 72u);
}

}  // namespace
