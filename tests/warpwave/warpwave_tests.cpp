// ZOR Warpwave driven through the host: identity and pins, block-start evaluation of pitch,
// depth and wave, limits, hard sync, the on/off cycle with its dormancy, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Oscillator.h"
#include "WaveTables.h"
#include "kvhost/host.h"
#include "test_support.h"

namespace {

using namespace warpwave;
using kvhost::DspInstance;

std::shared_ptr<kvhost::Plugin> Plugin() {
    static const std::shared_ptr<kvhost::Plugin> plugin = kvhost::Plugin::Load("ZOR Warpwave");
    return plugin;
}

struct Table {
    float t[kTableStore] = {};
    Table() = default;
    Table(int32_t wave, float m) {
        Scratch scratch{};
        BuildTable(wave, m, scratch, t);
    }
};

// The oscillator's playback as the module's documentation states it, for comparing the
// deliverable's samples bit for bit.
struct Player {
    float phase = 0.0f;
    float last_sync = 0.0f;
    float increment = 0.0f;
    const Table* table = nullptr;

    float Next(float sync = 0.0f) {
        phase += increment;
        if (phase >= kTwoPi) phase -= kTwoPi;
        if (!(last_sync >= 0.0f) && sync >= 0.0f) phase = 0.0f;
        last_sync = sync;
        const float b = kIndexScale * phase;
        const int32_t idx = RoundEven(b);
        const double t0 = table->t[idx];
        const double t1 = table->t[idx + 1];
        return static_cast<float>(0.5 * (t0 + (b - static_cast<float>(idx)) * (t1 - t0)));
    }
};

float Increment(float pitch, float rate) {
    return PhaseIncrement(PitchToFrequency(pitch > kPitchLimit ? kPitchLimit : pitch),
                          RadiansPerHertz(rate));
}

// Compares output samples [from, to) with the player, stepping it over each.
void ExpectPlays(const std::vector<float>& out, uint32_t from, uint32_t to, Player& player,
                 const std::function<float(uint32_t)>& sync = nullptr) {
    ASSERT_GE(out.size(), to);
    for (uint32_t n = from; n < to; ++n) {
        const float expected = player.Next(sync ? sync(n) : 0.0f);
        ASSERT_EQ(out[n], expected) << "sample " << n;
    }
}

TEST(Warpwave, IdentityAndPinTable) {
    const auto plugin = Plugin();
    EXPECT_STREQ(plugin->Info().name, "ZOR Warpwave");
    EXPECT_STREQ(plugin->Info().id, "ZOR Warpwave");
    EXPECT_EQ(plugin->Revision(), 2230);
    const std::string about = plugin->Info().about;
    EXPECT_NE(about.find("v1.0"), std::string::npos);
    const std::string tail = "\n\nPitch = 1Volt/Octave\nSync = 0Volt/Rising\nModDepth = 0-10v\n";
    ASSERT_GE(about.size(), tail.size());
    EXPECT_EQ(about.substr(about.size() - tail.size()), tail);

    DspInstance osc(plugin);
    const auto& pins = osc.Pins();
    ASSERT_EQ(pins.size(), 6u);
    const char* names[] = {"On/Off", "Wave", "Pitch", "Sync", "Modulation Depth", "Output"};
    const int32_t types[] = {DT_CHOICE, DT_CHOICE, DT_FSAMPLE, DT_FSAMPLE, DT_FSAMPLE, DT_FSAMPLE};
    const char* defaults[] = {"1", "1", "5", "0", "0", nullptr};
    for (std::size_t k = 0; k < pins.size(); ++k) {
        EXPECT_EQ(pins[k].name, names[k]);
        EXPECT_EQ(pins[k].datatype, types[k]);
        EXPECT_EQ(pins[k].direction, k == 5 ? DR_OUT : DR_INPUT);
        EXPECT_EQ(pins[k].flags, 0);
        EXPECT_EQ(pins[k].dsp_index, static_cast<int32_t>(k));
        EXPECT_EQ(pins[k].default_value.has_value(), defaults[k] != nullptr);
        if (defaults[k] != nullptr) {
            EXPECT_EQ(*pins[k].default_value, defaults[k]);
        }
    }
    EXPECT_EQ(*pins[0].choices, "On=1,Off=0");
    EXPECT_EQ(*pins[1].choices,
              "Saw=1,Square=2,Square-Saw=3,Dbl-ResSine=4,Reso1=5,Reso2=6,Reso3=7,Reso4=8");
}

TEST(Warpwave, DefaultsPlayTheNegatedSawShapeAt440Hz) {
    // 5 V is exactly 440 Hz; at 44,100 Hz that is 0.0626894 radians per sample.
    EXPECT_EQ(PitchToFrequency(0.5f), 440.0f);
    const float increment = Increment(0.5f, 44100.0f);
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", increment);
    EXPECT_STREQ(text, "0.0626894");
    EXPECT_EQ(kIndexScale, 20.371832f);
    EXPECT_EQ(kIndexScale, static_cast<float>(128.0 / (2.0 * 3.14159265358979323846)));

    DspInstance osc(Plugin());
    osc.Open();
    osc.Run(4096);
    const auto& out = osc.Output("Output");
    const Table saw(1, 0.0f);
    Player player{0.0f, 0.0f, increment, &saw};
    ExpectPlays(out, 0, 4096, player);
    // Depth 0: the negated parabolic sine at 5 V, first falling, then rising.
    EXPECT_LT(out[1], out[0]);
    float lo = 0.0f, hi = 0.0f;
    for (float x : out) lo = std::min(lo, x), hi = std::max(hi, x);
    // Amplitude 0.5; the line extended past an entry overshoots the peak only slightly.
    EXPECT_LT(lo, -0.499f);
    EXPECT_GE(lo, -0.501f);
    EXPECT_GT(hi, 0.499f);
    EXPECT_LE(hi, 0.501f);
    // Every input's opening update announces the streaming output at clock 0.
    ASSERT_EQ(osc.Statuses().size(), 5u);
    for (const auto& s : osc.Statuses()) {
        EXPECT_EQ(s.pin, 5);
        EXPECT_EQ(s.status, PS_STREAM);
        EXPECT_EQ(s.clock, 0u);
    }
    EXPECT_TRUE(osc.DormantRequests().empty());
}

TEST(Warpwave, PitchIsTakenAtBlockStartAndLimitedTo94Volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", PitchToFrequency(kPitchLimit));
    EXPECT_STREQ(text, "9289.3");
    EXPECT_EQ(PitchToFrequency(-0.5f), 440.0f / 1024.0f);

    // A pitch that moves inside a block is heard from the next block on: 1.0 from sample
    // 1,500 plays from 2,048, limited to 0.94.
    DspInstance osc(Plugin());
    osc.SetStream(
        "Pitch", [](uint32_t n) { return n < 1500 ? 0.5f : 1.0f; }, 0);
    osc.Open();
    osc.Run(4096);
    const Table saw(1, 0.0f);
    Player player{0.0f, 0.0f, Increment(0.5f, 44100.0f), &saw};
    ExpectPlays(osc.Output("Output"), 0, 2048, player);
    player.increment = Increment(0.94f, 44100.0f);
    ExpectPlays(osc.Output("Output"), 2048, 4096, player);

    // Pitch 1.0 and 0.94 sound the same; -0.5 plays 440 / 1024 Hz.
    DspInstance high(Plugin()), limited(Plugin());
    high.SetConstant("Pitch", 1.0f, 0);
    limited.SetConstant("Pitch", 0.94f, 0);
    high.Open();
    limited.Open();
    high.Run(2048);
    limited.Run(2048);
    EXPECT_EQ(high.Output("Output"), limited.Output("Output"));
    DspInstance low(Plugin());
    low.SetConstant("Pitch", -0.5f, 0);
    low.Open();
    low.Run(2048);
    Player slow{0.0f, 0.0f, Increment(-0.5f, 44100.0f), &saw};
    ExpectPlays(low.Output("Output"), 0, 2048, slow);
}

TEST(Warpwave, DepthAndWaveRebuildTheTableAtBlockStart) {
    DspInstance osc(Plugin());
    osc.SetValue("Wave", 2, 0);
    osc.SetConstant("Modulation Depth", 1.5f, 0);  // builds as 1.0
    osc.SetValue("Wave", 6, 3000);                 // Reso2, built with the held 1.5 -> 1.0
    osc.SetStream(
        "Modulation Depth", [](uint32_t n) { return n < 5000 ? -0.2f : 0.25f; }, 4500);
    osc.Open();
    osc.Run(7168);
    const auto& out = osc.Output("Output");
    const float increment = Increment(0.5f, 44100.0f);
    const Table square(2, 1.0f), reso2(6, 1.0f), reso2_0(6, 0.0f), reso2_q(6, 0.25f);
    Player player{0.0f, 0.0f, increment, &square};
    ExpectPlays(out, 0, 3000, player);
    player.table = &reso2;
    ExpectPlays(out, 3000, 4500, player);
    // -0.2 builds as 0; the move to 0.25 inside the block starting at 4,500 (cut by the
    // stream's own event) is heard from the next block, 5,120.
    player.table = &reso2_0;
    ExpectPlays(out, 4500, 5120, player);
    player.table = &reso2_q;
    ExpectPlays(out, 5120, 7168, player);
}

TEST(Warpwave, SyncRestartsTheCycleOnARisingEdgeOnly) {
    const auto sync = [](uint32_t n) -> float {
        if (n < 700) return -0.1f;
        if (n < 1500) return 0.0f;  // rising at 700
        if (n < 1600) return kNaN;  // unordered counts as negative...
        if (n < 2500) return 0.3f;  // ...so 1,600 rises again
        return 0.0f;                // staying at or above 0 never restarts
    };
    DspInstance osc(Plugin());
    osc.SetValue("Wave", 4, 0);
    osc.SetConstant("Modulation Depth", 0.6f, 0);
    osc.SetStream("Sync", sync, 0);
    osc.Open();
    osc.Run(4096);
    const auto& out = osc.Output("Output");
    const Table table(4, 0.6f);
    Player player{0.0f, 0.0f, Increment(0.5f, 44100.0f), &table};
    ExpectPlays(out, 0, 4096, player, sync);
    // The edge's own sample plays entry 0; the next one continues from phase 0.
    EXPECT_EQ(out[700], 0.5f * table.t[0]);
    EXPECT_EQ(out[1600], 0.5f * table.t[0]);
    Player fresh{0.0f, 0.0f, Increment(0.5f, 44100.0f), &table};
    EXPECT_EQ(out[701], fresh.Next());
    // Free running (no restart) would differ at the edge.
    Player free_run{0.0f, 0.0f, Increment(0.5f, 44100.0f), &table};
    for (int n = 0; n < 700; ++n) free_run.Next();
    EXPECT_NE(out[700], free_run.Next());
}

TEST(Warpwave, SwitchingOffGoesDormantAfterABlockAndResumesWhereItStopped) {
    DspInstance osc(Plugin());
    osc.Open();
    osc.SetValue("On/Off", 0, 2000);
    osc.SetValue("Wave", 2, 3500);  // taken into account while off
    osc.SetConstant("Modulation Depth", 1.0f, 3600);
    osc.SetValue("On/Off", 1, 6000);
    osc.Run(8192);
    const auto& out = osc.Output("Output");
    const float increment = Increment(0.5f, 44100.0f);
    const Table saw(1, 0.0f), square(2, 1.0f);
    Player player{0.0f, 0.0f, increment, &saw};
    ExpectPlays(out, 0, 2000, player);
    for (uint32_t n = 2000; n < 6000; ++n) ASSERT_EQ(out[n], 0.0f) << n;
    // The phase stood still while off; the new table plays at once.
    player.table = &square;
    ExpectPlays(out, 6000, 8192, player);

    // Off at 2,000: 48 samples to the block's end, then the block from 2,048 (the request is
    // stamped with its start) brings the countdown to zero or below: 1,072 samples of
    // zeros. The Wave and depth updates wake the module and restart the countdown
    // (1,024 at 3,600: 496 samples to 4,096, then that block).
    const auto& dormant = osc.DormantRequests();
    EXPECT_EQ(dormant, (std::vector<uint32_t>{2048u, 4096u}));
    EXPECT_GE(dormant[0] + 1024u - 2000u, 1024u);
    // No status on the output while off; switching on announces the stream at 6,000.
    std::vector<uint32_t> after_open;
    for (const auto& s : osc.Statuses()) {
        if (s.clock > 0) after_open.push_back(s.clock);
        EXPECT_EQ(s.status, PS_STREAM);
    }
    EXPECT_EQ(after_open, std::vector<uint32_t>{6000u});
}

TEST(Warpwave, BadInputNeverLeavesTheTableOrTurnsNonFinite) {
    // Rates at or below the top frequency: the phase advances by the same angle modulo 2*pi.
    for (float rate : {8000.0f, 4000.0f, 1000.0f, 1.0f}) {
        DspInstance osc(Plugin(), rate, 256);
        osc.SetValue("Wave", 7, 0);
        osc.SetConstant("Modulation Depth", 1.0f, 0);
        osc.SetConstant("Pitch", 0.94f, 0);
        osc.Open();
        osc.Run(3000);
        const Table reso3(7, 1.0f);
        const float increment = Increment(0.94f, rate);
        EXPECT_GE(increment, 0.0f);
        EXPECT_LT(increment, kTwoPi);
        Player player{0.0f, 0.0f, increment, &reso3};
        ExpectPlays(osc.Output("Output"), 0, 3000, player);
    }
    // 9,289 Hz at 8,000 Hz sounds as its alias at 1,289 Hz.
    EXPECT_NEAR(Increment(0.94f, 8000.0f), kTwoPi * (PitchToFrequency(0.94f) - 8000.0f) / 8000.0f,
                1e-5f);

    // Odd block sizes and every kind of odd input value, streamed.
    for (float rate : {1e-30f, 1e30f, 4000.0f, 44100.0f}) {
        for (int32_t wave : {1, 4, 6, 8}) {
            DspInstance osc(Plugin(), rate, 61);
            osc.SetValue("Wave", wave, 0);
            osc.SetStream("Pitch", Wild, 0);
            osc.SetStream(
                "Sync", [](uint32_t n) { return Wild(n + 3); }, 0);
            osc.SetStream(
                "Modulation Depth", [](uint32_t n) { return Wild(n / 61 + 5); }, 0);
            osc.Open();
            osc.Run(2000);
            for (float x : osc.Output("Output")) {
                ASSERT_TRUE(std::isfinite(x)) << rate << " " << wave;
                ASSERT_LE(std::fabs(x), 2.0f) << rate << " " << wave;
            }
        }
    }

    // Rates the host refuses, straight through the record: zero, negative, unordered,
    // infinite. Every pitch gives a usable increment; nothing reads outside the table.
    for (float rate : {0.0f, -44100.0f, -1e-30f, kNaN, kInf, -kInf}) {
        for (float pitch : {0.5f, 0.94f, -1e30f, kInf, kNaN, 1e-40f}) {
            RawDriver raw(Plugin()->MakeModule(), rate, 64);
            raw.SetChoice(0, 1);
            raw.SetChoice(1, 6);
            for (int32_t n = 0; n < 64; ++n) {
                raw.Buffer(2)[n] = pitch;
                raw.Buffer(3)[n] = Wild(static_cast<uint32_t>(n));
                raw.Buffer(4)[n] = 0.7f;
            }
            raw.Update(0);
            for (int32_t k = 0; k < 20; ++k) raw.Process(k % 3, 61);
            raw.Process(64, 0);  // an empty slice at the buffer end reads nothing
            for (int32_t n = 0; n < 64; ++n) {
                ASSERT_TRUE(std::isfinite(raw.Buffer(5)[n])) << rate << " " << pitch;
                ASSERT_LE(std::fabs(raw.Buffer(5)[n]), 2.0f) << rate << " " << pitch;
            }
        }
    }
}

TEST(Warpwave, WavesOutsideTheListBuildNothing) {
    // Never built: silence.
    for (int32_t wave : {0, 9, -1, 32767}) {
        DspInstance osc(Plugin(), 48000.0, 100);
        osc.SetValue("Wave", wave, 0);
        osc.SetConstant("Modulation Depth", 0.5f, 0);
        osc.Open();
        osc.Run(500);
        for (float x : osc.Output("Output")) ASSERT_EQ(x, 0.0f) << wave;
    }
    // After a build, an unknown Wave keeps the table; depth changes rebuild nothing either.
    DspInstance osc(Plugin(), 48000.0, 100);
    osc.SetValue("Wave", 5, 0);
    osc.SetConstant("Modulation Depth", 0.5f, 0);
    osc.SetValue("Wave", 9, 200);
    osc.SetConstant("Modulation Depth", 0.9f, 300);
    osc.Open();
    osc.Run(600);
    const Table reso1(5, 0.5f);
    Player player{0.0f, 0.0f, Increment(0.5f, 48000.0f), &reso1};
    ExpectPlays(osc.Output("Output"), 0, 600, player);
}

TEST(Warpwave, ExamplePatchPlaysTheMelody) {
    double rate = 0.0;
    const std::vector<float> out = RenderExample("warpwave_notes", rate);
    ASSERT_EQ(out.size(), 5u * 44100u);
    float peak = 0.0f;
    for (float x : out) {
        ASSERT_TRUE(std::isfinite(x));
        peak = std::max(peak, std::fabs(x));
    }
    EXPECT_GT(peak, 0.3f);
    EXPECT_LE(peak, 1.0f);
    // The first note, A3 (220 Hz) at a low velocity: a nearly plain shape, one rising
    // crossing per cycle.
    EXPECT_NEAR(RisingCrossings(out, rate, 0.02, 0.2), 220.0, 12.0);
}

TEST(Warpwave, TableRebuildsInsideTheAudioCallAllocateNothing) {
    DspInstance osc(Plugin(), 44100.0, 64);
    osc.SetRecording(false);
    // The depth moves every sample (one rebuild per block); the Wave changes 40 times.
    osc.SetStream(
        "Modulation Depth", [](uint32_t n) { return (n % 1000) / 900.0f; }, 0);
    for (uint32_t k = 0; k < 40; ++k) osc.SetValue("Wave", 1 + k % 9, 100 + 90 * k);
    osc.Open();
    const std::size_t before = g_allocations.load();
    osc.Run(64 * 80);
    EXPECT_EQ(g_allocations.load() - before, 0u);
}

}  // namespace
