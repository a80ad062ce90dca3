// The play engine and the control lines without a server: the periods are handed to the
// engine directly, as JACK's process callback does, so every case is exact and quick.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "engine.h"
#include "gui_sides.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "play_util.h"
#include "spsc_queue.h"

namespace play_test {
namespace {

using kvhost::Patch;
using kvhost::PatchPlan;
using kvhost::play::Command;
using kvhost::play::Control;
using kvhost::play::Engine;
using kvhost::play::GuiSides;
using kvhost::play::LiveMidi;
using kvhost::play::SpscQueue;

PatchPlan Plan(const std::string& json) {
    return kvhost::ParsePatch(json, "test.json", KVHOST_EXAMPLES);
}

kvhost::MidiSequence Notes(double rate) {
    return kvhost::ReadMidiFile(KVHOST_EXAMPLES "/twin_op_notes.mid", rate);
}

// Plays `total` frames through the engine in periods from `periods` (repeated), like the
// process callback; `before` runs before each period with the frames played so far.
std::vector<float> PlayPeriods(Engine& engine, uint32_t total, const std::vector<uint32_t>& periods,
                               const std::function<std::vector<LiveMidi>(uint64_t)>& before = {}) {
    std::vector<float> out, period(Engine::kMaxPeriod);
    float* channels[] = {period.data()};
    uint64_t played = 0;
    for (std::size_t k = 0; played < total; ++k) {
        const uint32_t n = periods[k % periods.size()];
        const std::vector<LiveMidi> midi = before ? before(played) : std::vector<LiveMidi>{};
        engine.Process(n, channels, midi.data(), midi.size());
        out.insert(out.end(), period.begin(), period.begin() + n);
        played += n;
    }
    out.resize(total);
    return out;
}

std::vector<float> Render(const PatchPlan& plan, uint32_t frames,
                          const std::function<void(Patch&, uint32_t)>& at_block = {}) {
    Patch patch(plan);
    patch.SetMidi(Notes(plan.sample_rate));
    std::vector<float> out(frames);
    for (uint32_t done = 0; done < frames; done += 64) {
        if (at_block) at_block(patch, done);
        patch.Render(out.data() + done, std::min(64u, frames - done));
    }
    return out;
}

void ExpectSame(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << "first difference at frame " << i;
    }
}

// "midi": "live" names no file (render plays no MIDI); a patch cannot ask for both.
TEST(PlayPatch, LiveMidiIsNoFile) {
    const PatchPlan live = Plan(TwinOpPatch("2->1", "live", 0));
    EXPECT_TRUE(live.midi_live);
    EXPECT_FALSE(live.midi_file.has_value());
    EXPECT_FALSE(live.sample_rate_given);
    EXPECT_TRUE(Plan(TwinOpPatch("2->1", "", 48000)).sample_rate_given);
    const std::string both = R"({"modules": [{"name": "k", "plugin": "wy_VUDA2DU"}],
                                 "midi": {"file": "x.mid", "live": true}})";
    EXPECT_THROW(Plan(both), kvhost::Error);
}

TEST(PlayQueue, CarriesEveryItemInOrderAcrossThreads) {
    SpscQueue<uint32_t> queue(64);
    constexpr uint32_t kItems = 200000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < kItems;) {
            uint32_t batch[7];
            uint32_t n = 0;
            for (; n < 7 && i + n < kItems; ++n) batch[n] = i + n;
            const std::size_t written = queue.Write(batch, n);
            if (written == 0) std::this_thread::yield();
            i += static_cast<uint32_t>(written);
        }
    });
    uint32_t expected = 0, wrong = 0;
    uint32_t items[16];
    while (expected < kItems) {
        const std::size_t n = queue.Read(items, 16);
        if (n == 0) std::this_thread::yield();
        for (std::size_t k = 0; k < n; ++k) wrong += items[k] != expected++ ? 1 : 0;
    }
    producer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(queue.Size(), 0u);
}

