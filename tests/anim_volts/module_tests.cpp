// Both sides of the animation-volts converter in the host, with "DSP 2 GUI - Out" carried to
// "DSP 2 GUI - In" and "GUI 2 DSP" carried back: the request exchange after open, a streaming
// input moving the control, and the control setting "Volts Out" while the input is still.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "anim_volts_test_util.h"

namespace anim_volts_test {
namespace {

using kvhost::ModuleInstance;

enum : int32_t { kGui2Dsp = 0, kPosition = 3 };

// Both sides, opened, with the request exchange done.
class BothSides {
  public:
    explicit BothSides(float min = 0.0f) : m(Plugin()) {
        m.Carry("DSP 2 GUI - Out", "DSP 2 GUI - In");
        m.Gui().SetFloat("Min", min);
        m.Open(true);
        m.Run(64);  // the request goes out one sample after open
        m.Run(64);  // the answer arrives
    }
    // The audio side announces its closing value while the instance is being torn down;
    // nothing on this side may still listen then.
    ~BothSides() {
        m.Dsp().SetStatusListener(nullptr);
        m.Gui().SetWriteListener(nullptr);
    }
    BothSides(const BothSides&) = delete;
    BothSides& operator=(const BothSides&) = delete;
    float VoltsOut() { return m.Dsp().Output("Volts Out").back(); }
    std::vector<float> WritesTo(int32_t pin) {
        std::vector<float> out;
        for (const auto& r : m.Gui().Log())
            if (r.opcode == GUIHOST_PUT_VALUE && r.index == pin) out.push_back(r.opt);
        return out;
    }

    ModuleInstance m;
};

TEST(AnimVoltsModule, RequestAfterOpenBringsTheControlsVolts) {
    BothSides both(2.0f);  // position 0 over Min 2 to Max 10: 2 V
    const std::vector<float> answer = both.WritesTo(kGui2Dsp);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(answer[answer.size() - 2], -2.0f);
    EXPECT_EQ(answer.back(), 2.0f);
    EXPECT_EQ(both.VoltsOut(), static_cast<float>(2.0 * 0.1));
    EXPECT_TRUE(both.m.Dsp().IsDormant());
    // The first ordinary report after the request is the one the control drops.
    EXPECT_TRUE(both.WritesTo(kPosition).empty());
}

// Each tick's report moves the control once: every report but the first (dropped by the
// user-interface side) becomes the position of the sampled volts over Min 0 to Max 10.
TEST(AnimVoltsModule, StreamingInputMovesTheControlAtTheSamplingRate) {
    BothSides both;
    kvhost::DspInstance& dsp = both.m.Dsp();
    const int32_t report_pin = dsp.DspPin("DSP 2 GUI - Out");
    const size_t statuses_before = dsp.Statuses().size();
    dsp.SetStream("Volts In", Ramp, dsp.Clock());
    both.m.Run(20000);
    std::vector<uint32_t> ticks;
    for (size_t i = statuses_before; i < dsp.Statuses().size(); ++i) {
        const auto& s = dsp.Statuses()[i];
        if (s.pin == report_pin && s.status == PS_STEP) ticks.push_back(s.clock);
    }
    ASSERT_GE(ticks.size(), 15u);
    for (size_t i = 1; i < ticks.size(); ++i) ASSERT_EQ(ticks[i] - ticks[i - 1], 1102u);
    const std::vector<float> positions = both.WritesTo(kPosition);
    ASSERT_EQ(positions.size(), ticks.size() - 1);
    for (size_t i = 1; i < ticks.size(); ++i) {
        // "End": the last sample before the tick, in volts, scaled by 1/10.
        const float volts = static_cast<float>(static_cast<double>(Ramp(ticks[i] - 1)) * 10.0);
        const float expected = static_cast<float>(static_cast<double>(volts) * 0.1f);
        ASSERT_EQ(positions[i - 1], expected) << "tick at " << ticks[i];
    }
    EXPECT_EQ(both.m.Gui().Float("Anim Position"), positions.back());
    // The control's own moves were not sent back as volts.
    EXPECT_EQ(both.WritesTo(kGui2Dsp).size(), 3u);  // init's 0, then the request answer
}

// Moving the control sets "Volts Out" while the input is still, changes nothing while it
// streams, and takes over again once the stream has gone still.
TEST(AnimVoltsModule, ControlSetsVoltsOutWhileTheInputIsStill) {
    BothSides both;
    kvhost::DspInstance& dsp = both.m.Dsp();
    both.m.Gui().SetFloat("Anim Position", 0.75f);
    both.m.Run(2000);
    EXPECT_EQ(both.VoltsOut(), 0.75f);
    EXPECT_TRUE(dsp.IsDormant());

    dsp.SetStream("Volts In", Ramp, dsp.Clock());
    both.m.Run(3000);
    both.m.Gui().SetFloat("Anim Position", 0.125f);
    both.m.Run(3000);
    EXPECT_EQ(both.VoltsOut(), Ramp(dsp.Clock() - 1));

    dsp.SetConstant("Volts In", 0.3f, dsp.Clock());
    both.m.Run(300);
    EXPECT_EQ(both.m.Gui().Float("Anim Position"), static_cast<float>(3.0 * 0.1f));
    both.m.Gui().SetFloat("Anim Position", 0.25f);
    const uint32_t moved = dsp.Clock();
    both.m.Run(5000);
    const std::vector<float>& out = dsp.Output("Volts Out");
    for (uint32_t c = moved; c < dsp.Clock(); ++c) ASSERT_EQ(out[c], 0.25f) << c;
    EXPECT_TRUE(dsp.IsDormant());
}

}  // namespace
}  // namespace anim_volts_test
