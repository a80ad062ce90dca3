// The core's one live path, as every front end drives it: the same samples however a patch
// is fed (render's blocks or chunks, play's periods, the LV2 bridge's runs) and across the
// modules' 32-bit clock wrap; one verdict on a user's value wherever it is given; answers in
// the order of the lines; MIDI the same from a file, live and through the bridge; voices that
// follow keys, the pedal and panic; nothing allocated on the audio thread.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bridge.h"
#include "control.h"
#include "engine.h"
#include "gui_sides.h"
#include "kvhost/midi.h"
#include "kvhost/panel.h"
#include "kvhost/patch.h"
#include "kvhost/voices.h"
#include "lilv_host.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using kvhost::MidiSequence;
using kvhost::Patch;
using kvhost::PatchOptions;
using kvhost::PatchPlan;
using kvhost::play::Command;
using kvhost::play::Control;
using kvhost::play::Engine;
using kvhost::play::GuiSides;

PatchPlan Plan(const std::string& text, const std::string& folder = KVHOST_EXAMPLES) {
    return kvhost::ParsePatch(text, "test.json", folder);
}

std::string Read(const fs::path& path) {
    return kvhost::ReadWholeFile(path.string(), "file");
}

std::optional<MidiSequence> MidiOf(const PatchPlan& plan) {
    const auto path = kvhost::MidiFilePath(plan);
    if (!path) return std::nullopt;
    return kvhost::ReadMidiFile(*path, plan.sample_rate);
}

// `frames` of the patch fed by `next_chunk` (how many frames the next Render call asks for).
std::vector<float> Rendered(const PatchPlan& plan, uint32_t frames,
                            const std::function<uint32_t()>& next_chunk, uint64_t start_clock = 0) {
    PatchOptions options;
    options.start_clock = start_clock;
    Patch patch(plan, std::move(options));
    if (auto midi = MidiOf(plan)) patch.SetMidi(std::move(*midi));
    const auto channels = static_cast<std::size_t>(patch.Channels());
    std::vector<float> out(frames * channels);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(std::max(next_chunk(), 1u), frames - done);
        patch.Render(out.data() + done * channels, n);
        done += n;
    }
    return out;
}

// The same through play's engine, periods from `next_period`, interleaved as render writes.
std::vector<float> Played(const PatchPlan& plan, uint32_t frames,
                          const std::function<uint32_t()>& next_period) {
    Engine::Config config;
    config.midi = MidiOf(plan);
    Engine engine(plan, std::move(config));
    const auto channels = static_cast<std::size_t>(engine.Channels());
    std::vector<std::vector<float>> ports(channels, std::vector<float>(Engine::kMaxPeriod));
    std::vector<float*> pointers;
    for (auto& p : ports) pointers.push_back(p.data());
    std::vector<float> out;
    while (out.size() < frames * channels) {
        const uint32_t n = std::clamp(next_period(), 1u, Engine::kMaxPeriod);
        engine.Process(n, pointers.data(), nullptr, 0);
        for (uint32_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < channels; ++c) out.push_back(ports[c][i]);
        }
    }
    out.resize(frames * channels);
    EXPECT_EQ(Engine::Allocations(), 0u);
    EXPECT_EQ(Engine::Locks(), 0u);
    return out;
}

// Where two renders first differ, or -1.
long FirstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return static_cast<long>(i);
    }
    return -1;
}

// ---- Random patches of the DSP modules ---------------------------------------------------

// A chain of one to three oscillators and the converter, wired as the patch format allows,
// their unwired inputs set to values their pins take, at a random block size, with random
// notes (a file written for the case) when the converter is in.
struct RandomPatch {
    std::string text;
    std::string single;  // the module of a one-module patch, else empty
};

