// ZOR Twin-Op driven through the substitute host: figures, algorithms, the on/off cycle and
// bad input, each compared sample for sample with a plain model of the oscillator.
#include <gtest/gtest.h>
#include <kvhost/host.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numbers>
#include <set>
#include <vector>

namespace {

constexpr int32_t kCycle = 33554432;

// The oscillator written out the long way: one power and one division at every pitch
// change, the phase wrapped by subtracting one cycle.
struct Model {
    explicit Model(int32_t rate) : rate(rate) {
        double angle = -static_cast<double>(static_cast<float>(std::numbers::pi));
        const double step = static_cast<double>(static_cast<float>(2.0 * std::numbers::pi / 513));
        for (float& entry : sine) {
            entry = static_cast<float>(0.5 * std::sin(angle));
            angle += step;
        }
    }

    int32_t Increment(double s, float& last) {
        if (s > static_cast<double>(0.99f)) {
            last = 0.99f;
        } else if (s < 0.0 || std::isnan(s)) {
            last = 0.0f;
        } else {
            last = static_cast<float>(s);
        }
        const auto k = static_cast<int32_t>(
            std::nearbyint(static_cast<float>(static_cast<double>(last) * 100000.0)));
        const auto f = static_cast<float>(440.0 * std::pow(2.0, k / 10000.0 - 5.0));
        return static_cast<int32_t>(
            std::nearbyint(static_cast<float>(static_cast<double>(f) / rate * 65536.0 * 512.0)));
    }
    static void Advance(int32_t& phase, int32_t increment) {
        phase += increment;
        if (phase >= kCycle) phase -= kCycle;
    }

    float Feedback(float pitch1, float level1) {
        const double s = static_cast<double>(memory) + pitch1;
        if (s != last1) inc1 = Increment(s, last1);
        Advance(phase1, inc1);
        const float v = sine[phase1 >> 16];
        memory = static_cast<float>(static_cast<double>(v) * level1);
        return v;
    }
    float TwoOperator(float pitch1, float level1, float pitch2, float level2) {
        if (pitch2 != last2) inc2 = Increment(pitch2, last2);
        Advance(phase2, inc2);
        const double m = static_cast<double>(sine[phase2 >> 16]) * level2;
        const double s = m + pitch1;
        if (s != last1) inc1 = Increment(s, last1);
        Advance(phase1, inc1);
        memory = static_cast<float>(static_cast<double>(sine[phase1 >> 16]) * level1);
        return memory;
    }

    int32_t rate;
    float sine[513];
    int32_t phase1 = 0, inc1 = 0, phase2 = 0, inc2 = 0;
    float last1 = -99.0f, last2 = -99.0f, memory = 0.0f;
};

uint32_t Bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

// Inputs that move every sample, so pitch changes and feedback are exercised.
float Sweep1(uint32_t c) {
    return 0.45f + 0.4f * std::sin(0.0031f * static_cast<float>(c));
}
float Level1(uint32_t c) {
    return 1.3f * std::sin(0.0007f * static_cast<float>(c));
}
float Sweep2(uint32_t c) {
    return 0.3f + 0.25f * std::sin(0.0013f * static_cast<float>(c));
}
float Level2(uint32_t c) {
    return 0.2f + 0.2f * std::sin(0.0005f * static_cast<float>(c));
}

class TwinOp : public ::testing::Test {
  protected:
    std::unique_ptr<kvhost::DspInstance> Make(double rate = 44100.0, int32_t block = 256) {
        auto dsp =
            std::make_unique<kvhost::DspInstance>(kvhost::Plugin::Load("ZOR Twin-Op"), rate, block);
        dsp->Open();
        return dsp;
    }
    // Counts samples of `out` from `from` that differ bit for bit from `expected`.
    static int32_t Mismatches(const std::vector<float>& out, uint32_t from,
                              const std::vector<float>& expected) {
        int32_t bad = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (from + i >= out.size() || Bits(out[from + i]) != Bits(expected[i])) ++bad;
        }
        return bad;
    }
};

