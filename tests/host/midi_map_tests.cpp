// Controllers mapped to pins ("midi_map"): the patch key read and refused, the values each
// controller value gives (exact, over every value 0-127), the table changed while running,
// and a MIDI file's controller rendering as the same value set at its frame.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "error_text.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"

namespace {

using namespace kvhost;

[[maybe_unused]] const bool kTestPluginsOnSearchPath = [] {
    SetPluginFolders({KVHOST_TEST_PLUGINS});
    return true;
}();

// Probe "a" feeds probe "b"'s "In"; `map` is the "midi_map" list. a's output is
// In + Level + Mode (test_probe), In a sample input (-10 to 10 V), Level a real, Mode a
// choice Low=3,High=7, Delay a whole number, Panel the GUI side's.
std::string Mapped(const std::string& map) {
    const std::string probe = std::string(KVHOST_TEST_PLUGINS) + "/test_probe.so";
    return R"({"sample_rate": 48000, "block_size": 16,
  "modules": [{"name": "a", "plugin": ")" +
           probe + R"("}, {"name": "b", "plugin": ")" + probe + R"("}],
  "wires": [{"from": "a.Out", "to": "b.In"}],
  "midi": {"to": "a.MIDI In"},
  "audio": {"outputs": ["a.Out"]})" +
           (map.empty() ? "" : ",\n  \"midi_map\": " + map) + "}";
}

TEST(HostMidiMap, PatchesAreReadAndRefusedNamingTheEntryAndPin) {
    const PatchPlan plan = ParsePatch(
        Mapped(R"([{"cc": 1, "pin": "a.In"}, {"cc": 127, "channel": 16, "pin": ["a", "Level"],
                    "min": -1.5, "max": 2}])"),
        "p.json");
    ASSERT_EQ(plan.midi_map.size(), 2u);
    EXPECT_EQ(plan.midi_map[0].channel, 0);
    EXPECT_FALSE(plan.midi_map[0].minimum);
    EXPECT_EQ(plan.midi_map[1].cc, 127);
    EXPECT_EQ(plan.midi_map[1].channel, 16);
    EXPECT_EQ(plan.midi_map[1].pin.pin, "Level");
    EXPECT_EQ(*plan.midi_map[1].minimum, -1.5);

    const std::string e1 = "p.json: \"midi_map\" entry 1";
    const struct {
        const char* map;
        std::string message;
    } refused[] = {
        {R"({"cc": 1})",
         "p.json: \"midi_map\" must be a list of {\"cc\": N, \"pin\": \"module.pin\"}"},
        {R"([{"cc": 1}])", e1 + " must be {\"cc\": N, \"pin\": \"module.pin\"} (\"channel\", "
                                "\"min\", \"max\" optional)"},
        {R"([{"cc": 128, "pin": "a.In"}])", e1 + ": \"cc\" 128 is not a whole number 0-127"},
        {R"([{"cc": 1.5, "pin": "a.In"}])", e1 + ": \"cc\" 1.5 is not a whole number 0-127"},
        {R"([{"cc": 1, "channel": 0, "pin": "a.In"}])",
         e1 + ": \"channel\" 0 is not a whole number 1-16"},
        {R"([{"cc": 1, "channel": 17, "pin": "a.In"}])",
         e1 + ": \"channel\" 17 is not a whole number 1-16"},
        {R"([{"cc": 1, "pin": "a.In", "min": "1"}])", e1 + ": \"min\" must be a number"},
        {R"([{"cc": 1, "pin": "a.In", "to": 1}])", "p.json: unknown key \"to\" in " + e1.substr(8)},
        {R"([{"cc": 1, "pin": "aIn"}])",
         e1 + ": \"pin\" must name a pin as \"module.pin\" or [\"module\", \"pin\"]"},
        // Checked against the pins once the modules are made.
        {R"([{"cc": 7, "pin": "c.In"}])",
         e1 + " (cc 7, pin \"c.In\"): controller's pin \"c.In\": no module named \"c\""},
        {R"([{"cc": 7, "pin": "a.Volume"}])",
         e1 + " (cc 7, pin \"a.Volume\"): module \"a\" has no input pin \"Volume\" (its inputs: "
              "\"In\", \"Level\", \"Mode\", \"Delay\")"},
        {R"([{"cc": 7, "pin": "a.Out"}])",
         e1 + " (cc 7, pin \"a.Out\"): \"a.Out\" is an output and cannot be set"},
        {R"([{"cc": 7, "pin": "a.MIDI In"}])",
         e1 + " (cc 7, pin \"a.MIDI In\"): \"a.MIDI In\" takes no value"},
        {R"([{"cc": 7, "pin": "a.Panel"}])",
         e1 + " (cc 7, pin \"a.Panel\"): \"a.Panel\" belongs to the GUI side only"},
        {R"([{"cc": 7, "pin": "b.In"}])",
         e1 + " (cc 7, pin \"b.In\"): \"b.In\" is wired; a wired input follows its wire"},
        {R"([{"cc": 7, "pin": "a.Level", "max": 1}])",
         e1 + " (cc 7, pin \"a.Level\"): \"a.Level\" has no range of its own: give both min "
              "and max"},
        {R"([{"cc": 7, "pin": "a.In", "min": -20}])",
         e1 + " (cc 7, pin \"a.In\"): \"a.In\": min -20 lies outside the pin's range -10 to 10"},
        {R"([{"cc": 7, "pin": "a.Mode", "max": 5}])",
         e1 + " (cc 7, pin \"a.Mode\"): \"a.Mode\": max \"5\" is not one of: Low=3,High=7"},
        {R"([{"cc": 7, "pin": "a.Level", "min": 0, "max": 1e39}])",
         e1 + " (cc 7, pin \"a.Level\"): \"a.Level\": max \"1e+39\" is out of range for a "
              "32-bit float (at most +-3.4028235e38)"},
    };
    const std::string no_midi = R"({"modules": [{"name": "osc", "plugin": "ZOR Twin-Op"}],
        "midi_map": [{"cc": 1, "pin": "osc.OP2 Pitch"}]})";
    EXPECT_EQ(MessageOf([&] { Patch p(ParsePatch(no_midi, "p.json")); }),
              "p.json: \"midi_map\": the patch has no MIDI input for controllers to arrive on");
    for (const auto& r : refused) {
        EXPECT_EQ(MessageOf([&] { Patch p(ParsePatch(Mapped(r.map), "p.json")); }), r.message)
            << r.map;
    }
}