RandomPatch MakeRandomPatch(std::mt19937& random, const fs::path& folder, int index) {
    const char* const oscillators[] = {"ZOR Twin-Op", "ZOR Warpwave", "ZOR Basic Voice"};
    const int32_t blocks[] = {1, 7, 32, 64, 100, 256, 1000, 4096, 8192};
    const auto pick = [&](auto n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const bool keys = pick(3) != 0;
    const int count = 1 + pick(3);
    json modules = json::array(), wires = json::array();
    std::vector<std::string> names;
    if (keys) {
        modules.push_back({{"name", "keys"},
                           {"plugin", "wy_VUDA2DU"},
                           {"pins", {{"Retrigger", pick(2) ? "On" : "Off"}}}});
        names.push_back("keys");
    }
    for (int k = 0; k < count; ++k) {
        const std::string name = "osc" + std::to_string(k);
        const std::string plugin = oscillators[pick(3)];
        kvhost::DspInstance probe(kvhost::Plugin::Load(plugin));
        json pins = json::object();
        for (int32_t p = 0; p < probe.PinCount(); ++p) {
            const kvhost::PinInfo& info = probe.DspPinInfo(p);
            if (info.IsOutput()) continue;
            // A sample input: wired from an earlier output now and then, else some volts.
            if (info.datatype == DT_FSAMPLE) {
                if (!names.empty() && pick(3) == 0) {
                    const std::string from = names[static_cast<std::size_t>(pick(names.size()))];
                    const std::string out =
                        from == "keys" ? (pick(2) ? "Pitch" : "Gate") : "Output";
                    wires.push_back({{"from", from + "." + out}, {"to", name + "." + info.name}});
                } else {
                    // Eighths of a volt: exact in the single precision an LV2 port carries.
                    pins[info.name] = (8 + pick(57)) / 8.0;
                }
            } else if (info.datatype == DT_CHOICE && info.choices) {
                const kvhost::ChoiceList list = kvhost::ParseChoices(*info.choices);
                if (!list.entries.empty()) {
                    pins[info.name] =
                        list.entries[static_cast<std::size_t>(pick(list.entries.size()))].first;
                }
            }
        }
        if (pins.contains("On/Off")) pins["On/Off"] = "On";
        modules.push_back({{"name", name}, {"plugin", plugin}, {"pins", pins}});
        names.push_back(name);
    }
    json patch = {
        {"sample_rate", 48000},
        {"block_size", blocks[pick(std::size(blocks))]},
        {"modules", modules},
        {"wires", wires},
        {"audio", {{"outputs", {names.back() + (names.back() == "keys" ? ".Pitch" : ".Output")}}}}};
    if (keys) {
        std::vector<kvhost::MidiNote> notes;
        for (int n = 0; n < 6; ++n) {
            notes.push_back({0.25 * n + 0.125 * pick(2), 0.1 + 0.05 * pick(4),
                             static_cast<uint8_t>(40 + pick(40)),
                             static_cast<uint8_t>(1 + pick(127))});
        }
        const std::string file = "notes" + std::to_string(index) + ".mid";
        const std::vector<uint8_t> bytes = kvhost::WriteMidiNotes(notes, 120.0);
        std::ofstream(folder / file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        patch["midi"] = file;
    }
    RandomPatch r{patch.dump(), ""};
    if (modules.size() == 1) r.single = modules[0]["plugin"].get<std::string>();
    return r;
}

fs::path Folder(const std::string& name) {
    const fs::path dir =
        fs::path(::testing::TempDir()) / ("live_" + name + "_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

// ---- The same samples however the patch is fed --------------------------------------------

void ExpectSameEverywhere(const PatchPlan& plan, uint32_t frames, std::mt19937& random,
                          const std::string& what) {
    const auto block = static_cast<uint32_t>(plan.block_size);
    const std::vector<float> whole = Rendered(plan, frames, [&] { return block; });
    const long chunks = FirstDifference(
        whole, Rendered(plan, frames, [&] { return 1 + static_cast<uint32_t>(random() % 5000); }));
    EXPECT_EQ(chunks, -1) << what << ": render in random chunks";
    // Periods that change while it plays, as JACK's may.
    const long periods =
        FirstDifference(whole, Played(plan, frames, [&] {
                            const uint32_t choices[] = {
                                16, 64, 100, 256, 1024, 1 + static_cast<uint32_t>(random() % 3000)};
                            return choices[random() % std::size(choices)];
                        }));
    EXPECT_EQ(periods, -1) << what << ": play's engine at random periods";
}

TEST(SameEverywhere, EveryExamplePatch) {
    std::mt19937 random(23);
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(KVHOST_EXAMPLES)) {
        if (entry.path().extension() != ".json") continue;
        const PatchPlan plan = kvhost::LoadPatch(entry.path().string());
        std::unique_ptr<Patch> probe;
        try {
            probe = std::make_unique<Patch>(plan);
        } catch (const kvhost::Error&) {
            continue;  // GUI sides alone (the panel's example): nothing to render
        }
        ExpectSameEverywhere(plan, static_cast<uint32_t>(plan.sample_rate * 1.5), random,
                             entry.path().filename().string());
        ++checked;
    }
    EXPECT_GE(checked, 7);
}

// Released copies asleep and woken by their next note, at several block sizes: render in
// chunks and play's periods agree with whole blocks, and copies did sleep and wake.
TEST(SameEverywhere, SleepingVoicesWakeAlike) {
    std::mt19937 random(11);
    json chords = json::parse(Read(fs::path(KVHOST_EXAMPLES) / "poly_chords.json"));
    ASSERT_TRUE(chords["voices"]["sleep"].get<bool>());
    for (int block : {16, 64, 100}) {
        chords["block_size"] = block;
        chords["seconds"] = 4.0;
        const PatchPlan plan = Plan(chords.dump());
        const auto frames = static_cast<uint32_t>(plan.sample_rate * 4.0);
        ExpectSameEverywhere(plan, frames, random,
                             "sleeping voices, block " + std::to_string(block));
        Patch patch(plan);
        patch.SetMidi(*MidiOf(plan));
        std::vector<float> out(static_cast<std::size_t>(block)), sum(out.size());
        const int32_t voice = static_cast<int32_t>(
            std::find(patch.Order().begin(), patch.Order().end(), "voice") - patch.Order().begin());
        const int32_t pin = patch.Instance(voice).DspPin("Output");
        const auto gain = static_cast<float>(plan.gain);
        int most = 0, woken = 0, before = 0;
        for (uint32_t done = 0; done < frames; done += static_cast<uint32_t>(block)) {
            patch.Render(out.data(), static_cast<uint32_t>(block));
            // Every copy's output summed in copy order, sleeping ones' silence included.
            std::fill(sum.begin(), sum.end(), 0.0f);
            for (int32_t k = 0; k < patch.Copies(voice); ++k) {
                const float* b = patch.Instance(voice, k).Buffer(pin);
                for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = k == 0 ? b[i] : sum[i] + b[i];
            }
            for (float& v : sum) v *= gain;
            ASSERT_EQ(std::memcmp(sum.data(), out.data(), sum.size() * sizeof(float)), 0) << done;
            const int now = patch.SleepingCopies();
            most = std::max(most, now);
            woken += now < before ? 1 : 0;
            before = now;
        }
        EXPECT_EQ(most, 8) << block;  // all asleep before the first note
        EXPECT_GT(woken, 1) << block;
    }
}

// A copy wakes when an event falls due for it, and a group with a GUI side never sleeps.
TEST(SameEverywhere, DueEventsWakeCopiesAndGuiSidesKeepThemAwake) {
    const std::string head = R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "keys", "plugin": "wy_VUDA2DU"}, )";
    const PatchPlan plain = Plan(head + R"({"name": "osc", "plugin": "ZOR Twin-Op",
        "pins": {"On/Off": "On", "Algorithm": "2->1"}}],
        "voices": {"count": 4, "modules": ["keys", "osc"], "sleep": true},
        "wires": [{"from": "keys.Gate", "to": "osc.OP1 FB/Level"}],
        "audio": {"outputs": ["osc.Output"]}})");
    Patch patch(plain);
    std::vector<float> out(64);
    patch.Render(out.data(), 64);
    EXPECT_EQ(patch.SleepingCopies(), 4);
    // A note queued ten blocks ahead wakes its copy in the block it falls due, not before:
    // asleep or awake follows when events are due, never when they were queued.
    patch.SendMidi(patch.Clock() + 640, 0x90, 60, 100);
    for (int b = 0; b < 11; ++b) {
        EXPECT_EQ(patch.SleepingCopies(), 4) << b;
        patch.Render(out.data(), 64);
    }
    EXPECT_EQ(patch.SleepingCopies(), 3);
    // The woken copy's instances stand where the patch does, as if they had never slept.
    int32_t at_clock = 0;
    for (int32_t k = 0; k < 4; ++k) {
        at_clock += patch.Instance("osc", k).Clock() == static_cast<uint32_t>(patch.RunClock());
    }
    EXPECT_EQ(at_clock, 1);
    const PatchPlan gui = Plan(head + R"({"name": "av", "plugin": "mxt_AnimVolts"}],
        "voices": {"count": 4, "modules": ["keys", "av"], "sleep": true},
        "wires": [{"from": "keys.Gate", "to": "av.Volts In"}],
        "audio": {"outputs": ["av.Volts Out"]}})");
    Patch watched(gui);
    for (int b = 0; b < 4; ++b) watched.Render(out.data(), 64);
    EXPECT_EQ(watched.SleepingCopies(), 0);
}