// Whole blocks into the FIFO: whatever the periods, and when they change on the way, the
// frames are those the patch renders in blocks.
TEST(PlayEngine, AnyPeriodsGiveTheRenderedFrames) {
    const PatchPlan plan = Plan(TwinOpPatch("2->1", "", 48000));
    const std::vector<float> want = Render(plan, 60000);
    for (const std::vector<uint32_t>& periods :
         std::vector<std::vector<uint32_t>>{{64}, {16}, {48}, {1024}, {100}, {64, 48, 256, 7}}) {
        Engine::Config config;
        config.midi = Notes(48000);
        Engine engine(plan, config);
        ExpectSame(PlayPeriods(engine, 60000, periods), want);
        EXPECT_EQ(Engine::Allocations(), 0u);
        EXPECT_EQ(Engine::Locks(), 0u);
    }
}

// A live note and a pin change that arrive in a period start Latency() after that period's
// start plus their offset, exactly.
TEST(PlayEngine, LiveMidiAndChangesLandAtTheirClocks) {
    const PatchPlan plan = Plan(TwinOpPatch("2->1", "live", 48000));
    for (uint32_t period : {64u, 48u}) {
        Engine engine(plan, {});
        const uint32_t latency = engine.Latency(period);
        EXPECT_EQ(latency, period == 64 ? 0u : 48u);
        const uint64_t note_period = 20, set_period = 40;
        const uint32_t offset = 5;
        const std::vector<float> got =
            PlayPeriods(engine, 8000, {period}, [&](uint64_t played) -> std::vector<LiveMidi> {
                if (played == set_period * period) {
                    engine.Submit({Command::kSet, 1, engine.Node(1).DspPin("Algorithm"), 0.0, 0});
                }
                if (played == note_period * period) return {{offset, 0x90, 69, 100}};
                return {};
            });
        const uint32_t note_at = static_cast<uint32_t>(note_period * period) + offset + latency;
        const uint32_t set_at = static_cast<uint32_t>(set_period * period) + latency;
        Patch model(plan);
        std::vector<float> want(8000);
        for (uint32_t done = 0; done < 8000; done += 64) {
            if (note_at >= done && note_at < done + 64) {
                model.Instance("keys").SendMidi("MIDI In", note_at, 0x90, 69, 100);
            }
            if (set_at >= done && set_at < done + 64) {
                model.Instance("osc").SetValue("Algorithm", 0.0, set_at);
            }
            model.Render(want.data() + done, 64);
        }
        ExpectSame(got, want);
        EXPECT_EQ(engine.GetStats().last_note.load(), 69);
    }
}

// A keyboard ending its note with a note-on of velocity 0 (running status) ends the note:
// the patch hears a note-off, as from a MIDI file.
TEST(PlayEngine, ALiveNoteOnOfVelocityZeroEndsTheNote) {
    const PatchPlan plan = Plan(TwinOpPatch("2->1", "live", 48000));
    Engine engine(plan, {});
    const std::vector<float> got =
        PlayPeriods(engine, 8000, {64}, [&](uint64_t played) -> std::vector<LiveMidi> {
            if (played == 10 * 64) return {{3, 0x90, 60, 100}};
            if (played == 40 * 64) return {{9, 0x90, 60, 0}};
            return {};
        });
    Patch model(plan);
    model.Instance("keys").SendMidi("MIDI In", 10 * 64 + 3, 0x90, 60, 100);
    model.Instance("keys").SendMidi("MIDI In", 40 * 64 + 9, 0x80, 60, 0);
    std::vector<float> want(8000);
    for (uint32_t done = 0; done < 8000; done += 64) model.Render(want.data() + done, 64);
    ExpectSame(got, want);
}

