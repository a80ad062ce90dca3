// ZOR Basic Voice driven through the host: identity and pins, block-start pitch with its band
// and limit, hard sync, waves (the random one included), the on/off cycle with its
// dormancy, values left open before the first update, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BandTables.h"
#include "Oscillator.h"
#include "kvhost/host.h"
#include "test_support.h"

namespace {

using namespace basic_voice;
using kvhost::DspInstance;

std::shared_ptr<kvhost::Plugin> Plugin() {
    static const std::shared_ptr<kvhost::Plugin> plugin = kvhost::Plugin::Load("ZOR Basic Voice");
    return plugin;
}

// The ten bands of one wave, as the module builds them.
struct Bands {
    std::vector<float> band = std::vector<float>(kBandStore, 0.0f);
    std::vector<float> diff = std::vector<float>(kBandStore, 0.0f);
    Bands() = default;
    explicit Bands(const float* wave) { BuildBands(wave, band.data(), diff.data()); }
    explicit Bands(int32_t wave) {
        static BaseWaves waves;
        uint32_t state = 1;
        BuildBaseWaves(waves, state);
        BuildBands(waves[wave - 1], band.data(), diff.data());
    }
};

// The playback as the module's documentation states it, for bit-exact comparison.
struct Player {
    float phase = 0.0f;
    float last_sync = 0.0f;
    float increment = 0.0f;
    const Bands* bands = nullptr;
    int32_t band = 0;