TEST(SameEverywhere, SleepIsRefusedWhereItCannotWake) {
    const std::string head = R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "keys", "plugin": "wy_VUDA2DU"}, {"name": "osc", "plugin": "ZOR Twin-Op"}],
        "wires": [{"from": "keys.Gate", "to": "osc.OP1 FB/Level"}],
        "audio": {"outputs": ["osc.Output"]}, "voices": )";
    const std::pair<const char*, const char*> cases[] = {
        {R"({"count": 4, "modules": ["keys", "osc"], "sleep": "yes"})",
         "test.json:4: \"voices\": \"sleep\" \"yes\" is not true or false"},
        {R"({"count": 4, "modules": ["osc"], "sleep": true})",
         "\"voices\": \"sleep\" needs the group's copies to hold the patch's MIDI input"},
        {R"({"count": 1, "modules": ["keys", "osc"], "sleep": true})",
         "\"voices\": \"sleep\" needs the group's copies to hold the patch's MIDI input"},
    };
    for (const auto& [group, message] : cases) {
        try {
            Patch patch(Plan(head + group + "}"));
            ADD_FAILURE() << group;
        } catch (const kvhost::Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// One-module patches through the LV2 bridge, at random run lengths: the render, after the
// latency the bridge reports.
std::vector<float> Bridged(const PatchPlan& plan, const std::string& plugin, uint32_t frames,
                           std::mt19937& random) {
    kvhost::lv2::LilvHost host;
    const kvhost::lv2::MidiUrids urids{host.Map(LV2_ATOM__Sequence), host.Map(LV2_MIDI__MidiEvent),
                                       host.Map(LV2_ATOM__frameTime)};
    const uint32_t latency = static_cast<uint32_t>(plan.block_size - 1);
    kvhost::lv2::Bridge bridge(kvhost::Plugin::Load(plugin), plan.sample_rate, plan.block_size,
                               urids, latency);
    const kvhost::lv2::Layout& layout = bridge.GetLayout();
    std::vector<float> values(layout.ports.size());
    std::vector<float> out(8192);
    kvhost::lv2::MidiBuffer midi(host);
    int32_t output = -1;
    for (const auto& p : layout.ports) {
        values[p.index] = p.default_value;
        // The patch's settings, as the port carries them (volts on a volts port).
        for (const auto& s : plan.modules[0].settings) {
            const std::string name = p.role == kvhost::lv2::Role::kVolts ? s.pin + " (V)" : s.pin;
            if (p.name != name || p.kind != kvhost::lv2::PortKind::kControlIn) continue;
            kvhost::DspInstance probe(kvhost::Plugin::Load(plugin));
            values[p.index] = static_cast<float>(
                *kvhost::CheckUserValue(probe.DspPinInfo(p.dsp_pin), s.text).value);
        }
        if (p.kind == kvhost::lv2::PortKind::kControlIn ||
            p.kind == kvhost::lv2::PortKind::kControlOut) {
            bridge.ConnectPort(p.index, &values[p.index]);
        } else if (p.kind == kvhost::lv2::PortKind::kMidiIn) {
            bridge.ConnectPort(p.index, midi.Data());
        } else if (p.kind == kvhost::lv2::PortKind::kAudioOut && output < 0) {
            output = static_cast<int32_t>(p.index);
            bridge.ConnectPort(p.index, out.data());
        }
    }
    bridge.Activate();
    const std::optional<MidiSequence> notes = MidiOf(plan);
    std::size_t next = 0;
    std::vector<float> got;
    uint64_t clock = 0;
    while (got.size() < frames + latency) {
        const auto n = static_cast<uint32_t>(random() % 3000);
        midi.Clear();
        while (notes && next < notes->events.size() && notes->events[next].sample < clock + n) {
            const kvhost::MidiEvent& e = notes->events[next++];
            midi.Add(static_cast<int64_t>(e.sample - clock), e.status, e.d1, e.d2);
        }
        bridge.Run(n);
        got.insert(got.end(), out.begin(), out.begin() + n);
        clock += n;
    }
    EXPECT_TRUE(bridge.Failure().empty()) << bridge.Failure();
    got.erase(got.begin(), got.begin() + latency);
    got.resize(frames);
    return got;
}

TEST(SameEverywhere, RandomPatchesOfTheDspModules) {
    std::mt19937 random(5);
    const fs::path folder = Folder("random");
    int singles = 0;
    for (int k = 0; k < 24; ++k) {
        const RandomPatch r = MakeRandomPatch(random, folder, k);
        SCOPED_TRACE(r.text);
        const PatchPlan plan = Plan(r.text, folder.string());
        ExpectSameEverywhere(plan, 24000, random, "random patch " + std::to_string(k));
        if (!r.single.empty()) {
            ++singles;
            const std::vector<float> want = Rendered(plan, 24000, [&] { return plan.block_size; });
            EXPECT_EQ(FirstDifference(want, Bridged(plan, r.single, 24000, random)), -1)
                << "the LV2 bridge";
        }
    }
    EXPECT_GT(singles, 2);
}

// ---- The modules' clock wraps; the host's does not ------------------------------------------

TEST(ClockWrap, EveryPatchSoundsTheSameAcrossIt) {
    std::vector<std::string> patches;
    for (const auto& entry : fs::directory_iterator(KVHOST_EXAMPLES)) {
        if (entry.path().extension() == ".json") patches.push_back(Read(entry.path()));
    }
    // The animation converter posts its own ticks ahead of the clock: across the wrap too.
    patches.push_back(R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "osc", "plugin": "ZOR Warpwave", "pins": {"Pitch": 1}},
        {"name": "av", "plugin": "mxt_AnimVolts", "pins": {"Sampling Method": "End"}}],
        "wires": [{"from": "osc.Output", "to": "av.Volts In"}],
        "audio": {"outputs": ["av.Volts Out", "osc.Output"]}})");
    int checked = 0;
    for (const std::string& text : patches) {
        const PatchPlan plan = Plan(text);
        try {
            Patch probe(plan);
        } catch (const kvhost::Error&) {
            continue;
        }
        ++checked;
        const auto block = static_cast<uint32_t>(plan.block_size);
        const uint32_t frames = static_cast<uint32_t>(plan.sample_rate);
        for (uint64_t before : {uint64_t{1}, uint64_t{block * 50 + 3}, uint64_t{20000}}) {
            const uint64_t start = (uint64_t{1} << 32) - before;
            EXPECT_EQ(FirstDifference(Rendered(plan, frames, [&] { return block; }),
                                      Rendered(
                                          plan, frames, [&] { return block; }, start)),
                      -1)
                << text.substr(0, 120) << "\nstarting " << before << " before the wrap";
        }
    }
    EXPECT_GE(checked, 8);  // every example that sounds, and the animation converter
}

