// The bridge's instance driven directly, as an LV2 host drives it: what the module sees
// (statuses, events, slices, through the probe module's own reports), what the ports carry,
// and the host library's output reproduced whatever the run lengths.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <tuple>

#include "alloc_count.h"
#include "bridge.h"
#include "lilv_host.h"

namespace {

using kvhost::DspInstance;
using kvhost::Plugin;
using kvhost::lv2::Bridge;
using kvhost::lv2::Layout;
using kvhost::lv2::Port;
using kvhost::lv2::PortKind;

// The probe module's report codes (what, value, clock through HOST_PIN_AT_TIME).
enum Trace : int32_t { kStatus = 100, kInSample = 200, kLevel = 201, kMode = 202, kMidi = 300 };
constexpr int32_t kProcess = 500, kPinIndex = 600;

constexpr uint32_t kMaxRun = 1024;

// One bridged instance with every control and output port connected to storage of its
// own (controls start at their defaults), signal inputs unconnected until Connect.
class Rig {
  public:
    Rig(const std::string& plugin, int32_t block, uint32_t latency, bool keep_logs = true,
        double rate = 48000.0)
        : bridge_(Plugin::Load(plugin), rate, block, Urids(host_), latency, keep_logs),
          midi_(host_) {
        const Layout& layout = bridge_.GetLayout();
        values_.resize(layout.ports.size());
        audio_.resize(layout.ports.size());
        for (const Port& p : layout.ports) {
            values_[p.index] = p.default_value;
            switch (p.kind) {
                case PortKind::kControlIn:
                case PortKind::kControlOut:
                    bridge_.ConnectPort(p.index, &values_[p.index]);
                    break;
                case PortKind::kAudioOut:
                    audio_[p.index].assign(2 * kMaxRun, 0.0f);
                    bridge_.ConnectPort(p.index, audio_[p.index].data());
                    break;
                case PortKind::kMidiIn:
                    bridge_.ConnectPort(p.index, midi_.Data());
                    break;
                case PortKind::kAudioIn:
                    break;
            }
        }
        bridge_.Activate();
    }

    static kvhost::lv2::MidiUrids Urids(kvhost::lv2::LilvHost& host) {
        return {host.Map(LV2_ATOM__Sequence), host.Map(LV2_MIDI__MidiEvent),
                host.Map(LV2_ATOM__frameTime)};
    }

    uint32_t Index(const std::string& symbol) const {
        for (const Port& p : bridge_.GetLayout().ports) {
            if (p.symbol == symbol) return p.index;
        }
        ADD_FAILURE() << "no port " << symbol;
        return 0;
    }
    float& Control(const std::string& symbol) { return values_[Index(symbol)]; }
    // Connects a signal input to `samples` (read from the start of each run), or unconnects it.
    void Connect(const std::string& symbol, const float* samples) {
        bridge_.ConnectPort(Index(symbol), const_cast<float*>(samples));
    }
    kvhost::lv2::MidiBuffer& Midi() { return midi_; }
    // Runs `frames` and answers what the output port `symbol` got.
    std::vector<float> Run(uint32_t frames, const std::string& symbol = "") {
        bridge_.Run(frames);
        midi_.Clear();
        return symbol.empty() ? std::vector<float>{} : Output(symbol, frames);
    }
    // What the last run left in the output port `symbol`.
    std::vector<float> Output(const std::string& symbol, uint32_t frames) {
        const std::vector<float>& out = audio_[Index(symbol)];
        const auto from = out.begin() + (moved_ ? kMaxRun : 0);
        return {from, from + frames};
    }
    // As hosts with buffer pools do: every output port gets the other half of its storage,
    // and what was written there before is overwritten.
    void MoveOutputs() {
        moved_ = !moved_;
        for (const Port& p : bridge_.GetLayout().ports) {
            if (p.kind != PortKind::kAudioOut) continue;
            std::vector<float>& out = audio_[p.index];
            std::fill(out.begin(), out.end(), 123.0f);
            bridge_.ConnectPort(p.index, out.data() + (moved_ ? kMaxRun : 0));
        }
    }
    Bridge& Get() { return bridge_; }
    DspInstance& Dsp() { return *bridge_.Dsp(); }