// Every controller value, in a scrambled order, on the mapped pins: the value each takes is
// exactly low + value/127 * (high - low), rounded for choices and whole numbers, a choice
// kept where the rounded value names none; other channels and controllers change nothing.
TEST(HostMidiMap, EveryControllerValueSetsItsPinsExactly) {
    Patch patch(ParsePatch(Mapped(R"([
        {"cc": 1, "pin": "a.In"},
        {"cc": 1, "pin": "a.Delay", "min": 100, "max": -27},
        {"cc": 2, "channel": 3, "pin": "a.Level", "min": -0.3, "max": 0.7},
        {"cc": 3, "pin": "a.Mode"}])"),
                           "p.json"));
    DspInstance& a = patch.Instance("a");
    const int32_t in = a.DspPin("In"), level = a.DspPin("Level"), mode = a.DspPin("Mode"),
                  delay = a.DspPin("Delay");
    EXPECT_EQ(patch.MidiMap().size(), 4u);
    double want_in = 0.2, want_level = 1.5, want_mode = 7, want_delay = 0;
    std::vector<float> out(16);
    for (int k = 0; k < 128; ++k) {
        const auto v = static_cast<uint8_t>((k * 37 + 11) % 128);
        const uint64_t at = patch.RunClock() + static_cast<uint64_t>(k % 16);
        patch.SendMidi(at, 0xB0, 1, v);
        patch.SendMidi(at, 0xB2, 2, v);                              // channel 3
        patch.SendMidi(at, 0xB0, 2, static_cast<uint8_t>(127 - v));  // channel 1: not mapped
        patch.SendMidi(at, 0xBF, 3, v);                              // any channel
        patch.SendMidi(at, 0xB0, 4, 0);                              // no mapping
        want_in = static_cast<float>((-10.0 + v / 127.0 * 20.0) * 0.1);
        want_delay = std::round(100.0 + v / 127.0 * (-27.0 - 100.0));
        want_level = static_cast<float>(-0.3 + v / 127.0 * (0.7 - -0.3));
        const double m = std::round(3.0 + v / 127.0 * 4.0);
        if (m == 3 || m == 7) want_mode = m;
        patch.Render(out.data(), 16);
        ASSERT_EQ(a.ReadValue(in), want_in) << int{v};
        ASSERT_EQ(a.ReadValue(level), want_level) << int{v};
        ASSERT_EQ(a.ReadValue(mode), want_mode) << int{v};
        ASSERT_EQ(a.ReadValue(delay), want_delay) << int{v};
        // The output after the change: In + Level + Mode, as the module adds them.
        ASSERT_EQ(out[15], static_cast<float>(want_in) +
                               (static_cast<float>(want_level) + static_cast<float>(want_mode)));
    }
}

