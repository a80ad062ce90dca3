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
    Rig(const std::string& plugin, int32_t block, bool keep_logs = true, double rate = 48000.0)
        : bridge_(Plugin::Load(plugin), rate, block, Urids(host_), keep_logs), midi_(host_) {
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

TEST(Bridge, InitialStatusesThenChangedControlsAtFrameZeroAsStill) {
    Rig rig(Probe(), 64);
    rig.Control("level") = 2.5f;
    rig.Run(16);
    auto first = Reports(rig.Dsp());
    const auto process =
        std::find_if(first.begin(), first.end(), [](const auto& r) { return r.pin == kProcess; });
    ASSERT_NE(process, first.end());
    // Before the first slice: every input's initial status (In, Level, Mode, MIDI In, Delay),
    // then the changed Level as PS_STILL with its new value, all at clock 0.
    std::vector<int32_t> pins, statuses;
    for (auto r = first.begin(); r != process; ++r) {
        EXPECT_EQ(r->clock, 0u);
        if (r->pin == kPinIndex) pins.push_back(r->value);
        if (r->pin == kStatus) statuses.push_back(r->value);
    }
    EXPECT_EQ(pins, (std::vector<int32_t>{0, 1, 2, 5, 6, 1}));
    EXPECT_EQ(statuses,
              (std::vector<int32_t>{PS_STEP, PS_STEP, PS_STEP, PS_STEP, PS_STEP, PS_STILL}));
    EXPECT_EQ(std::prev(process)->pin, kLevel);
    EXPECT_EQ(std::prev(process)->value, 250);

    // A later run: only the control that changed, at that run's first frame.
    const std::size_t seen = rig.Dsp().PinAtTimes().size();
    rig.Control("mode") = 3.2f;  // rounds to "Low" (3)
    rig.Run(16);
    const auto second = Reports(rig.Dsp(), seen);
    ASSERT_GE(second.size(), 4u);
    EXPECT_EQ(second[0].pin, kPinIndex);
    EXPECT_EQ(second[0].value, 2);
    EXPECT_EQ(second[1].pin, kStatus);
    EXPECT_EQ(second[1].value, PS_STILL);
    EXPECT_EQ(second[2].pin, kMode);
    EXPECT_EQ(second[2].value, 3);
    for (const auto& r : second) EXPECT_EQ(r.clock, 16u);
    EXPECT_EQ(ProcessCounts(second), (std::vector<int32_t>{16}));

    // A choice outside its list is held to the list's range; NaN changes nothing.
    rig.Control("mode") = 40.0f;
    rig.Control("level") = NAN;
    const std::size_t seen2 = rig.Dsp().PinAtTimes().size();
    rig.Run(8);
    const auto third = Reports(rig.Dsp(), seen2);
    ASSERT_GE(third.size(), 3u);
    EXPECT_EQ(third[2].pin, kMode);
    EXPECT_EQ(third[2].value, 7);
    EXPECT_EQ(std::count_if(third.begin(), third.end(), [](auto& r) { return r.pin == kStatus; }),
              1);

    // A control the host leaves unconnected keeps the value last acted on.
    rig.Get().ConnectPort(rig.Index("mode"), nullptr);
    const std::size_t seen3 = rig.Dsp().PinAtTimes().size();
    rig.Run(8);
    EXPECT_EQ(ProcessCounts(Reports(rig.Dsp(), seen3)), (std::vector<int32_t>{8}));
    EXPECT_EQ(Reports(rig.Dsp(), seen3).size(), 1u);
}

TEST(Bridge, MidiEventsArriveAtTheirFramesAndCutTheBlock) {
    Rig rig(Probe(), 64);
    rig.Run(16);
    const std::size_t seen = rig.Dsp().PinAtTimes().size();
    rig.Midi().Add(5, 0x90, 60, 100);  // the probe's note-on: output -1 from here
    rig.Midi().Add(12, 0xB0, 1, 0);    // a controller: back to In + Level + Mode
    rig.Midi().Add(40, 0x80, 60, 0);   // past the run's end: delivered on its last frame
    const std::vector<float> out = rig.Run(16, "out");
    const auto reports = Reports(rig.Dsp(), seen);
    std::vector<uint32_t> midi_clocks;
    for (const auto& r : reports) {
        if (r.pin == kMidi) midi_clocks.push_back(r.clock);
    }
    EXPECT_EQ(midi_clocks, (std::vector<uint32_t>{21, 28, 31}));
    EXPECT_EQ(ProcessCounts(reports), (std::vector<int32_t>{5, 7, 3, 1}));
    const float normal = 0.2f + (1.5f + 7.0f);  // In's default 2 V, Level 1.5, Mode 7
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(out[i], i >= 5 && i < 12 ? -1.0f : normal) << "frame " << i;
    }
}