// ---- One verdict on a value, wherever it is given -----------------------------------------

struct ValueCase {
    const char* plugin;
    const char* pin;
    std::string value;
    bool accepted;
};

// A patch of the case's module with the value set under `key` ("pins" or "stored"), beside
// an oscillator that gives the patch a sound.
std::string PatchWith(const ValueCase& c, const char* key) {
    json m = {{"name", "m"}, {"plugin", c.plugin}};
    m[key] = {{c.pin, c.value}};
    return json({{"modules", {m, {{"name", "osc"}, {"plugin", "ZOR Twin-Op"}}}},
                 {"audio", {{"outputs", {"osc.Output"}}}}})
        .dump();
}

bool Accepted(const std::function<void()>& f) {
    try {
        f();
        return true;
    } catch (const kvhost::Error&) {
        return false;
    }
}

TEST(Values, OneVerdictInPatchesLinesPanelsAndSaves) {
    const std::string long_text(kvhost::kMaxTextValue + 1, '1');
    const std::vector<ValueCase> cases = {
        {"ZOR Twin-Op", "Algorithm", "2->1", true},   {"ZOR Twin-Op", "Algorithm", "1", true},
        {"ZOR Twin-Op", "Algorithm", "99", false},    {"ZOR Twin-Op", "Algorithm", "3.5", false},
        {"ZOR Twin-Op", "Algorithm", "inf", false},   {"ZOR Twin-Op", "Algorithm", "NaN", false},
        {"ZOR Twin-Op", "OP2 Level", "6", true},      {"ZOR Twin-Op", "OP2 Level", "-3.25", true},
        {"ZOR Twin-Op", "OP2 Level", "1e300", false}, {"ZOR Twin-Op", "OP2 Level", "inf", false},
        {"ZOR Twin-Op", "OP2 Level", "NaN", false},   {"wy_VUDA2DU", "Bend Range", "12", true},
        {"wy_VUDA2DU", "Bend Range", "-5", false},    {"wy_VUDA2DU", "Bend Range", "13", false},
        {"jx_VecMul", "Array In", "1,2,3", true},     {"jx_VecMul", "Array In", long_text, false},
        {"jx_VecMul", "Multiply by", "1e300", false}, {"jx_VecMul", "Multiply by", "2.5", true},
        {"jx_CsvFloats", "FLOAT", "1", false},  // a name 32 pins share
        {"jx_CsvFloats", "#1", "1.5", true},
    };
    const fs::path folder = Folder("values");
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(std::string(c.plugin) + "." + c.pin + " = " + c.value.substr(0, 20));
        kvhost::DspInstance probe(kvhost::Plugin::Load(c.plugin));
        const std::vector<int32_t> named = kvhost::PinsNamed(probe.Pins(), c.pin);
        const bool gui = probe.Pins()[static_cast<std::size_t>(named.front())].IsGuiSide();
        if (gui) {
            // A patch for the panel sets it under "pins"; a saved one keeps it under "stored",
            // which render checks too; the panel's message.
            json panel = json::parse(PatchWith(c, "pins"));
            panel["modules"].erase(1);
            panel.erase("audio");
            EXPECT_EQ(Accepted([&] { kvhost::GuiPatchModel model(Plan(panel.dump())); }),
                      c.accepted)
                << "in a patch for the panel";
            EXPECT_EQ(Accepted([&] { Patch patch(Plan(PatchWith(c, "stored"))); }), c.accepted)
                << "stored in a patch";
            panel["modules"][0].erase("pins");
            kvhost::GuiPatchModel model(Plan(panel.dump()));
            EXPECT_EQ(Accepted([&] { model.Set("m", c.pin, c.value); }), c.accepted)
                << "from the panel";
            continue;
        }
        EXPECT_EQ(Accepted([&] { Patch patch(Plan(PatchWith(c, "pins"))); }), c.accepted)
            << "in a patch";
        // As a control line, and the value saved and read back by render.
        json blank = json::parse(PatchWith(c, "pins"));
        blank["modules"][0].erase("pins");
        blank.erase("sample_rate");  // and save adds none
        const PatchPlan plan = Plan(blank.dump(), folder.string());
        Engine engine(plan, {});
        GuiSides guis(engine, plan);
        std::vector<std::string> replies, errors;
        Control control(
            engine, guis, plan, (folder / "playing.json").string(), blank.dump(),
            {[&](const std::string& t) { replies.push_back(t); },
             [&](const std::string& t) { errors.push_back(t); }, [] { return std::string(); }});
        std::vector<float> port(64);
        float* ports[] = {port.data()};
        const auto line = [&](const std::string& l) {
            control.Line(l);
            for (int k = 0; k < 3; ++k) {
                engine.Process(64, ports, nullptr, 0);
                control.Exchange();
            }
        };
        line("set m." + std::string(c.pin) + " " + c.value);
        EXPECT_EQ(errors.empty(), c.accepted)
            << "as a control line: " << (errors.empty() ? "" : errors[0]);
        EXPECT_EQ(Accepted([&] { control.SetQuietly(control.Find("m", c.pin), c.value); }),
                  c.accepted)
            << "as the panel's set";
        const fs::path saved = folder / "saved.json";
        fs::remove(saved);
        errors.clear();
        line("save " + saved.string());
        ASSERT_TRUE(errors.empty()) << errors[0];
        const PatchPlan again = kvhost::LoadPatch(saved.string());
        EXPECT_FALSE(json::parse(Read(saved)).contains("sample_rate"));
        EXPECT_NO_THROW(Patch reopened(again)) << "render refuses what save wrote";
    }
}