TEST_F(TwinOp, IdentityAndPins) {
    auto plugin = kvhost::Plugin::Load("ZOR Twin-Op");
    EXPECT_STREQ(plugin->Info().name, "ZOR Twin-Op");
    EXPECT_STREQ(plugin->Info().id, "ZOR Twin-Op");
    EXPECT_EQ(plugin->Info().frame_revision, 2230);
    EXPECT_NE(std::string(plugin->Info().about).find("\n\nPitch : 0.0v ~ 10.0v"),
              std::string::npos);
    EXPECT_EQ(plugin->MakeModule()(0, 2, nullptr, nullptr), nullptr);
    kvhost::DspInstance dsp(plugin);
    const auto& pins = dsp.Pins();
    ASSERT_EQ(pins.size(), 7u);
    const char* names[] = {"On/Off",    "Algorithm", "OP1 Pitch", "OP1 FB/Level",
                           "OP2 Pitch", "OP2 Level", "Output"};
    const char* defaults[] = {"1", "0", "5", "10", "5", "0", nullptr};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(pins[i].name, names[i]);
        EXPECT_EQ(pins[i].flags, 0);
        EXPECT_EQ(pins[i].default_value.has_value(), defaults[i] != nullptr);
        if (defaults[i] != nullptr) {
            EXPECT_EQ(*pins[i].default_value, defaults[i]);
        }
    }
    EXPECT_EQ(*pins[0].choices, "On=1,Off=0");
    EXPECT_EQ(*pins[1].choices, "1->1=0,2->1=1,Test=3");
    EXPECT_EQ(pins[6].direction, DR_OUT);
    EXPECT_EQ(pins[2].datatype, DT_FSAMPLE);
}

TEST_F(TwinOp, A440AtBothRatesUsesTheExactIncrement) {
    for (auto [rate, increment] : {std::pair{44100.0, 334783}, std::pair{48000.0, 307582}}) {
        auto dsp = Make(rate);
        dsp->SetConstant("OP1 FB/Level", 0.0f, 0);
        dsp->Run(4000);
        Model model(static_cast<int32_t>(rate));
        const auto& out = dsp->Output("Output");
        int32_t bad = 0;
        float high = -1.0f;
        for (uint32_t n = 0; n < 4000; ++n) {
            const int64_t phase = (static_cast<int64_t>(n + 1) * increment) % kCycle;
            if (Bits(out[n]) != Bits(model.sine[phase >> 16])) ++bad;
            high = std::max(high, out[n]);
        }
        EXPECT_EQ(bad, 0) << rate;
        EXPECT_LE(high, 0.5f);
        EXPECT_GT(high, 0.4999f);
    }
    // Output announced as a stream when the host's initial statuses switch it on.
    auto dsp = Make();
    dsp->Run(1);
    bool stream = false;
    for (const auto& s : dsp->Statuses()) stream |= s.pin == 6 && s.status == PS_STREAM;
    EXPECT_TRUE(stream);
}

TEST_F(TwinOp, PitchesBeyondTheRangeAndNaNAreClamped) {
    // 10 V plays as 9.9 V (13,137.104 Hz), −3 V as 0 V, NaN as 0 V.
    struct Case {
        float pitch;
        float plays_as;
    };
    for (Case c :
         {Case{1.0f, 0.99f}, Case{-0.3f, 0.0f}, Case{std::numeric_limits<float>::quiet_NaN(), 0.0f},
          Case{std::numeric_limits<float>::infinity(), 0.99f},
          Case{-std::numeric_limits<float>::infinity(), 0.0f}}) {
        auto dsp = Make();
        dsp->SetConstant("OP1 FB/Level", 0.0f, 0);
        dsp->SetConstant("OP1 Pitch", c.pitch, 0);
        dsp->Run(2000);
        Model model(44100);
        std::vector<float> expected;
        for (int n = 0; n < 2000; ++n) expected.push_back(model.Feedback(c.plays_as, 0.0f));
        EXPECT_EQ(Mismatches(dsp->Output("Output"), 0, expected), 0) << c.pitch;
    }
    // In "2->1" a NaN on "OP2 Pitch" plays operator 2 at 0 V as well.
    auto fm = Make();
    fm->SetValue("Algorithm", 1, 0);
    fm->SetConstant("OP2 Pitch", std::numeric_limits<float>::quiet_NaN(), 0);
    fm->SetConstant("OP2 Level", 0.3f, 0);
    fm->Run(2000);
    Model fm_model(44100);
    std::vector<float> expected;
    for (int n = 0; n < 2000; ++n) expected.push_back(fm_model.TwoOperator(0.5f, 1.0f, 0.0f, 0.3f));
    EXPECT_EQ(Mismatches(fm->Output("Output"), 0, expected), 0);

    Model model(44100);
    float last = 0;
    EXPECT_EQ(model.Increment(0.99f, last), 9995648);  // 13137.104 / 44100 × 2^25
}