TEST(Bridge, RunsOfAnyLengthFallOnOneGridOfBlocks) {
    Rig rig(Probe(), 64);
    rig.Run(100);
    rig.Run(100);
    rig.Run(0);
    rig.Run(28);
    EXPECT_EQ(ProcessCounts(Reports(rig.Dsp())), (std::vector<int32_t>{64, 36, 28, 64, 8, 28}));
    EXPECT_EQ(rig.Dsp().Clock(), 228u);
}

TEST(Bridge, SignalPortsStreamAndTheirVoltsPortsHoldWhileUnconnected) {
    Rig rig(Probe(), 64);
    const float add = 1.5f + 7.0f;
    rig.Control("in_volts") = 3.0f;
    for (float v : rig.Run(10, "out")) EXPECT_EQ(v, 0.3f + add);

    std::vector<float> ramp(40);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.01f * static_cast<float>(i + 1);
    rig.Connect("in", ramp.data());
    rig.Control("in_volts") = 4.0f;  // ignored while the signal port streams
    std::size_t seen = rig.Dsp().PinAtTimes().size();
    std::vector<float> out = rig.Run(40, "out");
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], ramp[i] + add) << i;
    auto reports = Reports(rig.Dsp(), seen);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports[0].pin, kPinIndex);
    EXPECT_EQ(reports[0].value, 0);
    EXPECT_EQ(reports[1].value, PS_STREAM);
    EXPECT_EQ(reports[1].clock, 10u);
    EXPECT_EQ(reports[2].pin, kInSample);  // the streamed sample at that clock
    EXPECT_EQ(reports[2].value, 10);

    rig.Connect("in", nullptr);  // back to the volts port's latest value
    seen = rig.Dsp().PinAtTimes().size();
    for (float v : rig.Run(20, "out")) EXPECT_EQ(v, 0.4f + add);
    reports = Reports(rig.Dsp(), seen);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[1].pin, kStatus);
    EXPECT_EQ(reports[1].value, PS_STILL);
}

// A signal known ahead: a slow sweep with a vibrato, in signal units.
float Sweep(uint32_t clock) {
    const double t = clock / 48000.0;
    return static_cast<float>(0.35 + 0.2 * t + 0.02 * std::sin(2.0 * M_PI * 5.5 * t));
}

