// Patches and MIDI files: wiring order, samples and statuses passed downstream at their
// clocks, MIDI at its exact sample, and the messages for malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error_text.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"

namespace {

using namespace kvhost;

// Patches load plug-ins from the search path only: the test plug-ins' folder is on it, as
// kvhost's --plugin-path puts it there.
[[maybe_unused]] const bool kTestPluginsOnSearchPath = [] {
    SetPluginFolders({KVHOST_TEST_PLUGINS});
    return true;
}();

std::string ProbePath() {
    return std::string(KVHOST_TEST_PLUGINS) + "/test_probe.so";
}

// Two probes in a chain, listed downstream first so that wiring order must reorder them.
std::string ChainPatch(const std::string& extra_pins = "") {
    return R"({
  "sample_rate": 48000, "block_size": 32,
  "modules": [
    {"name": "b", "plugin": ")" +
           ProbePath() + R"(", "pins": {"Level": 0.5)" + extra_pins + R"(}},
    {"name": "a", "plugin": ")" +
           ProbePath() + R"(", "pins": {"In": 3, "Mode": "Low"}}
  ],
  "wires": [{"from": "a.Out", "to": "b.In"}],
  "midi": {"to": "a.MIDI In"},
  "audio": {"outputs": ["b.Out", ["a", "Out"]]}
})";
}

TEST(HostPatch, ChainRunsInWiringOrderWithStatusesAtTheirClocks) {
    Patch patch(ParsePatch(ChainPatch(), "chain.json"));
    EXPECT_EQ(patch.Order(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(patch.Channels(), 2);
    MidiSequence midi;
    midi.events.push_back({45, 0x90, 60, 100});  // a turns to -1 from sample 45
    patch.SetMidi(midi);
    DspInstance& b = patch.Instance("b");
    b.SetLogging(true);  // patches keep no logs unless asked
    std::vector<float> out(2 * 96);
    patch.Render(out.data(), 96);
    // a: In 3 V (0.3) + Level 1.5 + Mode "Low" (3); b: a's output + 0.5 + 7.
    const float a = 0.3f + (1.5f + 3.0f);
    EXPECT_EQ(out[2 * 0 + 1], a);
    EXPECT_EQ(out[2 * 0 + 0], a + (0.5f + 7.0f));
    EXPECT_EQ(out[2 * 44 + 0], a + (0.5f + 7.0f));
    EXPECT_EQ(out[2 * 45 + 1], -1.0f);
    EXPECT_EQ(out[2 * 45 + 0], -1.0f + (0.5f + 7.0f));  // in the same block

    // The status a announced at 45 reached b's "In" at clock 45 and cut b's block there.
    bool seen = false;
    for (const auto& r : b.PinAtTimes()) {
        if (r.pin == 100 && r.clock == 45) {
            EXPECT_EQ(r.value, PS_STEP);
            seen = true;
        }
        if (r.pin == 500 && r.clock == 32) {
            EXPECT_EQ(r.value, 13);  // the slice 32-45
        }
    }
    EXPECT_TRUE(seen);
}

TEST(HostPatch, MalformedPatchesNameTheFileLineAndColumnOrTheModuleAndPin) {
    EXPECT_EQ(MessageOf([] {
                  ParsePatch("{\n  \"modules\": [\n    {\"name\": \"a\",}\n", "p.json");
              }).substr(0, 13),
              "p.json:3:18: ");
    EXPECT_NE(
        MessageOf([] { ParsePatch("{\"modules\": [], \"x\": 1}", "p.json"); }).find("p.json: "),
        std::string::npos);
    EXPECT_EQ(MessageOf([] {
                  ParsePatch(R"({"modules": [{"name": "a", "plugin": "x"}], "bogus": 1})",
                             "p.json");
              }),
              "p.json: unknown key \"bogus\" in the patch");
    EXPECT_EQ(MessageOf([] { ParsePatch(R"({"sample_rate": 4e4100})", "p.json"); }),
              "p.json: number overflow parsing '4e4100'");

    auto fails = [](const std::string& text) {
        return MessageOf([&] { Patch p(ParsePatch(text, "p.json")); });
    };
    const std::string unknown_pin = fails(ChainPatch(R"(, "Volume": 1)"));
    EXPECT_EQ(unknown_pin.rfind(
                  "p.json: module \"b\" (" + ProbePath() + ") has no input pin \"Volume\"", 0),
              0u)
        << unknown_pin;
    EXPECT_EQ(fails(ChainPatch(R"(, "Mode": "Medium")")),
              "p.json: module \"b\", pin \"Mode\": \"Medium\" is not one of: Low=3,High=7");
    EXPECT_EQ(fails(ChainPatch(R"(, "In": 1)")),
              "p.json: wire a.Out -> b.In: the pin is both wired and set");
    const std::string loop = R"({"modules": [{"name": "a", "plugin": ")" + ProbePath() +
                             R"("}, {"name": "b", "plugin": ")" + ProbePath() + R"("}],
        "wires": [{"from": "a.Out", "to": "b.In"}, {"from": "b.Out", "to": "a.In"}]})";
    EXPECT_EQ(fails(loop), "p.json: the wires form a loop through \"a\", \"b\"");
    const std::string mismatch = R"({"modules": [{"name": "a", "plugin": ")" + ProbePath() +
                                 R"("}, {"name": "b", "plugin": ")" + ProbePath() + R"("}],
        "wires": [{"from": "a.Out", "to": "b.Level"}]})";
    EXPECT_EQ(fails(mismatch), "p.json: wire a.Out -> b.Level: cannot connect samples to real");
    const std::string missing = R"({"modules": [{"name": "a", "plugin": "No Such Plug"}]})";
    EXPECT_THROW(Patch(ParsePatch(missing, "p.json")), LoadError);
}