// The chord example played live: the notes spread over its voices as the patch spreads a
// file's, and a change of a pin in the group reaches every voice.
TEST(PlayEngine, LiveNotesAndChangesReachTheVoicesOfAGroup) {
    nlohmann::json patch = nlohmann::json::parse(ReadFile(KVHOST_EXAMPLES "/poly_chords.json"));
    patch["midi"] = {{"live", true}, {"to", "keys.MIDI In"}};
    const PatchPlan plan = Plan(patch.dump());
    Engine engine(plan, {});
    ASSERT_TRUE(engine.TakesLiveMidi());
    const int32_t level = engine.Node(1).DspPin("OP2 Level");
    const uint8_t keys[] = {48, 55, 60, 64, 67, 72, 76, 79, 84};  // nine on eight voices
    const std::vector<float> got =
        PlayPeriods(engine, 12000, {64}, [&](uint64_t played) -> std::vector<LiveMidi> {
            if (played == 60 * 64) engine.Submit({Command::kSet, 1, level, 0.3, 0});
            if (played == 10 * 64) {
                std::vector<LiveMidi> chord;
                for (uint8_t k : keys)
                    chord.push_back({static_cast<uint32_t>(k) % 7, 0x90, k, 100});
                return chord;
            }
            if (played == 100 * 64) return {{1, 0x80, 60, 0}, {2, 0x80, 48, 0}};
            return {};
        });
    Patch model(plan);
    for (uint8_t k : keys) model.SendMidi(10 * 64 + k % 7, 0x90, k, 100);
    std::vector<float> want(12000);
    for (uint32_t done = 0; done < 12000; done += 64) {
        if (done == 60 * 64) {
            for (int32_t v = 0; v < model.Copies("voice"); ++v) {
                model.Instance("voice", v).SetConstant(level, 0.3f, done);
            }
        }
        if (done == 100 * 64) {
            model.SendMidi(done + 1, 0x80, 60, 0);
            model.SendMidi(done + 2, 0x80, 48, 0);
        }
        model.Render(want.data() + done, std::min(64u, 12000 - done));
    }
    ExpectSame(got, want);
}

TEST(PlayEngine, RecordingCountsTheFramesTheRingHadNoRoomFor) {
    const PatchPlan plan = Plan(TwinOpPatch("1->1", "", 48000));
    Engine engine(plan, {});
    SpscQueue<float> ring(1000);  // 1024 frames of one channel
    engine.Record(&ring);
    PlayPeriods(engine, 64 * 20, {64});
    EXPECT_EQ(engine.GetStats().recorded.load(), 1024u);
    EXPECT_EQ(engine.GetStats().lost.load(), 64u * 20 - 1024);
    // Taken out in time, nothing more is lost.
    std::vector<float> sink(1024);
    ring.Read(sink.data(), sink.size());
    PlayPeriods(engine, 64 * 4, {64});
    EXPECT_EQ(engine.GetStats().lost.load(), 64u * 20 - 1024);
}

// Control lines against an engine whose periods the test runs.
class Controlled : public ::testing::Test {
  protected:
    void Start(const std::string& json) {
        plan_ = Plan(json);
        engine_ = std::make_unique<Engine>(plan_, Engine::Config{});
        guis_ = std::make_unique<GuiSides>(*engine_, plan_);
        control_ = std::make_unique<Control>(
            *engine_, *guis_, plan_, Dir() + "/playing.json", json,
            Control::Output{[this](const std::string& t) { replies_.push_back(t); },
                            [this](const std::string& t) { errors_.push_back(t); },
                            [] { return std::string("status"); }});
        Periods(2);
    }
    // Runs periods of 64 frames, with the main thread's part between them.
    void Periods(int count) {
        std::vector<float> buffer(64 * static_cast<std::size_t>(engine_->Channels()));
        std::vector<float*> channels;
        for (int32_t c = 0; c < engine_->Channels(); ++c)
            channels.push_back(buffer.data() + 64 * c);
        for (int k = 0; k < count; ++k) {
            engine_->Process(64, channels.data(), nullptr, 0);
            control_->Exchange();
        }
    }
    std::string Line(const std::string& line) {
        replies_.clear();
        errors_.clear();
        control_->Line(line);
        Periods(2);
        return errors_.empty() ? (replies_.empty() ? "" : replies_.back()) : "error: " + errors_[0];
    }