TEST(Bridge, OutputEqualsTheHostLibraryWhateverTheRunLengths) {
    const uint32_t total = 48000;
    std::mt19937 random(19);
    std::uniform_int_distribution<uint32_t> length(0, 300);

    // ZOR Twin-Op: "OP1 Pitch" streams, the other inputs come from their volts ports.
    {
        Rig rig("ZOR Twin-Op", 64, false);
        rig.Control("algorithm") = 1.0f;
        rig.Control("op1_fb_level_volts") = 2.5f;
        rig.Control("op2_pitch_volts") = 3.0f;
        rig.Control("op2_level_volts") = 2.5f;
        std::vector<float> pitch(total);
        for (uint32_t i = 0; i < total; ++i) pitch[i] = Sweep(i);
        std::vector<float> got;
        for (uint32_t done = 0; done < total;) {
            const uint32_t n = std::min(length(random), total - done);
            rig.Connect("op1_pitch", pitch.data() + done);
            const std::vector<float> out = rig.Run(n, "output");
            got.insert(got.end(), out.begin(), out.end());
            done += n;
        }
        DspInstance ref(Plugin::Load("ZOR Twin-Op"), 48000.0, 64);
        ref.SetInitial(ref.DspPin("Algorithm"), 1);
        ref.SetInitial(ref.DspPin("OP1 FB/Level"), 0.25);
        ref.SetInitial(ref.DspPin("OP2 Pitch"), 0.3);
        ref.SetInitial(ref.DspPin("OP2 Level"), 0.25);
        ref.Open();
        ref.SetStream("OP1 Pitch", Sweep, 0);
        ref.Run(total);
        ASSERT_EQ(got.size(), ref.Output("Output").size());
        EXPECT_TRUE(got == ref.Output("Output"));
        EXPECT_GT(*std::max_element(got.begin(), got.end()), 0.1f);
    }

    // ZOR Warpwave: every input from its volts port; played twice, once after re-activation.
    Rig rig("ZOR Warpwave", 64, false);
    rig.Control("wave") = 6.0f;
    rig.Control("pitch_volts") = 6.5f;
    rig.Control("modulation_depth_volts") = 2.5f;
    std::vector<float> takes[2];
    for (auto& got : takes) {
        for (uint32_t done = 0; done < total;) {
            const uint32_t n = std::min(length(random), total - done);
            const std::vector<float> out = rig.Run(n, "output");
            got.insert(got.end(), out.begin(), out.end());
            done += n;
        }
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
    // Notes at random frames of runs of random lengths (whole blocks among them), into
    // output buffers that move and are overwritten between runs: the converter sleeps and
    // wakes often, and what it holds must be what it last wrote.
    Rig rig("wy_VUDA2DU", 64, false);
    DspInstance ref(Plugin::Load("wy_VUDA2DU"), 48000.0, 64);
    ref.Open();
    std::mt19937 random(7);
    const uint32_t lengths[] = {64, 64, 128, 192, 1, 17, 63, 100, 250};
    std::vector<float> got[3];
    const char* outputs[3] = {"gate", "pitch", "velocity"};
    uint32_t clock = 0;
    for (int run = 0; run < 600; ++run) {
        const uint32_t n = lengths[random() % std::size(lengths)];
        if (random() % 3 == 0) {
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
    EXPECT_TRUE(got[0] == ref.Output("Gate"));
    EXPECT_TRUE(got[1] == ref.Output("Pitch"));
    EXPECT_TRUE(got[2] == ref.Output("Velocity"));
    EXPECT_TRUE(rig.Get().Failure().empty()) << rig.Get().Failure();
}

TEST(Bridge, DormantModuleIsNotCalledAndItsOutputsHold) {
    Rig rig("wy_VUDA2DU", 64);
    rig.Midi().Add(10, 0x90, 69, 127);
    const std::vector<float> gate = rig.Run(64, "gate");
    for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(gate[i], i < 10 ? 0.0f : 1.0f) << i;
    for (int k = 0; k < 4; ++k) rig.Run(64);
    const std::size_t calls = rig.Dsp().ProcessCalls();
    for (int k = 0; k < 20; ++k) {
        rig.Run(37);
        rig.Run(64);
    }
    EXPECT_EQ(rig.Dsp().ProcessCalls(), calls);
    EXPECT_TRUE(rig.Dsp().IsDormant());
    for (float v : rig.Run(50, "gate")) EXPECT_EQ(v, 1.0f);
    for (float v : rig.Run(50, "pitch")) EXPECT_EQ(v, 0.5f);
    for (float v : rig.Run(50, "velocity")) EXPECT_EQ(v, 1.0f);
    rig.Midi().Add(3, 0x80, 69, 0);  // an event wakes it: the gate closes on its frame
    const std::vector<float> closing = rig.Run(8, "gate");
    EXPECT_EQ(closing, (std::vector<float>{1, 1, 1, 0, 0, 0, 0, 0}));
}

TEST(Bridge, RunAllocatesNothing) {
    Rig keys("wy_VUDA2DU", 64, false);
    Rig voice("ZOR Twin-Op", 64, false);
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
