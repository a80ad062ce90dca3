// The panel's models without a server: the GUI sides of a patch driven as the page drives
// them, and the scope frames and spectra cut from an output's samples.
#include <gtest/gtest.h>

#include <cmath>

#include "kvhost/panel.h"
#include "panel_client.h"

namespace {

using kvhost::Error;
using kvhost::GuiPatchModel;
using kvhost::PanelLayout;
using kvhost::PanelUpdates;
using kvhost::PinControl;
using kvpanel_test::Patch;

constexpr double kPi = 3.14159265358979323846;

std::vector<std::string> Values(GuiPatchModel& model) {
    std::vector<std::string> values;
    for (const auto& m : model.Layout().modules) {
        for (const auto& p : m.pins)
            values.push_back(m.name + "#" + std::to_string(p.index) + "=" + p.value);
    }
    return values;
}

// The message of the Error `f` throws ("" when it throws none).
template <class F>
std::string Refusal(F f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(GuiPatchModel, TextToFieldsAndBackReachThePagesAtOnce) {
    GuiPatchModel model(Patch("lists.json"));
    PanelUpdates quiet;
    model.Collect(quiet, false);
    EXPECT_TRUE(quiet.pins.empty()) << "nothing changed since the layout";

    model.Set("csv", "OUTPUT", "1,2,3");
    PanelUpdates u;
    model.Collect(u, false);
    std::map<int32_t, std::string> changed;
    for (const auto& c : u.pins) {
        EXPECT_EQ(c.module, 0);
        changed[c.pin] = c.value;
    }
    EXPECT_EQ(changed[0], "1,2,3");
    EXPECT_EQ(changed[1], "1");
    EXPECT_EQ(changed[2], "2");
    EXPECT_EQ(changed[3], "3");
    EXPECT_EQ(changed.count(4), 0u) << "FLOAT #4 stayed 0";

    model.Set("csv", "#2", "5.5");  // a field edited: the text is rebuilt
    EXPECT_EQ(model.Get("csv", "#2"), "5.5");
    EXPECT_EQ(model.Get("csv", "OUTPUT").substr(0, 27), "1.000000,5.500000,3.000000,");

    model.Set("scale", "Multiply by", "2");
    EXPECT_EQ(model.Get("scale", "Array Out"), "2.000000,4.000000,6.000000");
    model.Set("scale", "Array Out", "9,11");  // the inverse
    EXPECT_EQ(model.Get("scale", "Array In"), "4.500000,5.500000");
}

TEST(GuiPatchModel, RefusalsNameWhatIsWrongAndChangeNothing) {
    GuiPatchModel model(Patch("lists.json"));
    model.Set("csv", "OUTPUT", "1,2,3");
    const auto before = Values(model);
    PanelUpdates drained;
    model.Collect(drained, false);

    EXPECT_NE(Refusal([&] { model.Set("nosuch", "OUTPUT", "1"); }).find("no module \"nosuch\""),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Set("csv", "Volume", "1"); }).find("has no pin \"Volume\""),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Set("csv", "FLOAT", "1"); }).find("shared by 32 pins (#1-#32)"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Set("csv", "#34", "1"); }).find("no pin \"#34\""),
              std::string::npos);
    EXPECT_NE(Refusal([&] {
                  model.Set("scale", "Multiply by", "abc");
              }).find("\"scale.Multiply by\": \"abc\" is not a number"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Set("scale", "Add", "1e39"); }).find("out of range"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Set("csv", "Mode", "7"); }).find("is not one of"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Note(true, 60, 100); }).find("no live MIDI input"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { model.Watch("scale", "Array Out"); }).find("no audio"),
              std::string::npos);

    EXPECT_EQ(Values(model), before);
    PanelUpdates u;
    model.Collect(u, false);
    EXPECT_TRUE(u.pins.empty());
    // A choice by its label, as the control line takes it.
    model.Set("csv", "Mode", "Float --> Text");
    EXPECT_EQ(model.Get("csv", "Mode"), "1");
}

TEST(GuiPatchModel, LayoutGivesEachPinItsControlInTableOrder) {
    GuiPatchModel model(Patch("lists.json"));
    const PanelLayout layout = model.Layout();
    ASSERT_EQ(layout.modules.size(), 2u);
    EXPECT_EQ(layout.modules[0].name, "csv");
    EXPECT_EQ(layout.modules[1].plugin, "jx_VecMul");
    EXPECT_FALSE(layout.midi_input);
    const auto& csv = layout.modules[0].pins;
    ASSERT_EQ(csv.size(), 34u);
    EXPECT_EQ(csv[0].control, PinControl::kText);
    for (int i = 1; i <= 32; ++i) {
        EXPECT_EQ(csv[static_cast<std::size_t>(i)].index, i);
        EXPECT_EQ(csv[static_cast<std::size_t>(i)].control, PinControl::kNumber)
            << "a GUI side's value outputs are edited by the user";
    }
    EXPECT_EQ(csv[33].control, PinControl::kChoice);
    ASSERT_EQ(csv[33].choices.size(), 3u);
    EXPECT_EQ(csv[33].choices[2].first, "Float <-- Text");
    EXPECT_EQ(csv[33].choices[2].second, 2);
    EXPECT_NE(layout.modules[0].about.find("32 GUI Floats"), std::string::npos);
    EXPECT_EQ(layout.modules[1].pins[1].value, "1") << "\"Multiply by\" as newly placed";
    EXPECT_EQ(layout.modules[1].pins[3].value, "1.000000,2.000000,3.000000");
}