    PatchPlan plan_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<GuiSides> guis_;
    std::unique_ptr<Control> control_;
    std::vector<std::string> replies_, errors_;
};

const char* const kOscAndAnim = R"({
  "sample_rate": 48000, "block_size": 64,
  "modules": [
    {"name": "osc", "plugin": "ZOR Twin-Op", "pins": {"Algorithm": "1->1", "OP1 FB/Level": 0}},
    {"name": "av", "plugin": "mxt_AnimVolts"}
  ],
  "audio": {"outputs": ["osc.Output", "av.Volts Out"]}
})";

TEST_F(Controlled, LinesSetAndGetBothSidesAndWrongLinesChangeNothing) {
    Start(kOscAndAnim);
    EXPECT_EQ(Line("get osc.OP1 Pitch"), "osc.OP1 Pitch = 5");
    EXPECT_EQ(Line("set osc.OP1 Pitch 6.5"), "osc.OP1 Pitch = 6.5 from sample 256");
    EXPECT_EQ(Line("set osc.Algorithm 2->1"), "osc.Algorithm = 2->1 from sample 384");
    EXPECT_EQ(Line("set av.Min 2"), "av.Min = 2");  // GUI side: at once
    EXPECT_EQ(Line("get av.Min"), "av.Min = 2");
    // The GUI side's control moves "Volts Out" through the DSP side: 0.5 of 2 to 10 V is 6 V.
    EXPECT_EQ(Line("set av.Anim Position 0.5"), "av.Anim Position = 0.5");
    EXPECT_EQ(Line("get av.Volts Out"), "av.Volts Out = 6");
    const std::size_t applied = engine_->GetStats().applied;
    for (const char* wrong :
         {"set osc.Pitch 3", "set osc.OP1 Pitch high", "set osc.Algorithm 4->4", "set osc.Output 1",
          "set nowhere.OP1 Pitch 2", "set osc.OP1 Pitch", "frobnicate", "get osc"}) {
        const std::string answer = Line(wrong);
        EXPECT_EQ(answer.rfind("error: line ", 0), 0u) << wrong << " -> " << answer;
        EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
    }
    EXPECT_EQ(engine_->GetStats().applied, applied);
    EXPECT_EQ(Line("set osc.OP1 Pitch high"),
              "error: line 16: \"osc.OP1 Pitch\": \"high\" is not a number");
    EXPECT_EQ(Line("get osc.OP1 Pitch"), "osc.OP1 Pitch = 6.5");
    const std::string pins = Line("pins");
    EXPECT_NE(pins.find("osc.Algorithm = 2->1\n"), std::string::npos) << pins;
    EXPECT_NE(pins.find("av.Anim Position = 0.5\n"), std::string::npos) << pins;
}