  private:
    kvhost::lv2::LilvHost host_;
    Bridge bridge_;
    kvhost::lv2::MidiBuffer midi_;
    std::vector<float> values_;
    std::vector<std::vector<float>> audio_;
    bool moved_ = false;
};

// The probe's reports since `from`.
std::vector<DspInstance::PinAtTimeRecord> Reports(DspInstance& dsp, std::size_t from = 0) {
    const auto& all = dsp.PinAtTimes();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
}

std::vector<int32_t> ProcessCounts(const std::vector<DspInstance::PinAtTimeRecord>& reports) {
    std::vector<int32_t> counts;
    for (const auto& r : reports) {
        if (r.pin == kProcess) counts.push_back(r.value);
    }
    return counts;
}

std::string Probe() {
    return KVLV2_TEST_PROBE;
}

TEST(BridgeBlockSize, ComesFromTheHostsOptionsOrTheDefault) {
    kvhost::lv2::LilvHost host;
    LV2_URID_Map map{&host, [](LV2_URID_Map_Handle h, const char* uri) {
                         return static_cast<kvhost::lv2::LilvHost*>(h)->Map(uri);
                     }};
    using kvhost::lv2::ChooseBlockSize;
    auto options = [&](const LV2_Feature* const* features) -> const LV2_Options_Option* {
        for (auto f = features; *f != nullptr; ++f) {
            if (std::string((*f)->URI) == LV2_OPTIONS__options) {
                return static_cast<const LV2_Options_Option*>((*f)->data);
            }
        }
        return nullptr;
    };
    auto none = ChooseBlockSize(nullptr, &map);
    EXPECT_EQ(none.block, 64);
    EXPECT_NE(none.note.find("gave no options"), std::string::npos) << none.note;

    host.SetBlockOptions(256, 1024);
    auto both = ChooseBlockSize(options(host.Features()), &map);
    EXPECT_EQ(both.block, 256);
    EXPECT_TRUE(both.note.empty());
    host.SetBlockOptions(0, 1024);
    EXPECT_EQ(ChooseBlockSize(options(host.Features()), &map).block, 1024);
    EXPECT_NE(ChooseBlockSize(options(host.Features()), nullptr).note.find("no urid:map"),
              std::string::npos);

    host.SetBlockOptions(0, 0);  // options, but no block length among them
    auto unnamed = ChooseBlockSize(options(host.Features()), &map);
    EXPECT_EQ(unnamed.block, 64);
    EXPECT_NE(unnamed.note.find("named no block length"), std::string::npos);

    host.SetBlockOptions(0, -5);
    EXPECT_THROW(
        try { ChooseBlockSize(options(host.Features()), &map); } catch (const kvhost::Error& e) {
            EXPECT_STREQ(e.what(),
                         "the host's buf-size:maxBlockLength is -5, not between 1 and 1048576");
            throw;
        },
        kvhost::Error);
    host.SetBlockOptions(0, 512, LV2_ATOM__Float);
    EXPECT_THROW(
        try { ChooseBlockSize(options(host.Features()), &map); } catch (const kvhost::Error& e) {
            EXPECT_STREQ(e.what(),
                         "the host's buf-size:maxBlockLength option is not an atom:Int or "
                         "atom:Long");
            throw;
        },
        kvhost::Error);
}

TEST(BridgeLatency, NoneOnlyWhereTheHostPromisesWholeBlocks) {
    using kvhost::lv2::RunLatency;
    EXPECT_EQ(RunLatency(64, true, true), 0u);
    EXPECT_EQ(RunLatency(64, true, false), 63u);
    EXPECT_EQ(RunLatency(64, false, true), 63u);
    EXPECT_EQ(RunLatency(1, false, false), 0u);
    EXPECT_THROW(Bridge(Plugin::Load("ZOR Twin-Op"), 48000.0, 64, {}, 64), kvhost::Error);
}

// What the module sees: its blocks whole on one grid whatever the runs; every input's
// initial status first; a changed control at the first frame of the run that brought it
// (PS_STILL), cutting its block there.
TEST(Bridge, WholeBlocksAndChangesAtTheirRunsFirstFrame) {
    Rig rig(Probe(), 64, 63);
    rig.Control("level") = 2.5f;
    rig.Run(100);
    rig.Run(20);
    rig.Control("mode") = 3.2f;  // at clock 120: rounds to "Low" (3)
    rig.Run(0);
    rig.Run(50);
    rig.Control("mode") = 40.0f;  // held to the list's range; NaN changes nothing
    rig.Control("level") = NAN;
    rig.Run(58);  // clock 170 to 228: blocks up to 192 run
    const auto all = Reports(rig.Dsp());
    EXPECT_EQ(ProcessCounts(all), (std::vector<int32_t>{64, 56, 8, 42, 22}));
    EXPECT_EQ(rig.Dsp().Clock(), 192u);
    std::vector<std::tuple<int32_t, int32_t, uint32_t>> changes;  // pin, status, clock
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i].pin == kPinIndex && all[i + 1].pin == kStatus) {
            changes.emplace_back(all[i].value, all[i + 1].value, all[i].clock);
        }
    }
    using C = std::tuple<int32_t, int32_t, uint32_t>;
    EXPECT_EQ(changes, (std::vector<C>{{0, PS_STEP, 0},
                                       {1, PS_STEP, 0},
                                       {2, PS_STEP, 0},
                                       {5, PS_STEP, 0},
                                       {6, PS_STEP, 0},
                                       {1, PS_STILL, 0},
                                       {2, PS_STILL, 120},
                                       {2, PS_STILL, 170}}));
    std::vector<int32_t> modes, levels;
    for (const auto& r : all) {
        if (r.pin == kMode) modes.push_back(r.value);
        if (r.pin == kLevel && r.clock == 0) levels.push_back(r.value);
    }
    EXPECT_EQ(levels, (std::vector<int32_t>{150, 250}));
    EXPECT_EQ(modes.back(), 7);
    EXPECT_EQ(modes[modes.size() - 2], 3);
}