// ---- Answers in the order of the lines -----------------------------------------------------

TEST(ControlOrder, EachGetAnswersTheSetBeforeIt) {
    const std::string text = R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "osc", "plugin": "ZOR Twin-Op", "pins": {"OP2 Level": 0.6}}],
        "audio": {"outputs": ["osc.Output"]}})";
    const PatchPlan plan = Plan(text);
    Engine engine(plan, {});
    GuiSides guis(engine, plan);
    std::vector<std::string> replies, errors;
    Control control(
        engine, guis, plan, "playing.json", text,
        {[&](const std::string& t) { replies.push_back(t); },
         [&](const std::string& t) { errors.push_back(t); }, [] { return std::string(); }});
    std::vector<float> port(256);
    float* ports[] = {port.data()};
    std::mt19937 random(3);
    std::vector<std::string> expected = {"osc.OP2 Level = 0.6"};
    control.Line("get osc.OP2 Level");
    for (int k = 0; k < 5000; ++k) {
        const std::string v =
            std::to_string(random() % 100) + "." + std::to_string(random() % 4 * 25);
        control.Line("set osc.OP2 Level " + v);
        control.Line("get osc.OP2 Level");
        expected.push_back("");  // the set's own reply
        expected.push_back(
            "osc.OP2 Level = " +
            kvhost::play::FormatPinValue(engine.Node(0).DspPinInfo(5), std::stod(v) * 0.1));
        if (random() % 3 == 0) {
            engine.Process(1 + static_cast<uint32_t>(random() % 256), ports, nullptr, 0);
            control.Exchange();
        }
    }
    while (control.Waiting() > 0) {
        engine.Process(256, ports, nullptr, 0);
        control.Exchange();
    }
    ASSERT_TRUE(errors.empty()) << errors[0];
    ASSERT_EQ(replies.size(), expected.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        if (!expected[i].empty()) {
            ASSERT_EQ(replies[i], expected[i]) << "reply " << i;
        }
    }
}