// The table while running: a mapping replaced in place, removed per pin and per controller;
// a full table refuses; what MidiMap lists follows.
TEST(HostMidiMap, MappingsAreReplacedRemovedAndBounded) {
    Patch patch(ParsePatch(Mapped(R"([{"cc": 5, "pin": "a.In"}])"), "p.json"));
    DspInstance& a = patch.Instance("a");
    const int32_t in = a.DspPin("In"), level = a.DspPin("Level");
    const Patch::Mapping to_in = patch.CheckMapping(5, 0, 0, "In", 0.0, 1.0);
    EXPECT_EQ(to_in.dsp_pin, in);
    EXPECT_TRUE(patch.Map(to_in));  // replaces the patch's mapping
    EXPECT_TRUE(patch.Map(patch.CheckMapping(5, 2, 0, "Level", -1.0, 1.0)));
    ASSERT_EQ(patch.MidiMap().size(), 2u);
    EXPECT_EQ(patch.MidiMap()[0].high, 1.0);
    std::vector<float> out(16);
    patch.SendMidi(patch.RunClock(), 0xB1, 5, 127);
    patch.Render(out.data(), 16);
    EXPECT_EQ(a.ReadValue(in), static_cast<float>(0.1));
    EXPECT_EQ(a.ReadValue(level), 1.0);
    EXPECT_EQ(patch.Unmap(5, 0, level), 1u);
    EXPECT_EQ(patch.Unmap(5, 0, level), 0u);
    patch.SendMidi(patch.RunClock(), 0xB1, 5, 0);
    patch.Render(out.data(), 16);
    EXPECT_EQ(a.ReadValue(in), 0.0);
    EXPECT_EQ(a.ReadValue(level), 1.0) << "no longer mapped";
    EXPECT_EQ(patch.Unmap(5), 1u);
    EXPECT_TRUE(patch.MidiMap().empty());

    std::size_t made = 0;
    for (int32_t cc = 0; cc < 128; ++cc) {
        for (int32_t channel = 0; channel <= 16 && made < Patch::kMaxMappings; ++channel) {
            ASSERT_TRUE(patch.Map({cc, channel, 0, in, 0.0, 1.0}));
            ++made;
        }
    }
    EXPECT_FALSE(patch.Map({127, 16, 0, level, 0.0, 1.0})) << "the table is full";
    EXPECT_TRUE(patch.Map({0, 0, 0, in, 0.5, 1.0})) << "a replacement still fits";
    EXPECT_EQ(patch.Unmap(0), 17u);
    EXPECT_TRUE(patch.Map({127, 16, 0, level, 0.0, 1.0}));
    EXPECT_EQ(patch.MidiMap().size(), Patch::kMaxMappings - 16);
}

// A controller in the MIDI file sounds as its value set at its frame: the rendering equals
// the unmapped patch's with that value `Set` there, and differs from the frame on.
TEST(HostMidiMap, AFilesControllerRendersAsTheValueSetAtItsFrame) {
    MidiSequence midi;
    midi.events = {{37, 0xB4, 9, 100}, {37 + 200, 0xB4, 9, 3}};
    const uint32_t frames = 512;
    Patch mapped(
        ParsePatch(Mapped(R"([{"cc": 9, "channel": 5, "pin": "a.Level", "min": -2.25, "max": 6}])"),
                   "p.json"));
    mapped.SetMidi(midi);
    std::vector<float> got(frames), want(frames), plain(frames);
    mapped.Render(got.data(), frames);

    Patch by_hand(ParsePatch(Mapped(""), "p.json")), unset(ParsePatch(Mapped(""), "p.json"));
    by_hand.SetMidi(midi);
    unset.SetMidi(midi);
    const int32_t level = by_hand.Instance("a").DspPin("Level");
    by_hand.Set(0, level, -2.25 + 100 / 127.0 * (6 - -2.25), 37);
    by_hand.Set(0, level, -2.25 + 3 / 127.0 * (6 - -2.25), 237);
    by_hand.Render(want.data(), frames);
    unset.Render(plain.data(), frames);
    for (uint32_t i = 0; i < frames; ++i) {
        ASSERT_EQ(got[i], want[i]) << "frame " << i;
        ASSERT_EQ(got[i] == plain[i], i < 37) << "frame " << i;
    }
}

}  // namespace