// A format-1 file: a tempo track (120 bpm, then 240 bpm from beat 1) and a note track with
// running status.
std::vector<uint8_t> TempoFile() {
    return {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0,
            // track 0: tempo 500000 at 0, tempo 250000 at tick 480, end
            'M', 'T', 'r', 'k', 0, 0, 0, 19, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x83, 0x60,
            0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90, 0x00, 0xFF, 0x2F, 0x00,
            // track 1: note-on 60 at 0, (running) 62 at 480, 64 at 960, note-off 64 at 1200
            'M', 'T', 'r', 'k', 0, 0, 0, 21, 0x00, 0x90, 60, 100, 0x83, 0x60, 62, 100, 0x83, 0x60,
            64, 100, 0x81, 0x70, 0x80, 64, 0, 0x00, 0xFF, 0x2F, 0x00};
}

TEST(HostMidi, TempoChangesAndRunningStatusGiveExactSamples) {
    const MidiSequence s = ParseMidi(TempoFile(), 44100.0, "t.mid");
    ASSERT_EQ(s.events.size(), 4u);
    EXPECT_EQ(s.events[0].sample, 0u);
    EXPECT_EQ(s.events[1].sample, 22050u);           // one beat at 120 bpm
    EXPECT_EQ(s.events[2].sample, 22050u + 11025u);  // then one at 240 bpm
    EXPECT_EQ(s.events[3].sample, 33075u + 5513u);   // half a beat: 5512.5 rounds up
    EXPECT_EQ(s.events[1].status, 0x90);
    EXPECT_EQ(s.events[1].d1, 62);
    EXPECT_EQ(s.events[3].status, 0x80);

    // The note-list writer's files read back note for note.
    const auto bytes = WriteMidiNotes({{0.0, 0.5, 60, 90}, {0.5, 0.25, 67, 80}}, 120.0);
    const MidiSequence w = ParseMidi(bytes, 48000.0, "w.mid");
    ASSERT_EQ(w.events.size(), 4u);
    EXPECT_EQ(w.events[1].sample, 12000u);
    EXPECT_EQ(w.events[1].status, 0x80);  // the off before the next on at the same tick
    EXPECT_EQ(w.events[2].sample, 12000u);
    EXPECT_EQ(w.events[3].sample, 18000u);
}

TEST(HostMidi, BadFilesAreRejectedWithTheByteAtFault) {
    auto message = [](std::vector<uint8_t> b) {
        return MessageOf([&] { ParseMidi(b, 44100.0, "bad.mid"); });
    };
    EXPECT_EQ(message({'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              "bad.mid: not a Standard MIDI File (no MThd header)");
    auto truncated = TempoFile();
    truncated.resize(truncated.size() - 5);
    EXPECT_EQ(message(truncated),
              "bad.mid: chunk \"MTrk\" runs past the end of the file at byte 41");
    auto format2 = TempoFile();
    format2[9] = 2;
    EXPECT_EQ(message(format2), "bad.mid: MIDI file format 2 is not supported (only 0 and 1)");
    std::vector<uint8_t> no_status = {'M', 'T', 'h', 'd', 0,   0, 0, 6, 0, 0,    0,  1,   0,
                                      96,  'M', 'T', 'r', 'k', 0, 0, 0, 4, 0x00, 60, 100, 0};
    EXPECT_EQ(message(no_status), "bad.mid: data byte without a running status at byte 23");
    std::vector<uint8_t> long_vlq = {'M', 'T', 'h', 'd', 0,    0,    0,    6,    0,
                                     0,   0,   1,   0,   96,   'M',  'T',  'r',  'k',
                                     0,   0,   0,   5,   0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(message(long_vlq),
              "bad.mid: variable-length number longer than four bytes in a delta time at byte 22");
}

}  // namespace