// MIDI events reach the module at their frames (one past the run's end on its last frame),
// and the output is the module's, Latency() frames later.
TEST(Bridge, MidiEventsAtTheirFramesAndTheOutputLatencyLater) {
    for (uint32_t latency : {0u, 63u}) {
        Rig rig(Probe(), 64, latency);
        std::vector<float> got;
        const auto run = [&](uint32_t n) {
            const std::vector<float> out = rig.Run(n, "out");
            got.insert(got.end(), out.begin(), out.end());
        };
        run(64);
        rig.Midi().Add(5, 0x90, 60, 100);  // the probe's note-on: output -1 from here
        rig.Midi().Add(12, 0xB0, 1, 0);    // a controller: back to In + Level + Mode
        rig.Midi().Add(90, 0x80, 60, 0);   // past the run's end: delivered on its last frame
        run(64);
        for (int k = 0; k < 3; ++k) run(64);
        std::vector<uint32_t> midi_clocks;
        for (const auto& r : Reports(rig.Dsp())) {
            if (r.pin == kMidi) midi_clocks.push_back(r.clock);
        }
        EXPECT_EQ(midi_clocks, (std::vector<uint32_t>{69, 76, 127}));
        const float normal = 0.2f + (1.5f + 7.0f);  // In's default 2 V, Level 1.5, Mode 7
        for (uint32_t i = 0; i + latency < got.size(); ++i) {
            const float want = i >= 69 && i < 76 ? -1.0f : normal;
            ASSERT_EQ(got[i + latency], want) << "frame " << i << ", latency " << latency;
        }
        for (uint32_t i = 0; i < latency; ++i) ASSERT_EQ(got[i], 0.0f);
    }
}