// ---- MIDI: one stream, the same events through a file, live and the bridge -----------------

// The probe module's reports of the MIDI it got: (clock, packed message).
std::vector<std::pair<uint32_t, int32_t>> MidiSeen(const kvhost::DspInstance& dsp) {
    std::vector<std::pair<uint32_t, int32_t>> seen;
    for (const auto& r : dsp.PinAtTimes()) {
        if (r.pin == 300) seen.emplace_back(r.clock, r.value);
    }
    return seen;
}

TEST(MidiStreams, TheSameEventsFromAFileLiveAndThroughTheBridge) {
    // The probe module lies beside the tests, which a patch may name once it is searched.
    kvhost::SetPluginFolders({fs::path(KVHOST_PROBE).parent_path().string()});
    // Chunks of bytes at frames: running status (a note ended by a note-on of velocity 0),
    // system exclusive in the middle of it, real-time bytes inside a message, system
    // messages and stray data.
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> stream = {
        {100, {0x90, 60, 100}},
        {150, {62, 90}},                        // running status: a second note-on
        {200, {0xF0, 0x43, 0x10, 0x7F, 0xF7}},  // system exclusive
        {250, {0x90, 0xF8, 60, 0}},             // a clock byte inside; velocity 0 ends 60
        {300, {0xB0, 64, 127, 0xFE, 1, 64}},    // sustain, active sensing, then a modulation
        {350, {0xF2, 0x10, 0x20}},              // song position: passed to nobody
        {400, {0xE0, 0, 64, 0x80, 62, 0}},      // bend, then the second key's release
        {450, {0xC0, 5, 0xD0, 70}},             // program change, channel pressure
    };
    const std::vector<std::pair<uint32_t, int32_t>> want = {
        {100, 0x90 | 60 << 8 | 100 << 16},
        {150, 0x90 | 62 << 8 | 90 << 16},
        {250, 0x80 | 60 << 8},
        {300, 0xB0 | 64 << 8 | 127 << 16},
        {300, 0xB0 | 1 << 8 | 64 << 16},
        {400, 0xE0 | 64 << 16},
        {400, 0x80 | 62 << 8},
        {450, 0xC0 | 5 << 8},
        {450, 0xD0 | 70 << 8},
    };
    const std::string text = R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "probe", "plugin": ")" KVHOST_PROBE R"("}], "midi": "live",
        "audio": {"outputs": ["probe.Out"]}})";
    const auto run = [](Patch& patch, uint32_t frames) {
        std::vector<float> out(frames * static_cast<std::size_t>(patch.Channels()));
        patch.Render(out.data(), frames);
    };
    // Live, in pieces of any size.
    {
        Patch patch(Plan(text));
        patch.Instance(0).SetLogging(true);
        for (const auto& [frame, bytes] : stream) {
            for (std::size_t i = 0; i < bytes.size(); i += 2) {
                patch.LiveMidi(frame, bytes.data() + i, std::min<std::size_t>(2, bytes.size() - i));
            }
        }
        run(patch, 512);
        EXPECT_EQ(MidiSeen(patch.Instance(0)), want) << "live";
    }
    // From a file holding the same messages as a file keeps them: each with its time, a
    // note ended by a note-on of velocity 0, running status, system exclusive between.
    {
        const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> events = {
            {100, {0x90, 60, 100}},
            {150, {62, 90}},
            {200, {0xF0, 4, 0x43, 0x10, 0x7F, 0xF7}},
            {250, {0x90, 60, 0}},
            {300, {0xB0, 64, 127}},
            {300, {1, 64}},
            {400, {0xE0, 0, 64}},
            {400, {0x80, 62, 0}},
            {450, {0xC0, 5}},
            {450, {0xD0, 70}},
        };
        std::vector<uint8_t> track;
        uint32_t last = 0;
        for (const auto& [frame, bytes] : events) {
            track.push_back(static_cast<uint8_t>((frame - last) / 50));  // 50 frames a tick
            last = frame;
            track.insert(track.end(), bytes.begin(), bytes.end());
        }
        track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
        // 480 ticks a beat at the default 120 beats a minute: a tick is 50 frames at 48 kHz.
        std::vector<uint8_t> file = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                                     0,   0,   1,   0x01, 0xE0, 'M', 'T', 'r', 'k'};
        const auto size = static_cast<uint32_t>(track.size());
        for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<uint8_t>(size >> s));
        file.insert(file.end(), track.begin(), track.end());
        Patch patch(Plan(text));
        patch.Instance(0).SetLogging(true);
        patch.SetMidi(kvhost::ParseMidi(file, 48000.0, "stream.mid"));
        run(patch, 512);
        EXPECT_EQ(MidiSeen(patch.Instance(0)), want) << "from a file";
    }
    // Through the bridge, each chunk one event of the host's sequence.
    {
        kvhost::lv2::LilvHost host;
        kvhost::lv2::Bridge bridge(kvhost::Plugin::Load(KVHOST_PROBE), 48000.0, 64,
                                   {host.Map(LV2_ATOM__Sequence), host.Map(LV2_MIDI__MidiEvent),
                                    host.Map(LV2_ATOM__frameTime)},
                                   0, true);
        kvhost::lv2::MidiBuffer midi(host);
        for (const auto& p : bridge.GetLayout().ports) {
            if (p.kind == kvhost::lv2::PortKind::kMidiIn) bridge.ConnectPort(p.index, midi.Data());
        }
        bridge.Activate();
        for (const auto& [frame, bytes] : stream) {
            midi.Add(frame, bytes.data(), static_cast<uint32_t>(bytes.size()));
        }
        bridge.Run(512);
        EXPECT_EQ(MidiSeen(*bridge.Dsp()), want) << "through the bridge";
    }
}

