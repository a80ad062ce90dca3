// Voice groups: notes spread over the copies (free ones first, else the oldest note stolen),
// releases to the copy holding the key, channel messages to all, outputs summed exactly, and
// the messages for groups that cannot be.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "chords.h"
#include "error_text.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"

namespace {

using namespace kvhost;

constexpr double kRate = 48000.0;

// Converter into Twin-Op: operator 1 a plain sine (operator 2 at `op2`) whose level is the
// gate, so a copy sounds exactly while its key is held.
std::string VoicePatch(const std::string& voices, double gain = 1.0, double op2 = 0.0) {
    return R"({
  "sample_rate": 48000, "block_size": 64,
  "modules": [
    {"name": "keys", "plugin": "wy_VUDA2DU"},
    {"name": "voice", "plugin": "ZOR Twin-Op",
     "pins": {"Algorithm": "2->1", "OP2 Level": )" +
           std::to_string(op2) + R"(}}
  ],)" + voices +
           R"(
  "wires": [
    {"from": "keys.Pitch", "to": "voice.OP1 Pitch"},
    {"from": "keys.Pitch", "to": "voice.OP2 Pitch"},
    {"from": "keys.Gate", "to": "voice.OP1 FB/Level"}
  ],
  "midi": {"to": "keys.MIDI In"},
  "audio": {"outputs": ["voice.Output"], "gain": )" +
           std::to_string(gain) + R"(}
})";
}

std::string Group(int count) {
    return R"(
  "voices": {"count": )" +
           std::to_string(count) + R"(, "modules": ["keys", "voice"]},)";
}

// The converter's pitch for a key, as it computes it.
float KeyPitch(int key) {
    return static_cast<float>((key - 69) * static_cast<double>(0.008333333767950535f) + 0.5);
}

double KeyHz(int key) {
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

// Amplitude of the `hz` component of a stretch (Hann window, one DFT bin).
double Level(const std::vector<float>& s, double hz, double rate = kRate) {
    double re = 0.0, im = 0.0, weight = 0.0;
    const double n = static_cast<double>(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / n);
        const double phase = 2.0 * M_PI * hz * static_cast<double>(i) / rate;
        re += w * s[i] * std::cos(phase);
        im += w * s[i] * std::sin(phase);
        weight += w;
    }
    return 2.0 * std::hypot(re, im) / weight;
}

// Each key of `sounding` plays at amplitude 0.5, each of `silent` not at all.
void ExpectKeys(const std::vector<float>& s, const std::vector<int>& sounding,
                const std::vector<int>& silent) {
    for (int key : sounding) EXPECT_NEAR(Level(s, KeyHz(key)), 0.5, 0.02) << "key " << key;
    for (int key : silent) EXPECT_LT(Level(s, KeyHz(key)), 0.01) << "key " << key;
}

struct Copy {
    float gate, pitch;
};
std::vector<Copy> Copies(Patch& patch) {
    std::vector<Copy> copies;
    for (int32_t k = 0; k < patch.Copies("keys"); ++k) {
        const DspInstance& keys = patch.Instance("keys", k);
        copies.push_back({static_cast<float>(keys.ReadValue(keys.DspPin("Gate"))),
                          static_cast<float>(keys.ReadValue(keys.DspPin("Pitch")))});
    }
    return copies;
}

// The copies hold these keys (0: gate closed, pitch not checked).
void ExpectHeld(Patch& patch, const std::vector<int>& keys) {
    const std::vector<Copy> copies = Copies(patch);
    ASSERT_EQ(copies.size(), keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        EXPECT_EQ(copies[k].gate, keys[k] == 0 ? 0.0f : 1.0f) << "copy " << k;
        if (keys[k] != 0) {
            EXPECT_EQ(copies[k].pitch, KeyPitch(keys[k])) << "copy " << k;
        }
    }
}