    float Next(float sync = 0.0f) {
        phase += increment;
        if (phase >= kTwoPi) phase -= kTwoPi;
        if (!(last_sync >= 0.0f) && sync >= 0.0f) phase = 0.0f;
        last_sync = sync;
        const float b = kIndexScale * phase;
        const int32_t idx = RoundEven(b);
        const std::size_t at = static_cast<std::size_t>(band * kWaveLength + idx);
        return static_cast<float>(
            bands->band[at] + static_cast<double>(b - static_cast<float>(idx)) * bands->diff[at]);
    }
};

float Increment(float pitch, float rate) {
    return PhaseIncrement(PitchToFrequency(pitch > kPitchLimit ? kPitchLimit : pitch),
                          RadiansPerHertz(rate));
}

void ExpectPlays(const std::vector<float>& out, uint32_t from, uint32_t to, Player& player,
                 const std::function<float(uint32_t)>& sync = nullptr) {
    ASSERT_GE(out.size(), to);
    for (uint32_t n = from; n < to; ++n) {
        const float expected = player.Next(sync ? sync(n) : 0.0f);
        ASSERT_EQ(out[n], expected) << "sample " << n;
    }
}

TEST(BasicVoice, IdentityAndPinTableOnTheOlderFrame) {
    const auto plugin = Plugin();
    EXPECT_STREQ(plugin->Info().name, "ZOR Basic Voice");
    EXPECT_STREQ(plugin->Info().id, "ZOR Basic Voice");
    EXPECT_EQ(plugin->Revision(), 2120);
    const std::string about = plugin->Info().about;
    EXPECT_EQ(about.rfind("ZOR Basic Voice\n", 0), 0u);
    const auto basic = about.find("\nBasic Wave Oscillator\n\n");
    const auto lines = about.find(
        "\n\nSync - Restarts Waveform on VC Rising\n"
        "On/Off - Oscillator On/Off\n\n\n");
    ASSERT_NE(basic, std::string::npos);
    ASSERT_NE(lines, std::string::npos);
    EXPECT_LT(basic, lines);

    DspInstance osc(plugin);
    const auto& pins = osc.Pins();
    ASSERT_EQ(pins.size(), 5u);
    const char* names[] = {"Pitch", "Sync", "Wave", "On/Off", "Output"};
    const int32_t types[] = {DT_FSAMPLE, DT_FSAMPLE, DT_CHOICE, DT_CHOICE, DT_FSAMPLE};
    const char* defaults[] = {"5", "0", "1", "1", "0"};
    for (std::size_t k = 0; k < pins.size(); ++k) {
        EXPECT_EQ(pins[k].name, names[k]);
        EXPECT_EQ(pins[k].datatype, types[k]);
        EXPECT_EQ(pins[k].direction, k == 4 ? DR_OUT : DR_INPUT);
        EXPECT_EQ(pins[k].flags, 0);
        EXPECT_EQ(pins[k].default_value.value_or(""), defaults[k]);
    }
    EXPECT_EQ(*pins[2].choices, "Sine=1,Saw=2,Ramp=3,Triangle=4,Square=5,Pulse 1=6,Pulse 2=7");
    EXPECT_EQ(*pins[3].choices, "On=1,Off=0");
    // The older frame answers no call information.
    EXPECT_EQ(osc.Record()->dispatch(osc.Record(), MOD_CALL_INFO, 0, 0, nullptr, 0.0f), 0);
}

TEST(BasicVoice, DefaultsPlayTheSineFromBandThreeAt440Hz) {
    EXPECT_EQ(PitchToFrequency(0.5f), 440.0f);
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", Increment(0.5f, 44100.0f));
    EXPECT_STREQ(text, "0.0626894");
    EXPECT_EQ(kIndexScale, 40.336227f);
    EXPECT_EQ(kIndexScale, static_cast<float>(0.99 * 256.0 / (2.0 * 3.14159265358979323846)));
    EXPECT_EQ(BandForPitch(0.5f), 3);

    DspInstance osc(Plugin());
    osc.Open();
    osc.Run(4096);
    const Bands sine(1);
    Player player{0.0f, 0.0f, Increment(0.5f, 44100.0f), &sine, 3};
    ExpectPlays(osc.Output("Output"), 0, 4096, player);
    ASSERT_EQ(osc.Statuses().size(), 4u);
    for (const auto& s : osc.Statuses()) {
        EXPECT_EQ(s.pin, 4);
        EXPECT_EQ(s.status, PS_STREAM);
        EXPECT_EQ(s.clock, 0u);
    }
    EXPECT_TRUE(osc.DormantRequests().empty());
}

TEST(BasicVoice, BlockStartPitchChoosesTheBandBeforeTheLimit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", PitchToFrequency(kPitchLimit));
    EXPECT_STREQ(text, "7040");
    EXPECT_EQ(PitchToFrequency(-1.0f), 440.0f / 32768.0f);

    // Pitch steps inside blocks are heard from the next block: 0.4999 (band 2), then 0.8
    // (band 9), then 0.95 (band 9, played at 0.9), then -1 (band 0).
    const auto pitch = [](uint32_t n) {
        return n < 1100 ? 0.4999f : n < 2100 ? 0.8f : n < 3100 ? 0.95f : -1.0f;
    };
    DspInstance osc(Plugin());
    osc.SetValue("Wave", 5, 0);
    osc.SetStream("Pitch", pitch, 0);
    osc.Open();
    osc.Run(5120);
    const auto& out = osc.Output("Output");
    const Bands square(5);
    Player player{0.0f, 0.0f, Increment(0.4999f, 44100.0f), &square, 2};
    ExpectPlays(out, 0, 2048, player);
    player.increment = Increment(0.8f, 44100.0f);
    player.band = 9;
    ExpectPlays(out, 2048, 3072, player);
    player.increment = Increment(0.9f, 44100.0f);
    ExpectPlays(out, 3072, 4096, player);
    player.increment = Increment(-1.0f, 44100.0f);
    player.band = 0;
    ExpectPlays(out, 4096, 5120, player);
}

TEST(BasicVoice, SyncRestartsOnRisingEdgesAndBandZeroStartsWithADefinedSlope) {
    const auto sync = [](uint32_t n) -> float {
        if (n < 300) return -0.1f;
        if (n < 1300) return 0.0f;  // rising at 300
        if (n < 1400) return kNaN;  // counts as negative: 1,400 rises again
        if (n < 2000) return 1.0f;
        if (n < 2100) return -5.0f;  // held negative: no restart...
        return 0.0f;                 // ...until it reaches 0 at 2,100
    };
    DspInstance osc(Plugin());
    osc.SetValue("Wave", 3, 0);
    osc.SetConstant("Pitch", 0.0f, 0);  // 13.75 Hz from band 0
    osc.SetStream("Sync", sync, 0);
    osc.Open();
    osc.Run(3072);
    const auto& out = osc.Output("Output");
    const Bands ramp(3);
    Player player{0.0f, 0.0f, Increment(0.0f, 44100.0f), &ramp, 0};
    ExpectPlays(out, 0, 3072, player, sync);
    // From each restart the first samples read element 0 with a fraction up to 0.5; its
    // slope is defined as 0, so they all play element 0 itself.
    for (uint32_t edge : {300u, 1400u, 2100u}) {
        for (uint32_t n = edge; n < edge + 6; ++n) EXPECT_EQ(out[n], ramp.band[0]) << n;
    }
    EXPECT_NE(out[2099], ramp.band[0]);
}

TEST(BasicVoice, SwitchingOffGoesDormantAfterABlockAndWaveChangesWhileOffPlayAtOnce) {
    DspInstance osc(Plugin());
    osc.Open();
    osc.SetValue("On/Off", 0, 2000);
    osc.SetValue("Wave", 4, 3500);
    osc.SetValue("Wave", 4, 3600);  // the same value: nothing rebuilt, the countdown restarts
    osc.SetValue("On/Off", 1, 6000);
    osc.Run(8192);
    const auto& out = osc.Output("Output");
    const float increment = Increment(0.5f, 44100.0f);
    const Bands sine(1), triangle(4);
    Player player{0.0f, 0.0f, increment, &sine, 3};
    ExpectPlays(out, 0, 2000, player);
    for (uint32_t n = 2000; n < 6000; ++n) ASSERT_EQ(out[n], 0.0f) << n;
    player.bands = &triangle;  // phase stood still while off
    ExpectPlays(out, 6000, 8192, player);

    EXPECT_EQ(osc.DormantRequests(), (std::vector<uint32_t>{2048u, 4096u}));
    std::vector<uint32_t> after_open;
    for (const auto& s : osc.Statuses()) {
        if (s.clock > 0) after_open.push_back(s.clock);
        EXPECT_EQ(s.status, PS_STREAM);
    }
    EXPECT_EQ(after_open, std::vector<uint32_t>{6000u});

    // Before any update the module runs its off-state function: silence from unbuilt
    // bands, and HOST_DORMANT once a block has passed.
    RawDriver raw(Plugin()->MakeModule(), 44100.0f, 64);
    for (int32_t n = 0; n < 64; ++n) raw.Buffer(0)[n] = 0.5f;
    raw.Process(0, 32);
    EXPECT_EQ(raw.Dormant(), 0);
    raw.Process(32, 32);
    EXPECT_EQ(raw.Dormant(), 1);
    for (int32_t n = 0; n < 64; ++n) EXPECT_EQ(raw.Buffer(4)[n], 0.0f);
}

TEST(BasicVoice, WaveEightIsReachableAndSuccessiveInstancesDrawSuccessiveStretches) {
    DspInstance first(Plugin()), second(Plugin());
    first.SetValue("Wave", 8, 0);
    second.SetValue("Wave", 8, 0);
    first.Open();
    second.Open();
    first.Run(600);
    second.Run(600);
    // Find the stretch of the sequence (started at 1) the first instance drew.
    static BaseWaves waves;
    uint32_t state = 1;
    int32_t found = -1;
    for (int32_t stretch = 0; stretch < 2000 && found < 0; ++stretch) {
        BuildBaseWaves(waves, state);
        const Bands noise(waves[7]);
        Player player{0.0f, 0.0f, Increment(0.5f, 44100.0f), &noise, 3};
        bool same = true;
        for (uint32_t n = 0; n < 600 && same; ++n)
            same = first.Output("Output")[n] == player.Next();
        if (!same) continue;
        found = stretch;
        BuildBaseWaves(waves, state);  // the next stretch belongs to the second instance
        const Bands next(waves[7]);
        Player second_player{0.0f, 0.0f, Increment(0.5f, 44100.0f), &next, 3};
        ExpectPlays(second.Output("Output"), 0, 600, second_player);
    }
    EXPECT_GE(found, 0);
}

TEST(BasicVoice, WavesOutsideOneToEightKeepTheBands) {
    for (int32_t wave : {0, 9, -1, 64, 32767, -32768}) {
        // A later odd value keeps the pulse.
        DspInstance osc(Plugin(), 48000.0, 128);
        osc.Open();
        osc.SetValue("Wave", 6, 0);
        osc.SetValue("Wave", wave, 500);
        osc.Run(1500);
        const Bands pulse(6);
        Player player{0.0f, 0.0f, Increment(0.5f, 48000.0f), &pulse, 3};
        ExpectPlays(osc.Output("Output"), 0, 1500, player);
    }
}

TEST(BasicVoice, BadInputNeverLeavesTheBandsOrTurnsNonFinite) {
    // Rates at or below 7,040 Hz: the phase advances by the same angle modulo 2*pi.
    for (float rate : {8000.0f, 4000.0f, 1000.0f, 1.0f}) {
        DspInstance osc(Plugin(), rate, 256);
        osc.SetValue("Wave", 7, 0);
        osc.SetConstant("Pitch", 0.9f, 0);
        osc.Open();
        osc.Run(3000);
        const Bands pulse(7);
        const float increment = Increment(0.9f, rate);
        EXPECT_GE(increment, 0.0f);
        EXPECT_LT(increment, kTwoPi);
        Player player{0.0f, 0.0f, increment, &pulse, 9};
        ExpectPlays(osc.Output("Output"), 0, 3000, player);
    }

    for (float rate : {1e-30f, 1e30f, 4000.0f, 44100.0f}) {
        for (int32_t wave : {1, 5, 8}) {
            DspInstance osc(Plugin(), rate, 61);
            osc.SetValue("Wave", wave, 0);
            osc.SetStream("Pitch", Wild, 0);
            osc.SetStream(
                "Sync", [](uint32_t n) { return Wild(n + 3); }, 0);
            osc.Open();
            osc.Run(2000);
            for (float x : osc.Output("Output")) {
                ASSERT_TRUE(std::isfinite(x)) << rate << " " << wave;
                ASSERT_LE(std::fabs(x), 1.0f) << rate << " " << wave;
            }
        }
    }

    // Rates the host refuses, straight through the record.
    for (float rate : {0.0f, -44100.0f, -1e-30f, kNaN, kInf, -kInf}) {
        for (float pitch : {0.5f, 0.9f, -1e30f, kInf, kNaN, 1e-40f}) {
            RawDriver raw(Plugin()->MakeModule(), rate, 64);
            raw.SetChoice(2, 5);
            raw.SetChoice(3, 1);
            for (int32_t n = 0; n < 64; ++n) {
                raw.Buffer(0)[n] = pitch;
                raw.Buffer(1)[n] = Wild(static_cast<uint32_t>(n));
            }
            raw.Update(2);
            for (int32_t k = 0; k < 20; ++k) raw.Process(k % 3, 61);
            raw.Process(64, 0);  // an empty slice at the buffer end reads nothing
            for (int32_t n = 0; n < 64; ++n) {
                ASSERT_TRUE(std::isfinite(raw.Buffer(4)[n])) << rate << " " << pitch;
                ASSERT_LE(std::fabs(raw.Buffer(4)[n]), 1.0f) << rate << " " << pitch;
            }
        }
    }
}

TEST(BasicVoice, ExamplePatchPlaysTheMelody) {
    double rate = 0.0;
    const std::vector<float> out = RenderExample("basic_voice_notes", rate);
    float peak = 0.0f;
    for (float x : out) {
        ASSERT_TRUE(std::isfinite(x));
        peak = std::max(peak, std::fabs(x));
    }
    EXPECT_GT(peak, 0.3f);
    EXPECT_LE(peak, 0.5f);
    // The last note, A6 (1,760 Hz, band 7), from 3.25 s: one rising crossing per cycle.
    EXPECT_NEAR(RisingCrossings(out, rate, 3.3, 3.6), 1760.0, 20.0);
    // The first, A1 (55 Hz, band 0).
    EXPECT_NEAR(RisingCrossings(out, rate, 0.02, 0.22), 55.0, 6.0);
}

TEST(BasicVoice, BandRebuildsAllocateNothing) {
    DspInstance osc(Plugin(), 44100.0, 64);
    osc.SetRecording(false);
    osc.SetStream(
        "Pitch", [](uint32_t n) { return (n % 700) / 700.0f; }, 0);
    for (uint32_t k = 0; k < 40; ++k) osc.SetValue("Wave", 1 + k % 10, 100 + 90 * k);
    osc.Open();
    const std::size_t before = g_allocations.load();
    osc.Run(64 * 80);
    EXPECT_EQ(g_allocations.load() - before, 0u);
}

}  // namespace