// ---- Voices follow keys, the pedal and stealing ------------------------------------------

// A table of messages for a group of three copies, each line the copies that heard it.
TEST(Voices, KeysThePedalAndStealing) {
    struct Step {
        uint8_t status, d1, d2;
        std::vector<std::pair<int32_t, uint8_t>> heard;  // (copy, status) in order
    };
    const std::vector<Step> steps = {
        {0x90, 60, 100, {{0, 0x90}}},
        {0x90, 64, 100, {{1, 0x90}}},
        {0xB0, 64, 127, {{0, 0xB0}, {1, 0xB0}, {2, 0xB0}}},  // pedal down
        {0x80, 60, 0, {{0, 0x80}}},                          // held by the pedal alone
        {0x90, 67, 100, {{2, 0x90}}},                        // copy 0 is not free
        {0x90, 60, 100, {{0, 0x80}, {0, 0x90}}},             // a sustained key, struck again
        {0x80, 60, 0, {{0, 0x80}}},
        {0x90, 72, 100, {{0, 0x80}, {0, 0x90}}},         // steals the pedal's copy before held keys
        {0x90, 0x00 + 74, 100, {{1, 0x80}, {1, 0x90}}},  // all held: the oldest note's copy
        {0xB0, 64, 0, {{0, 0xB0}, {1, 0xB0}, {2, 0xB0}}},  // pedal up: nothing was sustained
        {0x80, 67, 0, {{2, 0x80}}},
        {0x90, 76, 100, {{2, 0x90}}},  // the free copy
        {0x90, 77, 0, {}},             // a velocity-0 note-on of a key nobody holds: nowhere
        {0x90, 76, 0, {{2, 0x90}}},    // of a held key: a release (passed on as it came)
        {0x90, 79, 100, {{2, 0x90}}},  // so copy 2 is free again
        {0xB0, 123, 0, {{0, 0xB0}, {1, 0xB0}, {2, 0xB0}}},
        {0x90, 81, 100, {{0, 0x90}}},  // all freed: copy 0 was freed first
    };
    kvhost::VoiceRouter router(3);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        std::vector<std::pair<int32_t, uint8_t>> heard;
        router.Route(s.status, s.d1, s.d2, [&](int32_t copy, uint8_t status, uint8_t, uint8_t) {
            heard.emplace_back(copy, status);
        });
        EXPECT_EQ(heard, s.heard) << "step " << i;
    }
    router.Clear();
    for (int32_t c = 0; c < 3; ++c) EXPECT_EQ(router.Key(c), -1);
}