TEST(Bridge, SignalPortsStreamAndTheirVoltsPortsHoldWhileUnconnected) {
    Rig rig(Probe(), 16, 15);
    const float add = 1.5f + 7.0f;
    std::vector<float> got;
    const auto run = [&](uint32_t n) {
        const std::vector<float> out = rig.Run(n, "out");
        got.insert(got.end(), out.begin(), out.end());
    };
    rig.Control("in_volts") = 3.0f;
    run(10);
    std::vector<float> ramp(40);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.01f * static_cast<float>(i + 1);
    rig.Connect("in", ramp.data());
    rig.Control("in_volts") = 4.0f;  // ignored while the signal port streams
    run(40);
    rig.Connect("in", nullptr);  // back to the volts port's latest value
    run(30);
    for (std::size_t i = 0; i + 15 < got.size(); ++i) {
        const float want = i < 10 ? 0.3f + add : i < 50 ? ramp[i - 10] + add : 0.4f + add;
        ASSERT_EQ(got[i + 15], want) << i;
    }
    std::vector<std::pair<int32_t, uint32_t>> statuses;  // status, clock of pin 0 ("In")
    const auto all = Reports(rig.Dsp());
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i].pin == kPinIndex && all[i].value == 0)
            statuses.emplace_back(all[i + 1].value, all[i].clock);
    }
    using S = std::pair<int32_t, uint32_t>;
    EXPECT_EQ(statuses,
              (std::vector<S>{{PS_STEP, 0}, {PS_STILL, 0}, {PS_STREAM, 10}, {PS_STILL, 50}}));
}

// A signal known ahead: a slow sweep with a vibrato, in signal units.
float Sweep(uint32_t clock) {
    const double t = clock / 48000.0;
    return static_cast<float>(0.35 + 0.2 * t + 0.02 * std::sin(2.0 * M_PI * 5.5 * t));
}

// Runs of random lengths (none where the host promised whole blocks: runs of whole blocks)
// give the host library's output, Latency() frames later.
TEST(Bridge, OutputEqualsTheHostLibraryWhateverTheRunLengths) {
    const uint32_t total = 48000;
    std::mt19937 random(19);
    for (uint32_t latency : {63u, 0u}) {
        const auto length = [&] {
            return latency == 0 ? 64 * static_cast<uint32_t>(random() % 5)
                                : static_cast<uint32_t>(random() % 301);
        };
        // ZOR Twin-Op: "OP1 Pitch" streams, the other inputs come from their volts ports.
        Rig rig("ZOR Twin-Op", 64, latency, false);
        rig.Control("algorithm") = 1.0f;
        rig.Control("op1_fb_level_volts") = 2.5f;
        rig.Control("op2_pitch_volts") = 3.0f;
        rig.Control("op2_level_volts") = 2.5f;
        // Runs end up to a latency and one longest run past `total`.
        std::vector<float> pitch(total + 63 + 300);
        for (uint32_t i = 0; i < pitch.size(); ++i) pitch[i] = Sweep(i);
        std::vector<float> got;
        while (got.size() < total + latency) {
            const uint32_t n = length();
            rig.Connect("op1_pitch", pitch.data() + got.size());
            const std::vector<float> out = rig.Run(n, "output");
            got.insert(got.end(), out.begin(), out.end());
        }
        got.erase(got.begin(), got.begin() + latency);
        got.resize(total);
        DspInstance ref(Plugin::Load("ZOR Twin-Op"), 48000.0, 64);
        ref.SetInitial(ref.DspPin("Algorithm"), 1);
        ref.SetInitial(ref.DspPin("OP1 FB/Level"), 0.25);
        ref.SetInitial(ref.DspPin("OP2 Pitch"), 0.3);
        ref.SetInitial(ref.DspPin("OP2 Level"), 0.25);
        ref.Open();
        ref.SetStream("OP1 Pitch", Sweep, 0);
        ref.Run(total);
        EXPECT_TRUE(got == ref.Output("Output")) << "latency " << latency;
        EXPECT_GT(*std::max_element(got.begin(), got.end()), 0.1f);
        EXPECT_EQ(rig.Get().LateFrames(), 0u);
    }

    // ZOR Warpwave: every input from its volts port; played twice, once after re-activation.
    Rig rig("ZOR Warpwave", 64, 63, false);
    rig.Control("wave") = 6.0f;
    rig.Control("pitch_volts") = 6.5f;
    rig.Control("modulation_depth_volts") = 2.5f;
    std::vector<float> takes[2];
    for (auto& got : takes) {
        while (got.size() < total + 63) {
            const std::vector<float> out = rig.Run(static_cast<uint32_t>(random() % 301), "output");
            got.insert(got.end(), out.begin(), out.end());
        }
        got.erase(got.begin(), got.begin() + 63);
        got.resize(total);
        rig.Get().Deactivate();
        rig.Get().Activate();
    }
    DspInstance ref(Plugin::Load("ZOR Warpwave"), 48000.0, 64);
    ref.SetInitial(ref.DspPin("Wave"), 6);
    ref.SetInitial(ref.DspPin("Pitch"), 0.65);
    ref.SetInitial(ref.DspPin("Modulation Depth"), 0.25);
    ref.Open();
    ref.Run(total);
    EXPECT_TRUE(takes[0] == ref.Output("Output"));
    EXPECT_TRUE(takes[1] == ref.Output("Output"));
}