TEST(GuiPatchModel, WiresCarryBetweenGuiSidesAndWiredInputsFollowThem) {
    GuiPatchModel model(Patch("wired.json"));
    EXPECT_EQ(model.Get("scale", "Multiply by"), "2");
    EXPECT_EQ(model.Get("scale", "Array Out"), "2.000000,4.000000,6.000000");
    const PanelLayout layout = model.Layout();
    EXPECT_EQ(layout.modules[1].pins[1].control, PinControl::kReadout);
    EXPECT_EQ(layout.modules[1].pins[1].note, "from csv.#1");
    EXPECT_NE(Refusal([&] { model.Set("scale", "Multiply by", "3"); }).find("is wired from"),
              std::string::npos);

    model.Set("csv", "OUTPUT", "0.5");
    PanelUpdates u;
    model.Collect(u, false);
    EXPECT_EQ(model.Get("scale", "Array Out"), "0.500000,1.000000,1.500000");
    bool out_sent = false;
    for (const auto& c : u.pins) out_sent |= c.module == 1 && c.pin == 3;
    EXPECT_TRUE(out_sent) << "a change downstream of a wire reaches the pages too";
}

TEST(GuiPatchModel, AnimationPositionIsASliderAndTheDspSideIsShownNotRun) {
    GuiPatchModel model(Patch("anim.json"));
    const PanelLayout layout = model.Layout();
    const auto& pins = layout.modules[0].pins;
    ASSERT_EQ(pins.size(), 10u);
    EXPECT_EQ(pins[3].name, "Anim Position");
    EXPECT_EQ(pins[3].control, PinControl::kSlider);
    EXPECT_EQ(pins[3].low, 0.0);
    EXPECT_EQ(pins[3].high, 1.0);
    EXPECT_EQ(pins[0].control, PinControl::kReadout) << "GUI 2 DSP is the host's own link";
    EXPECT_EQ(pins[6].control, PinControl::kNumber) << "Min";
    EXPECT_EQ(pins[9].control, PinControl::kReadout) << "Sampling Rate belongs to the DSP side";
    EXPECT_EQ(pins[9].note, "DSP side (runs under play --panel)");
    EXPECT_NE(
        Refusal([&] { model.Set("anim", "Sampling Rate (Hz)", "10"); }).find("is on the DSP side"),
        std::string::npos);
    model.Set("anim", "Anim Position", "0.5");
    EXPECT_EQ(model.Get("anim", "GUI 2 DSP"), "5") << "the position sent on as volts";
}

TEST(GuiPatchModel, PatchFaultsAreNamed) {
    try {
        GuiPatchModel model(Patch("no_gui.json"));
        FAIL() << "a module without a GUI side was taken";
    } catch (const kvhost::LoadError& e) {
        EXPECT_NE(std::string(e.what()).find("module \"osc\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("kvhost play PATCH --panel"), std::string::npos);
    }
    const auto plan = [](const std::string& json) { return kvhost::ParsePatch(json, "test.json"); };
    EXPECT_NE(Refusal([&] {
                  GuiPatchModel m(plan(R"({"modules": [{"name": "s", "plugin": "jx_VecMul",
                                           "pins": {"Add": "x"}}]})"));
              }).find("test.json: \"s.Add\": \"x\" is not a number"),
              std::string::npos);
    EXPECT_NE(Refusal([&] {
                  GuiPatchModel m(plan(R"({"modules": [{"name": "s", "plugin": "jx_VecMul"},
                                           {"name": "t", "plugin": "jx_VecMul"}],
                                           "wires": [["s.Array Out", "t.Add"]]})"));
              }).find("cannot connect text to real"),
              std::string::npos);
}

TEST(SignalWindow, ScopeStandsOnARisingCrossingAndSpectrumFindsTheFundamental) {
    const double rate = 48000.0;
    kvhost::SignalWindow window(rate);
    std::vector<float> block(480);
    for (int b = 0; b < 20; ++b) {  // 200 ms of a 0.5 (5 V) sine at 440 Hz, in blocks
        for (std::size_t i = 0; i < block.size(); ++i) {
            const double t = static_cast<double>(b * 480 + static_cast<int>(i)) / rate;
            block[i] = static_cast<float>(0.5 * std::sin(2 * kPi * 440.0 * t));
        }
        window.Push(block.data(), block.size());
    }
    const kvhost::ScopeFrame scope = window.Scope();
    EXPECT_LE(scope.volts.size(), kvhost::SignalWindow::kScopePoints);
    EXPECT_GE(scope.volts.size() * static_cast<std::size_t>(scope.step), 950u) << "about 20 ms";
    EXPECT_NEAR(scope.volts.front(), 0.0, 0.5) << "starts at the crossing";
    EXPECT_GT(scope.volts[2], scope.volts.front()) << "rising";
    float top = 0.0f;
    for (float v : scope.volts) top = std::max(top, v);
    EXPECT_NEAR(top, 5.0, 0.15);

    const kvhost::SpectrumFrame spectrum = window.Spectrum();
    EXPECT_NEAR(spectrum.fundamental_hz, 440.0, spectrum.bin_hz / 4);
    ASSERT_EQ(spectrum.hz.size(), kvhost::SignalWindow::kSpectrumBands);
    EXPECT_TRUE(std::is_sorted(spectrum.hz.begin(), spectrum.hz.end()));
    // The band holding 440 Hz shows the sine's level: 5 V is -6 dB of 10 V.
    std::size_t band = 0;
    while (band + 1 < spectrum.hz.size() && spectrum.hz[band + 1] < 440.0f) ++band;
    const float level = std::max(spectrum.level_db[band], spectrum.level_db[band + 1]);
    EXPECT_NEAR(level, -6.02, 1.0) << "within the window's scalloping";

    kvhost::SignalWindow silent(rate);
    EXPECT_TRUE(silent.Scope().volts.empty());
    EXPECT_EQ(silent.Spectrum().fundamental_hz, 0.0);
}

}  // namespace