std::vector<float> Play(Patch& patch, uint32_t frames) {
    std::vector<float> out(frames * static_cast<std::size_t>(patch.Channels()));
    patch.Render(out.data(), frames);
    return out;
}

TEST(Voices, NotesTakeFreeCopiesThenStealTheOldestAndReleasesFindTheirCopy) {
    Patch patch(ParsePatch(VoicePatch(Group(4)), "poly.json"));
    ASSERT_EQ(patch.Copies("keys"), 4);
    ASSERT_EQ(patch.Copies("voice"), 4);
    for (int key : {60, 64, 67, 71}) patch.SendMidi(0, 0x90, static_cast<uint8_t>(key), 100);
    Play(patch, 2400);
    ExpectHeld(patch, {60, 64, 67, 71});
    ExpectKeys(Play(patch, 4800), {60, 64, 67, 71}, {62, 74});

    // A fifth key takes the copy of the oldest note, which ends there.
    patch.SendMidi(patch.Clock(), 0x90, 74, 100);
    Play(patch, 2400);
    ExpectHeld(patch, {74, 64, 67, 71});
    ExpectKeys(Play(patch, 4800), {74, 64, 67, 71}, {60});

    // The release of 64 closes its copy alone; that of the stolen 60 changes nothing.
    patch.SendMidi(patch.Clock(), 0x80, 64, 0);
    patch.SendMidi(patch.Clock() + 10, 0x80, 60, 0);
    Play(patch, 2400);
    ExpectHeld(patch, {74, 0, 67, 71});
    ExpectKeys(Play(patch, 4800), {74, 67, 71}, {60, 64});

    // The free copy takes the next key; a key struck again stays on its copy, and its one
    // release ends it (no copy is left holding it).
    patch.SendMidi(patch.Clock(), 0x90, 76, 100);
    patch.SendMidi(patch.Clock() + 5, 0x90, 67, 90);
    Play(patch, 2400);
    ExpectHeld(patch, {74, 76, 67, 71});
    patch.SendMidi(patch.Clock(), 0x80, 67, 0);
    Play(patch, 2400);
    ExpectHeld(patch, {74, 76, 0, 71});
    ExpectKeys(Play(patch, 4800), {74, 76, 71}, {67});

    // The stolen key left its copy for good: 74's release closes the gate, no 60 behind it.
    patch.SendMidi(patch.Clock(), 0x80, 74, 0);
    Play(patch, 100);
    ExpectHeld(patch, {0, 76, 0, 71});
}

TEST(Voices, ChannelMessagesReachEveryCopyAndAllNotesOffFreesThem) {
    Patch patch(ParsePatch(VoicePatch(Group(4)), "poly.json"));
    for (int key : {60, 64, 67}) patch.SendMidi(0, 0x90, static_cast<uint8_t>(key), 100);
    Play(patch, 64);
    std::vector<std::size_t> before;
    for (int k = 0; k < 4; ++k) before.push_back(patch.Instance("keys", k).EventsDelivered());
    patch.SendMidi(100, 0xB0, 64, 127);  // sustain: the converter ignores it, but hears it
    patch.SendMidi(100, 0xE0, 0, 0);     // bend fully down: two semitones on every copy
    Play(patch, 1000);
    const float bend = static_cast<float>(-8192.0 * (2.0 * 0.008333333767950535f) / 8192.0);
    const std::vector<Copy> copies = Copies(patch);
    const int keys[] = {60, 64, 67};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(patch.Instance("keys", k).EventsDelivered(), before[k] + 2u) << "copy " << k;
        EXPECT_EQ(copies[k].pitch, k < 3 ? KeyPitch(keys[k]) + bend : bend) << "copy " << k;
    }
    // All notes off: every copy is free again, so four new keys steal nothing; the copy
    // that never played was free the longest and goes first.
    patch.SendMidi(patch.Clock(), 0xB0, 123, 0);
    patch.SendMidi(patch.Clock(), 0xE0, 0, 64);
    Play(patch, 100);
    ExpectHeld(patch, {0, 0, 0, 0});
    for (int key : {50, 52, 54, 56}) {
        patch.SendMidi(patch.Clock(), 0x90, static_cast<uint8_t>(key), 100);
    }
    Play(patch, 100);
    ExpectHeld(patch, {52, 54, 56, 50});
}