// `save` keeps every value: render of the saved file sounds as the patch played, and a
// play of it restores the GUI side's values.
TEST_F(Controlled, SaveKeepsTheSoundAndTheGuiValues) {
    Start(kOscAndAnim);
    Line("set osc.OP1 Pitch 6.25");
    Line("set osc.Algorithm Test");
    Line("set av.Max 20");
    Line("set av.Anim Position 0.25");
    const std::string saved = Dir() + "/saved.json";
    EXPECT_EQ(Line("save " + saved), "saved " + saved);
    const nlohmann::json j = nlohmann::json::parse(ReadFile(saved));
    EXPECT_EQ(j["modules"][0]["pins"]["OP1 Pitch"], 6.25);
    EXPECT_EQ(j["modules"][0]["pins"]["Algorithm"], "Test");
    EXPECT_EQ(j["modules"][1]["stored"]["Max"], 20);
    EXPECT_EQ(j["modules"][1]["stored"]["Anim Position"], 0.25);
    EXPECT_TRUE(j["modules"][1]["stored"].contains("DSP 2 GUI - Out"));  // IO_PATCH_STORE

    PatchPlan by_hand = Plan(kOscAndAnim);
    by_hand.modules[0].settings = {
        {"Algorithm", "Test"}, {"OP1 FB/Level", "0"}, {"OP1 Pitch", "6.25"}};
    Patch a(kvhost::LoadPatch(saved)), b(by_hand);
    std::vector<float> fa(2 * 9600), fb(2 * 9600);
    a.Render(fa.data(), 9600);
    b.Render(fb.data(), 9600);
    for (std::size_t i = 0; i < fa.size(); i += 2) ASSERT_EQ(fa[i], fb[i]) << i;

    replies_.clear();
    control_.reset();
    guis_.reset();
    engine_.reset();
    Start(ReadFile(saved));
    EXPECT_EQ(Line("get av.Max"), "av.Max = 20");
    EXPECT_EQ(Line("get av.Anim Position"), "av.Anim Position = 0.25");
    EXPECT_EQ(Line("get av.Volts Out"), "av.Volts Out = 5");  // 0.25 of 0 to 20 V
}

TEST_F(Controlled, SaveNeverOverwritesThePlayingPatchUnlessForced) {
    Start(kOscAndAnim);
    const std::string playing = Dir() + "/playing.json";
    WriteFile(playing, kOscAndAnim);
    EXPECT_NE(Line("save " + playing).find("is the patch being played"), std::string::npos);
    EXPECT_EQ(ReadFile(playing), kOscAndAnim);
    EXPECT_EQ(Line("save --force " + playing), "saved " + playing);
    EXPECT_NE(ReadFile(playing), kOscAndAnim);
    EXPECT_NE(Line("save /nonexistent-folder/x.json").find("cannot write it"), std::string::npos);
}

}  // namespace
}  // namespace play_test