TEST(Bridge, MidiConverterEqualsTheHostLibraryWhateverTheRunsAndBuffers) {
    // Notes at random frames of runs of random lengths (whole blocks among them, and whole
    // blocks only where there is no latency, which the module writes straight into the
    // host's buffers), into output buffers that move and are overwritten between runs: the
    // converter sleeps and wakes often, and what it holds must be what it last wrote.
    for (uint32_t latency : {63u, 0u}) {
        Rig rig("wy_VUDA2DU", 64, latency, false);
        DspInstance ref(Plugin::Load("wy_VUDA2DU"), 48000.0, 64);
        ref.Open();
        std::mt19937 random(7);
        const std::vector<uint32_t> lengths =
            latency == 0 ? std::vector<uint32_t>{64, 128, 192, 0}
                         : std::vector<uint32_t>{64, 64, 128, 192, 1, 17, 63, 100, 250};
        std::vector<float> got[3];
        const char* outputs[3] = {"gate", "pitch", "velocity"};
        uint32_t clock = 0;
        for (int run = 0; run < 600; ++run) {
            const uint32_t n = lengths[random() % lengths.size()];
            if (random() % 3 == 0 && n > 0) {
                const uint32_t frame = static_cast<uint32_t>(random() % n);
                const auto key = static_cast<uint8_t>(40 + random() % 30);
                const uint8_t status = random() % 2 == 0 ? 0x90 : 0x80;
                const auto velocity = static_cast<uint8_t>(1 + random() % 127);
                rig.Midi().Add(frame, status, key, velocity);
                ref.SendMidi(0, clock + frame, status, key, velocity);
            }
            if (random() % 4 == 0) rig.MoveOutputs();
            rig.Run(n);
            clock += n;
            for (int k = 0; k < 3; ++k) {
                const std::vector<float> out = rig.Output(outputs[k], n);
                got[k].insert(got[k].end(), out.begin(), out.end());
            }
        }
        ref.Run(clock);
        for (int k = 0; k < 3; ++k) {
            got[k].erase(got[k].begin(), got[k].begin() + latency);
            std::vector<float> want = ref.Output(k == 0 ? "Gate" : k == 1 ? "Pitch" : "Velocity");
            want.resize(got[k].size());
            EXPECT_TRUE(got[k] == want) << outputs[k] << ", latency " << latency;
        }
        EXPECT_TRUE(rig.Get().Failure().empty()) << rig.Get().Failure();
    }
}