// The messages of a small score, and the copy each note-on should reach on three voices.
struct Message {
    uint32_t at;
    uint8_t status, d1, d2;
    int copy;  // for notes: the copy that plays it
};
const std::vector<Message> kScore = {
    {100, 0x90, 60, 100, 0}, {2000, 0x90, 64, 80, 1},  {3000, 0x90, 67, 127, 2},
    {5000, 0x80, 60, 0, 0},  {6000, 0x90, 72, 100, 0}, {9000, 0x80, 64, 0, 1},
    {9500, 0x80, 72, 0, 0},  {11000, 0x90, 65, 90, 1}, {13000, 0x90, 69, 90, 0},
};

std::vector<float> RenderScore(const std::string& json, int only_copy) {
    Patch patch(ParsePatch(json, "score.json"));
    MidiSequence midi;
    for (const Message& m : kScore) {
        if (only_copy < 0 || m.copy == only_copy)
            midi.events.push_back({m.at, m.status, m.d1, m.d2});
    }
    patch.SetMidi(midi);
    return Play(patch, 16000);
}

TEST(Voices, TheSumIsTheSingleVoicesAddedInCopyOrderBitForBit) {
    for (double gain : {1.0, 0.2}) {
        const std::vector<float> poly = RenderScore(VoicePatch(Group(3), gain, 0.6), -1);
        std::vector<float> sum(poly.size(), 0.0f);
        for (int copy = 0; copy < 3; ++copy) {
            const std::vector<float> single = RenderScore(VoicePatch("", 1.0, 0.6), copy);
            for (std::size_t i = 0; i < sum.size(); ++i)
                sum[i] = copy == 0 ? single[i] : sum[i] + single[i];
        }
        for (std::size_t i = 0; i < sum.size(); ++i) {
            if (gain != 1.0) sum[i] *= static_cast<float>(gain);
            ASSERT_EQ(poly[i], sum[i]) << "gain " << gain << ", frame " << i;
        }
    }
}

TEST(Voices, OneVoiceIsThePlainPatchBitForBit) {
    const std::vector<float> plain = RenderScore(VoicePatch("", 0.5, 0.6), -1);
    const std::vector<float> one = RenderScore(VoicePatch(Group(1), 0.5, 0.6), -1);
    EXPECT_EQ(plain, one);
}

TEST(Voices, GroupsThatCannotBeNameTheFileLineAndValueOrModule) {
    const auto parse = [](const std::string& voices) {
        return MessageOf([&] { ParsePatch(VoicePatch(voices), "poly.json"); });
    };
    // The group's "count" stands on line 8 of the patch text.
    const std::string line = "poly.json:8: \"voices\": \"count\" ";
    EXPECT_EQ(parse(Group(0)), line + "0 is not a whole number 1-128");
    EXPECT_EQ(parse(Group(129)), line + "129 is not a whole number 1-128");
    EXPECT_EQ(parse("\n  \"voices\": {\"count\": \"eight\", \"modules\": [\"keys\"]},"),
              line + "\"eight\" is not a whole number 1-128");
    EXPECT_EQ(parse("\n  \"voices\": {\"count\": 2.5, \"modules\": [\"keys\"]},"),
              line + "2.5 is not a whole number 1-128");
    EXPECT_EQ(parse("\n  \"voices\": {\"count\": 2, \"modules\": [\"keys\", \"osc\"]},"),
              "poly.json:8: \"voices\": no module named \"osc\"");
    EXPECT_EQ(parse("\n  \"voices\": [{\"count\": 2, \"modules\": [\"keys\"]},\n"
                    "             {\"count\": 3, \"modules\": [\"voice\", \"keys\"]}],"),
              "poly.json:9: \"voices\" group 2: module \"keys\" is already in another group");
    EXPECT_EQ(parse("\n  \"voices\": {\"count\": 2, \"modules\": []},"),
              "poly.json:8: \"voices\": \"modules\" must be a list of at least one module name");
    EXPECT_EQ(parse("\n  \"voices\": 8,"),
              "poly.json:8: \"voices\" must be {\"count\": N, \"modules\": [\"name\", ...]} or a "
              "list of such groups");

    // The converter in voices cannot feed a single oscillator: it would need their sum.
    const std::string apart = "\n  \"voices\": {\"count\": 2, \"modules\": [\"keys\"]},";
    const PatchPlan plan = ParsePatch(VoicePatch(apart), "poly.json");
    EXPECT_EQ(MessageOf([&] { Patch p(plan); }),
              "poly.json: wire keys.Pitch -> voice.OP1 Pitch: \"keys\" plays in voices whose "
              "outputs reach only the \"audio\" outputs (summed) or modules of its own group");
}