// Random messages never leave a key on two copies, and every key a copy holds was struck.
TEST(Voices, BookkeepingStaysSoundUnderAnyMessages) {
    std::mt19937 random(11);
    for (int32_t copies : {2, 5, 16}) {
        kvhost::VoiceRouter router(copies);
        for (int k = 0; k < 20000; ++k) {
            const uint8_t kinds[] = {0x90, 0x80, 0xB0, 0xA0};
            const auto status = kinds[random() % 4];
            const auto d1 = static_cast<uint8_t>(
                status >= 0xB0 ? (random() % 2 ? 64 : 120 + random() % 8) : 60 + random() % 8);
            router.Route(status, d1, static_cast<uint8_t>(random() % 128),
                         [](int32_t, uint8_t, uint8_t, uint8_t) {});
            std::map<int32_t, int> held;
            for (int32_t c = 0; c < copies; ++c) {
                if (router.Key(c) >= 0) {
                    ASSERT_EQ(++held[router.Key(c)], 1) << "message " << k;
                }
            }
        }
    }
}

// ---- Panic and the audio thread --------------------------------------------------------------

TEST(Panic, SilencesEveryVoice) {
    json patch = json::parse(Read(fs::path(KVHOST_EXAMPLES) / "poly_chords.json"));
    patch["midi"] = {{"live", true}, {"to", "keys.MIDI In"}};
    const PatchPlan plan = Plan(patch.dump());
    Engine engine(plan, {});
    std::vector<float> port(64);
    float* ports[] = {port.data()};
    std::vector<kvhost::play::LiveMidi> chord;
    for (uint8_t key : {48, 52, 55, 60, 64, 67, 70, 72, 76}) chord.push_back({0, 0x90, key, 100});
    engine.Process(64, ports, chord.data(), chord.size());
    float peak = 0.0f;
    for (int k = 0; k < 20; ++k) {
        engine.Process(64, ports, nullptr, 0);
        for (float v : port) peak = std::max(peak, std::fabs(v));
    }
    EXPECT_GT(peak, 0.1f);
    engine.Submit({Command::kPanic, 0, 0, 0.0, 1});
    engine.Process(64, ports, nullptr, 0);
    for (int k = 0; k < 4; ++k) {
        engine.Process(64, ports, nullptr, 0);
        for (float v : port) ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(engine.GetPatch().Voices()->Key(0), -1);
}

// A MIDI file of 10,000 messages in one block, and a module posting its own events: the audio
// thread allocates nothing, and what the queues could not hold is counted.
TEST(RealTime, AFloodOfEventsIsRefusedAndCountedNotGrown) {
    MidiSequence flood;
    for (int k = 0; k < 10000; ++k) {
        flood.events.push_back({100, static_cast<uint8_t>(k % 2 ? 0x80 : 0x90), 60, 100});
    }
    flood.end_sample = 100;
    const PatchPlan plan = Plan(R"({"sample_rate": 48000, "block_size": 64, "modules": [
        {"name": "keys", "plugin": "wy_VUDA2DU"},
        {"name": "osc", "plugin": "ZOR Twin-Op"},
        {"name": "av", "plugin": "mxt_AnimVolts", "pins": {"Sampling Method": "End"}}],
        "wires": [{"from": "keys.Pitch", "to": "osc.OP1 Pitch"}, {"from": "osc.Output", "to": "av.Volts In"}],
        "audio": {"outputs": ["osc.Output", "av.Volts Out"]}})");
    Engine::Config config;
    config.midi = flood;
    Engine engine(plan, std::move(config));
    std::vector<float> a(256), b(256);
    float* ports[] = {a.data(), b.data()};
    for (int k = 0; k < 400; ++k) engine.Process(256, ports, nullptr, 0);
    EXPECT_EQ(Engine::Allocations(), 0u);
    EXPECT_EQ(Engine::Locks(), 0u);
    EXPECT_GT(engine.GetStats().events_dropped.load(), 9000u);
    EXPECT_FALSE(engine.GetStats().failed.load()) << engine.Failure();
}

}  // namespace