TEST(Bridge, DormantModuleIsNotCalledAndItsOutputsHold) {
    Rig rig("wy_VUDA2DU", 64, 0);
    rig.Midi().Add(10, 0x90, 69, 127);
    const std::vector<float> gate = rig.Run(64, "gate");
    for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(gate[i], i < 10 ? 0.0f : 1.0f) << i;
    for (int k = 0; k < 4; ++k) rig.Run(64);
    const std::size_t calls = rig.Dsp().ProcessCalls();
    for (int k = 0; k < 20; ++k) rig.Run(128);
    EXPECT_EQ(rig.Dsp().ProcessCalls(), calls);
    EXPECT_TRUE(rig.Dsp().IsDormant());
    for (float v : rig.Run(64, "gate")) EXPECT_EQ(v, 1.0f);
    for (float v : rig.Run(64, "pitch")) EXPECT_EQ(v, 0.5f);
    for (float v : rig.Run(64, "velocity")) EXPECT_EQ(v, 1.0f);
    rig.Midi().Add(3, 0x80, 69, 0);  // an event wakes it: the gate closes on its frame
    const std::vector<float> closing = rig.Run(64, "gate");
    EXPECT_EQ(std::vector<float>(closing.begin(), closing.begin() + 8),
              (std::vector<float>{1, 1, 1, 0, 0, 0, 0, 0}));
}

TEST(Bridge, RunAllocatesNothing) {
    Rig keys("wy_VUDA2DU", 64, 63, false);
    Rig voice("ZOR Twin-Op", 64, 63, false);
    const std::vector<float> pitch(300, 0.45f);
    keys.Run(64);
    voice.Run(64);
    const std::size_t before = kvbench::TotalAllocations();
    for (int k = 0; k < 500; ++k) {
        keys.Midi().Add(k % 50, k % 2 == 0 ? 0x90 : 0x80, static_cast<uint8_t>(40 + k % 30), 90);
        keys.Control("bend_range") = static_cast<float>(k % 13);
        keys.Run(static_cast<uint32_t>(1 + (k * 37) % 200));
        voice.Control("algorithm") = static_cast<float>(k % 2);
        voice.Control("op1_pitch_volts") = static_cast<float>(k % 10);
        voice.Connect("op2_pitch", k % 3 == 0 ? nullptr : pitch.data());
        voice.Run(static_cast<uint32_t>(1 + (k * 53) % 300));
    }
    EXPECT_EQ(kvbench::TotalAllocations(), before);
    EXPECT_TRUE(keys.Get().Failure().empty()) << keys.Get().Failure();
    EXPECT_TRUE(voice.Get().Failure().empty()) << voice.Get().Failure();
}

TEST(Bridge, RefusesWhatItCannotDrive) {
    EXPECT_THROW(
        try {
            Bridge(Plugin::Load("wy_VUDA2DU"), 48000.0, 64, {});
        } catch (const kvhost::Error& e) {
            EXPECT_NE(std::string(e.what()).find("urid:map"), std::string::npos) << e.what();
            throw;
        },
        kvhost::Error);
    EXPECT_THROW(Bridge(Plugin::Load("ZOR Twin-Op"), 0.0, 64, {}), kvhost::Error);
    EXPECT_THROW(Bridge(Plugin::Load("ZOR Twin-Op"), NAN, 64, {}), kvhost::Error);
    // Before activation the instance only writes silence.
    Bridge idle(Plugin::Load("ZOR Twin-Op"), 48000.0, 64, {});
    std::vector<float> out(32, 7.0f);
    idle.ConnectPort(10, out.data());
    idle.Run(32);
    EXPECT_EQ(out, std::vector<float>(32, 0.0f));
}

}  // namespace