TEST_F(TwinOp, FeedbackMatchesTheModelAndTestEqualsOneToOne) {
    // "1->1" with a moving pitch and feedback amount: every sample recomputes its increment.
    std::vector<float> outputs[2];
    for (int variant = 0; variant < 2; ++variant) {
        auto dsp = Make();
        dsp->SetValue("Algorithm", variant == 0 ? 0 : 3, 0);
        dsp->SetStream("OP1 Pitch", Sweep1, 0);
        dsp->SetStream("OP1 FB/Level", Level1, 0);
        dsp->Run(20000);
        outputs[variant] = dsp->Output("Output");
    }
    Model model(44100);
    std::vector<float> expected;
    for (uint32_t n = 0; n < 20000; ++n) expected.push_back(model.Feedback(Sweep1(n), Level1(n)));
    EXPECT_EQ(Mismatches(outputs[0], 0, expected), 0);
    EXPECT_EQ(Mismatches(outputs[1], 0, outputs[0]), 0);  // "Test" sample for sample

    // With the default level 1.0 the feedback sweeps the pitch, but the output stays ±0.5.
    auto dsp = Make();
    dsp->SetStream("OP1 Pitch", Sweep1, 0);
    dsp->Run(5000);
    Model fb(44100);
    expected.clear();
    for (uint32_t n = 0; n < 5000; ++n) expected.push_back(fb.Feedback(Sweep1(n), 1.0f));
    EXPECT_EQ(Mismatches(dsp->Output("Output"), 0, expected), 0);
    for (float v : dsp->Output("Output")) ASSERT_LE(std::fabs(v), 0.5f);
}

TEST_F(TwinOp, TwoOperatorMatchesTheModel) {
    auto dsp = Make();
    dsp->SetValue("Algorithm", 1, 0);
    dsp->SetStream("OP1 Pitch", Sweep1, 0);
    dsp->SetStream("OP1 FB/Level", Level1, 0);
    dsp->SetStream("OP2 Pitch", Sweep2, 0);
    dsp->SetStream("OP2 Level", Level2, 0);
    dsp->Run(20000);
    Model model(44100);
    std::vector<float> expected;
    for (uint32_t n = 0; n < 20000; ++n) {
        expected.push_back(model.TwoOperator(Sweep1(n), Level1(n), Sweep2(n), Level2(n)));
    }
    EXPECT_EQ(Mismatches(dsp->Output("Output"), 0, expected), 0);

    // "OP2 Level" 0: operator 1's sine scaled by "OP1 FB/Level"; level 0: silence.
    auto plain = Make();
    plain->SetValue("Algorithm", 1, 0);
    plain->SetConstant("OP1 FB/Level", 0.25f, 0);
    plain->Run(3000);
    plain->SetConstant("OP1 FB/Level", 0.0f, 3000);
    plain->Run(1000);
    Model sine(44100);
    expected.clear();
    for (int n = 0; n < 3000; ++n) expected.push_back(sine.TwoOperator(0.5f, 0.25f, 0.5f, 0.0f));
    EXPECT_EQ(Mismatches(plain->Output("Output"), 0, expected), 0);
    for (uint32_t n = 3000; n < 4000; ++n) ASSERT_EQ(plain->Output("Output")[n], 0.0f);

    // Switching to "1->1" feeds the last "2->1" output back first.
    plain->SetValue("Algorithm", 0, 4000);
    plain->SetConstant("OP1 FB/Level", 1.0f, 4000);
    plain->Run(10);
    for (int n = 0; n < 1000; ++n) sine.TwoOperator(0.5f, 0.0f, 0.5f, 0.0f);
    expected.clear();
    for (int n = 0; n < 10; ++n) expected.push_back(sine.Feedback(0.5f, 1.0f));
    EXPECT_EQ(Mismatches(plain->Output("Output"), 4000, expected), 0);
}

