// The animation-volts converter's user-interface side alone, driven by the host: volts to
// positions and back by "Min" and "Max", the request answer, and values out of step.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "anim_volts_test_util.h"

namespace anim_volts_test {
namespace {

using kvhost::GuiInstance;

enum : int32_t { kGui2Dsp = 0, kDsp2GuiIn = 2, kPosition = 3, kMin = 6, kMax = 7 };

// The float values the side wrote, as (pin, value), in order.
std::vector<std::pair<int32_t, float>> Writes(const GuiInstance& gui) {
    std::vector<std::pair<int32_t, float>> out;
    for (const GuiInstance::Request& r : gui.Log())
        if (r.opcode == GUIHOST_PUT_VALUE) out.emplace_back(r.index, r.opt);
    return out;
}

using Writes_t = std::vector<std::pair<int32_t, float>>;

TEST(AnimVoltsGui, InitResetsPinsOnlyWithoutTheFlag) {
    GuiInstance gui(Plugin());
    gui.Init(true);
    gui.SetFloat(kMin, 3.0f);
    gui.SetFloat(kMax, 4.0f);
    gui.SetFloat(kPosition, 0.5f);
    gui.ClearLog();
    gui.Init(true);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, 0.0f}}));
    EXPECT_EQ(gui.Float(kMin), 3.0f);
    EXPECT_EQ(gui.Float(kPosition), 0.5f);

    gui.ClearLog();
    gui.Init(false);
    EXPECT_EQ(
        Writes(gui),
        (Writes_t{
            {kPosition, 0.0f}, {kDsp2GuiIn, 0.0f}, {kMin, 0.0f}, {kMax, 10.0f}, {kGui2Dsp, 0.0f}}));
    EXPECT_EQ(gui.Float(kMax), 10.0f);
    // Min and Max were read again: a position now maps over 0 to 10.
    gui.ClearLog();
    gui.SetFloat(kPosition, 0.5f);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, 5.0f}}));
}

// The first ordinary value after init is dropped (the request does not count); later ones
// become positions, clamped to 0-1.
TEST(AnimVoltsGui, VoltsBecomeClampedPositions) {
    GuiInstance gui(Plugin());
    gui.Init(false);
    gui.ClearLog();
    gui.ReceiveFloat(kDsp2GuiIn, kRequest, true);
    gui.ReceiveFloat(kDsp2GuiIn, 2.5f, true);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, -0.0f}, {kGui2Dsp, 0.0f}}));
    EXPECT_EQ(gui.Float(kPosition), 0.0f);
    gui.ClearLog();
    gui.ReceiveFloat(kDsp2GuiIn, 2.5f, true);
    gui.ReceiveFloat(kDsp2GuiIn, 12.0f, true);
    gui.ReceiveFloat(kDsp2GuiIn, -1.0f, true);
    // The position writes notify the side itself; it must not answer them with volts.
    EXPECT_EQ(Writes(gui), (Writes_t{{kPosition, 0.25f}, {kPosition, 1.0f}, {kPosition, 0.0f}}));

    // A new Max writes nothing and applies to the next value.
    gui.ClearLog();
    gui.SetFloat(kMax, 20.0f);
    EXPECT_TRUE(Writes(gui).empty());
    gui.ReceiveFloat(kDsp2GuiIn, 10.0f, true);
    EXPECT_EQ(gui.Float(kPosition), 0.5f);
}

TEST(AnimVoltsGui, PositionsBecomeVoltsAndAnswerTheRequest) {
    GuiInstance gui(Plugin());
    gui.Init(false);
    gui.SetFloat(kMin, 2.0f);
    gui.SetFloat(kMax, 6.0f);
    gui.ClearLog();
    gui.SetFloat(kPosition, 0.25f);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, 3.0f}}));
    gui.ClearLog();
    gui.ReceiveFloat(kDsp2GuiIn, kRequest, true);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, -3.0f}, {kGui2Dsp, 3.0f}}));
    EXPECT_EQ(gui.Float(kPosition), 0.25f);
}

// Max equal to Min, NaN volts, a NaN Min or position, and values before init: never a NaN
// position or voltage.
TEST(AnimVoltsGui, ValuesOutOfStepNeverProduceNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto no_nan = [](const GuiInstance& gui) {
        for (const auto& [pin, value] : Writes(gui))
            if (std::isnan(value)) return false;
        return true;
    };
    {
        // Before init the default Min and Max apply.
        GuiInstance gui(Plugin());
        gui.SetFloat(kPosition, 0.5f);
        gui.ReceiveFloat(kDsp2GuiIn, 2.5f, true);  // dropped as the first value
        gui.ReceiveFloat(kDsp2GuiIn, 2.5f, true);
        EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, 5.0f}, {kPosition, 0.25f}}));
    }
    GuiInstance gui(Plugin());
    gui.Init(false);
    gui.ReceiveFloat(kDsp2GuiIn, 1.0f, true);  // the dropped first value
    gui.SetFloat(kMin, 2.0f);
    gui.SetFloat(kMax, 2.0f);
    gui.ClearLog();
    gui.ReceiveFloat(kDsp2GuiIn, 7.0f, true);
    gui.SetFloat(kPosition, 0.8f);
    EXPECT_EQ(Writes(gui), (Writes_t{{kPosition, 0.0f}, {kGui2Dsp, 2.0f}}));

    gui.SetFloat(kMax, 6.0f);
    gui.ClearLog();
    gui.ReceiveFloat(kDsp2GuiIn, nan, true);
    gui.ReceiveFloat(kDsp2GuiIn, std::numeric_limits<float>::infinity(), true);
    gui.SetFloat(kPosition, nan);
    gui.ReceiveFloat(kDsp2GuiIn, kRequest, true);
    EXPECT_TRUE(no_nan(gui));
    EXPECT_EQ(Writes(gui), (Writes_t{{kPosition, 1.0f}}));

    gui.SetFloat(kMin, nan);  // keeps Min 2
    gui.ClearLog();
    gui.SetFloat(kPosition, 0.5f);
    EXPECT_EQ(Writes(gui), (Writes_t{{kGui2Dsp, 4.0f}}));
}

}  // namespace
}  // namespace anim_volts_test