// ---- The example, through the tool ---------------------------------------------------

// A file of the running test's own: ctest runs tests in parallel processes.
std::string Temp(const std::string& name) {
    return testing::TempDir() + "poly_" + std::to_string(::getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

struct Finished {
    int code;
    std::string err;  // with the standard output
};

Finished Tool(const std::string& args) {
    const std::string err = Temp("poly_err.txt");
    const int status = std::system(
        (std::string("'") + KVHOST_TOOL + "' " + args + " >'" + err + "' 2>&1").c_str());
    std::ifstream in(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::string(std::istreambuf_iterator<char>(in), {})};
}

TEST(VoicesExample, TheChordsFileIsTheNotesWrittenAndRendersUnclippedWithTheStealHeard) {
    const std::string mid = std::string(KVHOST_EXAMPLES) + "/poly_chords.mid";
    std::ifstream in(mid, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(file, WriteMidiNotes(ChordNotes(), kChordTempo));

    const std::string wav = Temp("poly_chords.wav");
    const Finished r = Tool("render '" KVHOST_EXAMPLES "/poly_chords.json' -o '" + wav + "'");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("peak -"), std::string::npos) << r.err;  // below 0 dBFS

    // The ninth key of the last chord (beat 18) takes the oldest note's copy: its low C,
    // whose fundamental nothing else plays, falls silent.
    Patch patch(LoadPatch(std::string(KVHOST_EXAMPLES) + "/poly_chords.json"));
    patch.SetMidi(ReadMidiFile(mid, patch.SampleRate()));
    const double rate = patch.SampleRate();
    const auto beat = [&](double b) {
        return static_cast<uint32_t>(std::lround(b * 60.0 / kChordTempo * rate));
    };
    Play(patch, beat(16.5));
    const double before = Level(Play(patch, 8192), KeyHz(48), rate);
    Play(patch, beat(18.5) - patch.Clock());
    const double after = Level(Play(patch, 8192), KeyHz(48), rate);
    EXPECT_GT(before, 0.02);
    EXPECT_LT(after, before / 100.0);
}

TEST(VoicesExample, RenderAndPlotRefuseABadGroupWithThePatchError) {
    const std::string bad = Temp("poly_bad.json");
    std::ofstream(bad) << VoicePatch(Group(0));
    Finished r = Tool("render '" + bad + "' -o '" + Temp("x.wav") + "'");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find(bad + ":8: \"voices\": \"count\" 0 is not a whole number 1-128"),
              std::string::npos)
        << r.err;
    r = Tool("plot '" + bad + "' -o '" + Temp("x.png") + "'");
    EXPECT_EQ(r.code, 4) << r.err;

    const std::string png = Temp("poly_chords.png");
    r = Tool("plot '" KVHOST_EXAMPLES "/poly_chords.json' --from 7 -o '" + png + "'");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_GT(std::filesystem::file_size(png), 1000u);
}

}  // namespace