TEST_F(TwinOp, OnOffCycleKeepsThePhase) {
    const int32_t block = 256;
    auto dsp = Make(44100.0, block);
    dsp->SetConstant("OP1 FB/Level", 0.0f, 0);
    dsp->Run(1000);
    const std::size_t statuses_before = dsp->Statuses().size();
    dsp->SetValue("On/Off", 0, 1000);
    dsp->Run(2000);
    // Off: PS_STEP at the switching sample, zeros from there, dormant after a block.
    ASSERT_GT(dsp->Statuses().size(), statuses_before);
    const auto off = dsp->Statuses()[statuses_before];
    EXPECT_EQ(off.pin, 6);
    EXPECT_EQ(off.status, PS_STEP);
    EXPECT_EQ(off.clock, 1000u);
    for (uint32_t n = 1000; n < 3000; ++n) ASSERT_EQ(dsp->Output("Output")[n], 0.0f) << n;
    ASSERT_FALSE(dsp->DormantRequests().empty());
    // Recorded at the start of the slice that asked: the block holding sample 1000 + 255.
    EXPECT_EQ(dsp->DormantRequests().front(), 1024u);
    EXPECT_TRUE(dsp->IsDormant());

    // An algorithm chosen while off stays silent until switched on; then it plays.
    dsp->SetValue("Algorithm", 1, 3000);
    dsp->SetConstant("OP1 FB/Level", 0.5f, 3000);
    dsp->Run(500);
    for (uint32_t n = 3000; n < 3500; ++n) ASSERT_EQ(dsp->Output("Output")[n], 0.0f) << n;
    const std::size_t before_on = dsp->Statuses().size();
    dsp->SetValue("On/Off", 1, 3500);
    dsp->Run(1000);
    ASSERT_GT(dsp->Statuses().size(), before_on);
    EXPECT_EQ(dsp->Statuses()[before_on].status, PS_STREAM);
    EXPECT_EQ(dsp->Statuses()[before_on].clock, 3500u);

    // The phase resumes where it stopped: 1000 samples of "1->1", then "2->1".
    Model model(44100);
    for (int n = 0; n < 1000; ++n) model.Feedback(0.5f, 0.0f);
    std::vector<float> expected;
    for (int n = 0; n < 1000; ++n) expected.push_back(model.TwoOperator(0.5f, 0.5f, 0.5f, 0.0f));
    EXPECT_EQ(Mismatches(dsp->Output("Output"), 3500, expected), 0);

    // Algorithm 2 is not offered: the running function stays.
    dsp->SetValue("Algorithm", 2, 4500);
    dsp->Run(500);
    expected.clear();
    for (int n = 0; n < 500; ++n) expected.push_back(model.TwoOperator(0.5f, 0.5f, 0.5f, 0.0f));
    EXPECT_EQ(Mismatches(dsp->Output("Output"), 4500, expected), 0);
}

TEST_F(TwinOp, LowRatesAndExtremeInputsStayInsideTheTableAndFinite) {
    Model table(44100);
    const std::set<float> sine(table.sine, table.sine + 512);
    // At these rates the top pitches reach or pass a whole cycle per sample.
    for (double rate : {13000.0, 8000.0, 100.0, 1.0}) {
        for (int algorithm : {0, 1}) {
            auto dsp = Make(rate);
            dsp->SetValue("Algorithm", algorithm, 0);
            dsp->SetStream("OP1 Pitch", Sweep1, 0);
            dsp->SetConstant("OP1 FB/Level", 1.0f, 0);
            dsp->SetConstant("OP2 Pitch", 0.99f, 0);
            dsp->SetConstant("OP2 Level", 0.5f, 0);
            dsp->Run(3000);
            for (float v : dsp->Output("Output")) ASSERT_EQ(sine.count(v), 1u) << rate << " " << v;
        }
    }
    // Huge finite levels and pitches: every output finite.
    const float huge = std::numeric_limits<float>::max();
    for (int algorithm : {0, 1}) {
        auto dsp = Make();
        dsp->SetValue("Algorithm", algorithm, 0);
        dsp->SetStream(
            "OP1 Pitch", [&](uint32_t c) { return c % 3 == 0 ? huge : -huge; }, 0);
        dsp->SetStream(
            "OP1 FB/Level", [&](uint32_t c) { return c % 2 == 0 ? huge : -huge; }, 0);
        dsp->SetStream(
            "OP2 Pitch", [&](uint32_t c) { return c % 5 == 0 ? -huge : huge; }, 0);
        dsp->SetConstant("OP2 Level", huge, 0);
        dsp->Run(2000);
        for (float v : dsp->Output("Output")) ASSERT_TRUE(std::isfinite(v)) << algorithm;
    }
}

}  // namespace