namespace play_test {
namespace {

// `map`, `unmap`, `maps` and learning: the table the lines keep is the one the audio thread
// applies (a live controller moves the pin), wrong lines change nothing, and `save` writes
// "midi_map" so that the saved patch plays with the same mappings.
TEST_F(Controlled, MapLinesDriveTheLiveTableAndSaveIt) {
    Start(TwinOpPatch("2->1", "live", 48000));
    const auto controller = [&](uint8_t status, uint8_t cc, uint8_t value) {
        std::vector<float> buffer(64);
        float* channels[] = {buffer.data()};
        const LiveMidi m{3, status, cc, value, 0};
        engine_->Process(64, channels, &m, 1);
        control_->Exchange();
        Periods(2);
    };
    const uint64_t allocations = Engine::Allocations(), locks = Engine::Locks();
    EXPECT_EQ(Line("maps"), "no mappings");
    EXPECT_EQ(Line("map 7 osc.OP2 Pitch"), "mapped cc 7 -> osc.OP2 Pitch 0 10");
    EXPECT_EQ(Line("map 7 osc.OP2 Pitch 7.5 2"), "mapped cc 7 -> osc.OP2 Pitch 7.5 2");
    EXPECT_EQ(Line("map 1 osc.Algorithm"), "mapped cc 1 -> osc.Algorithm 0 3");
    EXPECT_EQ(Line("map 7 osc.OP2 Level 0 1"), "mapped cc 7 -> osc.OP2 Level 0 1");
    const std::string three =
        "cc 1 -> osc.Algorithm 0 3\ncc 7 -> osc.OP2 Pitch 7.5 2\ncc 7 -> osc.OP2 Level 0 1";
    EXPECT_EQ(Line("maps"), three);
    for (const char* wrong :
         {"map 128 osc.OP2 Pitch", "map x osc.OP2 Pitch", "map 7", "map 7 osc.Output",
          "map 7 osc.OP1 Pitch", "map 7 osc.OP2 Pitch 0 11", "map 7 keys.MIDI In",
          "map 7 osc.Nope 0 1", "unmap 9", "unmap 7 osc.Algorithm", "unmap", "maps 2"}) {
        const std::string answer = Line(wrong);
        EXPECT_EQ(answer.rfind("error: line ", 0), 0u) << wrong << " -> " << answer;
        EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
    }
    EXPECT_NE(Line("map 7 osc.OP1 Pitch").find("is wired"), std::string::npos);
    EXPECT_EQ(Line("maps"), three);

    // A controller on any channel: 7.5 + 127/127 * (2 - 7.5) V, and 1 from 0 to 1.
    controller(0xB5, 7, 127);
    EXPECT_EQ(Line("get osc.OP2 Pitch"), "osc.OP2 Pitch = 2");
    EXPECT_EQ(Line("get osc.OP2 Level"), "osc.OP2 Level = 1");
    controller(0xB0, 1, 70);  // round(70/127 * 3) = 2, which the list does not hold
    EXPECT_EQ(Line("get osc.Algorithm"), "osc.Algorithm = 2->1");
    controller(0xB0, 1, 127);
    EXPECT_EQ(Line("get osc.Algorithm"), "osc.Algorithm = Test");

    const std::string saved = Dir() + "/mapped.json";
    EXPECT_EQ(Line("save " + saved), "saved " + saved);
    const nlohmann::json j = nlohmann::json::parse(ReadFile(saved));
    EXPECT_EQ(j["midi_map"], nlohmann::json::parse(R"([
        {"cc": 1, "pin": "osc.Algorithm", "min": 0.0, "max": 3.0},
        {"cc": 7, "pin": "osc.OP2 Pitch", "min": 7.5, "max": 2.0},
        {"cc": 7, "pin": "osc.OP2 Level", "min": 0.0, "max": 1.0}])"));

    EXPECT_EQ(Line("unmap 7 osc.OP2 Pitch"), "unmapped cc 7 (1 mapping)");
    controller(0xB0, 7, 0);
    EXPECT_EQ(Line("get osc.OP2 Pitch"), "osc.OP2 Pitch = 2") << "no longer mapped";
    EXPECT_EQ(Line("get osc.OP2 Level"), "osc.OP2 Level = 0");
    EXPECT_EQ(Line("unmap 7"), "unmapped cc 7 (1 mapping)");
    EXPECT_EQ(Line("maps"), "cc 1 -> osc.Algorithm 0 3");

    // Learning: the next live controller maps its controller and channel over the pin's own
    // range, and moves the pin itself.
    control_->Learn(control_->Find("osc", "OP2 Pitch"));
    EXPECT_TRUE(control_->Learning().has_value());
    replies_.clear();
    controller(0xB2, 20, 127);
    EXPECT_FALSE(control_->Learning().has_value());
    EXPECT_EQ(replies_, std::vector<std::string>{"learned cc 20 channel 3 -> osc.OP2 Pitch 0 10"});
    EXPECT_EQ(Line("get osc.OP2 Pitch"), "osc.OP2 Pitch = 10");
    EXPECT_EQ(Line("maps"), "cc 1 -> osc.Algorithm 0 3\ncc 20 channel 3 -> osc.OP2 Pitch 0 10");
    // Mapping, unmapping, learning and the controllers' changes on the audio thread.
    EXPECT_EQ(Engine::Allocations(), allocations);
    EXPECT_EQ(Engine::Locks(), locks);

    // The saved patch plays with the mappings it was saved with.
    replies_.clear();
    control_.reset();
    guis_.reset();
    engine_.reset();
    Start(ReadFile(saved));
    EXPECT_EQ(Line("maps"), three);
}

}  // namespace
}  // namespace play_test
