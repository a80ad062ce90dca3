// kv_bench: what each deliverable costs on the audio thread. Every oscillator runs through
// the host library ("host"), through its records alone ("frame", the bare host) and as its
// floor kernel ("floor"); names are Family/Case/Tier/Block so that the report script can set
// the tiers of one case side by side. `--kv_check` only checks that kernels, bare host and
// host library give the same samples; `--kv_nocheck` skips that check (profiling runs).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BandTables.h"
#include "WaveTables.h"
#include "alloc_count.h"
#include "bare_host.h"
#include "kernels.h"
#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"

namespace {

using kvbench::BareDsp;
using kvhost::DspInstance;
using kvhost::Plugin;

constexpr double kRate = 48000.0;
constexpr int32_t kBlocks[] = {64, 1024};

const char* const kDeliverables[] = {
    "jx_CsvFloats",  "jx_CsvInts",   "jx_VecMul",   "wy_VUDA2DU",
    "mxt_AnimVolts", "ZOR Warpwave", "ZOR Twin-Op", "ZOR Basic Voice",
};

// Deliverables with a GUI side.
const std::set<std::string> kGuiSide = {"jx_CsvFloats", "jx_CsvInts", "jx_VecMul", "mxt_AnimVolts"};
// Deliverables whose instances share tables: their first open builds them.
const std::set<std::string> kSharesTables = {"ZOR Warpwave", "ZOR Twin-Op", "ZOR Basic Voice"};

std::shared_ptr<Plugin> Load(const std::string& name) {
    try {
        return Plugin::Load(name);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kv_bench: %s\n", e.what());
        return nullptr;
    }
}

// A host-library instance set up for timing: nothing recorded, nothing logged.
void Lean(DspInstance& d) {
    d.SetRecording(false);
    d.SetLogging(false);
}

// Loaded once for the whole run; a library unloaded and loaded again would time dlopen too.
std::shared_ptr<Plugin> Shared(const std::string& name) {
    static std::vector<std::pair<std::string, std::shared_ptr<Plugin>>> cache;
    for (auto& [n, p] : cache) {
        if (n == name) return p;
    }
    auto p = Load(name);
    cache.emplace_back(name, p);
    return p;
}

std::string Label(std::string name) {
    for (char& c : name) {
        if (c == ' ') c = '_';
    }
    return name;
}

// ---- The oscillator cases -------------------------------------------------------------

enum class Osc {
    kWarpStill,
    kWarpMoving,
    kBasic,
    kTwoLevel0,
    kTwoLevel01,
    kFeedback1,
    kFeedback03
};

struct OscCase {
    Osc id;
    const char* label;
    const char* plugin;
};

const OscCase kOscCases[] = {
    {Osc::kWarpStill, "Warpwave_depth_still", "ZOR Warpwave"},
    {Osc::kWarpMoving, "Warpwave_depth_moving", "ZOR Warpwave"},
    {Osc::kBasic, "BasicVoice", "ZOR Basic Voice"},
    {Osc::kTwoLevel0, "TwinOp_2to1_level0", "ZOR Twin-Op"},
    {Osc::kTwoLevel01, "TwinOp_2to1_level0.1", "ZOR Twin-Op"},
    {Osc::kFeedback1, "TwinOp_1to1_fb1.0", "ZOR Twin-Op"},
    {Osc::kFeedback03, "TwinOp_1to1_fb0.3", "ZOR Twin-Op"},
};

constexpr float kWarpDepth = 0.3f;
constexpr int16_t kWarpWave = 5;  // Reso1: a warped saw plus the resonance

// The Modulation Depth sample of block b when it moves: new on every block.
float MovingDepth(uint64_t b) {
    return 0.2f + 0.006f * static_cast<float>(b % 100);
}

// A sync input with a rising edge every 37 samples (the checks only; the benchmarks hold
// Sync at 0 V).
void FillSync(float* sync, uint64_t block, int32_t size) {
    for (int32_t n = 0; n < size; ++n) {
        const uint64_t clock = block * static_cast<uint64_t>(size) + static_cast<uint64_t>(n);
        sync[n] = clock % 37 < 5 ? -0.1f : 0.0f;
    }
}

bool HasSync(Osc c) {
    return c == Osc::kWarpStill || c == Osc::kWarpMoving || c == Osc::kBasic;
}

// The inputs each case sets apart from the defaults, as constants from the clock on.
struct Setting {
    const char* pin;
    bool choice;
    float value;
};
std::vector<Setting> SettingsOf(Osc c) {
    switch (c) {
        case Osc::kWarpStill:
            return {{"Wave", true, kWarpWave}, {"Modulation Depth", false, kWarpDepth}};
        case Osc::kWarpMoving:
            return {{"Wave", true, kWarpWave}};
        case Osc::kBasic:
            return {};
        case Osc::kTwoLevel0:
            return {{"Algorithm", true, 1}, {"OP2 Level", false, 0.0f}};
        case Osc::kTwoLevel01:
            return {{"Algorithm", true, 1}, {"OP2 Level", false, 0.1f}};
        case Osc::kFeedback1:
            return {{"Algorithm", true, 0}, {"OP1 FB/Level", false, 1.0f}};
        case Osc::kFeedback03:
            return {{"Algorithm", true, 0}, {"OP1 FB/Level", false, 0.3f}};
    }
    return {};
}

// One oscillator driven by the host library, its output not recorded.
struct HostRig {
    std::unique_ptr<DspInstance> dsp;
    std::vector<float> depth;  // the wire feeding Modulation Depth when it moves
    std::vector<float> sync;   // the wire feeding Sync when it has edges
    int32_t out = -1;
    uint64_t block = 0;
    int32_t size;
    bool moving;

    HostRig(const std::shared_ptr<Plugin>& plugin, Osc c, int32_t block_size, bool record,
            bool edges = false)
        : size(block_size), moving(c == Osc::kWarpMoving) {
        dsp = std::make_unique<DspInstance>(plugin, kRate, block_size);
        dsp->SetRecording(record);
        dsp->SetLogging(record);  // a timed run keeps no log of statuses
        dsp->Open();
        for (const Setting& s : SettingsOf(c)) {
            if (s.choice) {
                dsp->SetValue(s.pin, s.value, dsp->Clock());
            } else {
                dsp->SetConstant(s.pin, s.value, dsp->Clock());
            }
        }
        out = dsp->DspPin("Output");
        if (moving) {
            depth.assign(static_cast<std::size_t>(block_size), 0.0f);
            dsp->ConnectBuffer(dsp->DspPin("Modulation Depth"), depth.data());
        }
        if (edges && HasSync(c)) {
            sync.assign(static_cast<std::size_t>(block_size), 0.0f);
            dsp->ConnectBuffer(dsp->DspPin("Sync"), sync.data());
        }
    }
    void Block() {
        if (moving) {
            const float d = MovingDepth(block);
            for (float& x : depth) x = d;
        }
        if (!sync.empty()) FillSync(sync.data(), block, size);
        ++block;
        dsp->Run(static_cast<uint32_t>(size));
    }
};

// The same through the bare host: the frame and the module, no host library.
struct FrameRig {
    std::unique_ptr<BareDsp> dsp;
    float* depth = nullptr;
    float* sync = nullptr;
    uint64_t block = 0;
    int32_t size;

    FrameRig(const std::shared_ptr<Plugin>& plugin, Osc c, int32_t block_size, bool edges = false)
        : size(block_size) {
        dsp = std::make_unique<BareDsp>(plugin->MakeModule(), plugin->Revision(),
                                        static_cast<float>(kRate), block_size);
        dsp->Open();
        for (const Setting& s : SettingsOf(c)) {
            const int32_t pin = dsp->Pin(s.pin);
            if (s.choice) {
                dsp->WriteChoice(pin, static_cast<int16_t>(s.value));
            } else {
                float* b = dsp->Buffer(pin);
                for (int32_t n = 0; n < block_size; ++n) b[n] = s.value;
            }
            dsp->Status(pin, PS_STEP);
        }
        if (c == Osc::kWarpMoving) depth = dsp->Buffer(dsp->Pin("Modulation Depth"));
        if (edges && HasSync(c)) sync = dsp->Buffer(dsp->Pin("Sync"));
    }
    void Block() {
        if (depth != nullptr) {
            const float d = MovingDepth(block);
            for (int32_t n = 0; n < size; ++n) depth[n] = d;
        }
        if (sync != nullptr) FillSync(sync, block, size);
        ++block;
        dsp->Process(size);
    }
    const float* Output() { return dsp->Buffer(dsp->Pin("Output")); }
};

// The floor kernels with their inputs: constant buffers, as the host would fill them.
struct FloorRig {
    Osc c;
    int32_t size;
    uint64_t block = 0;
    std::vector<float> pitch1, level1, pitch2, level2, sync, out;
    // Warpwave
    float table[warpwave::kTableStore] = {};
    warpwave::Scratch scratch = {};
    kvbench::WarpwaveLines lines;
    kvbench::WarpwaveState warp;
    float last_pitch = -99.0f, last_depth = -99.0f;
    // Basic Voice
    kvbench::BasicVoiceBands bands;
    kvbench::BasicVoiceLines band_lines;
    kvbench::BasicVoiceState basic;
    // Twin-Op
    std::shared_ptr<kvbench::TwinOpTables> twin;
    kvbench::TwinOpState op;
    bool literal = false;
    bool edges = false;

    FloorRig(Osc id, int32_t block_size, bool use_literal = false, bool sync_edges = false)
        : c(id), size(block_size), literal(use_literal), edges(sync_edges && HasSync(id)) {
        const auto n = static_cast<std::size_t>(block_size);
        out.assign(n, 0.0f);
        sync.assign(n, 0.0f);
        pitch1.assign(n, 0.5f);
        pitch2.assign(n, 0.5f);
        level1.assign(n, 1.0f);
        level2.assign(n, 0.0f);
        switch (c) {
            case Osc::kWarpStill:
            case Osc::kWarpMoving:
                break;
            case Osc::kBasic:
                bands = kvbench::BuildBasicVoiceBands(1);
                break;
            default:
                twin = Tables();
                for (const Setting& s : SettingsOf(c)) {
                    if (std::strcmp(s.pin, "OP2 Level") == 0) level2.assign(n, s.value);
                    if (std::strcmp(s.pin, "OP1 FB/Level") == 0) level1.assign(n, s.value);
                }
                break;
        }
    }
    static std::shared_ptr<kvbench::TwinOpTables> Tables() {
        static auto t = std::make_shared<kvbench::TwinOpTables>(
            kvbench::BuildTwinOpTables(static_cast<int32_t>(kRate)));
        return t;
    }
    void Block() {
        if (edges) FillSync(sync.data(), block, size);
        switch (c) {
            case Osc::kWarpStill:
            case Osc::kWarpMoving: {
                // Block-start control: pitch, depth, then the wave (built once).
                const float p = pitch1[0];
                if (p < last_pitch || p > last_pitch) {
                    last_pitch = p > 0.94f ? 0.94f : p;
                    warp.increment = kvbench::WarpwaveIncrement(p, static_cast<float>(kRate));
                }
                const float d = c == Osc::kWarpMoving ? MovingDepth(block) : kWarpDepth;
                if (d < last_depth || d > last_depth) {
                    last_depth = d;
                    const float m = d > 1.0f ? 1.0f : (d >= 0.0f ? d : 0.0f);
                    warpwave::BuildTable(kWarpWave, m, scratch, table);
                    kvbench::PrepareWarpwaveLines(table, lines);
                }
                kvbench::WarpwaveLoop(lines, sync.data(), out.data(), size, warp);
                break;
            }
            case Osc::kBasic: {
                const float p = pitch1[0];
                if (p < last_pitch || p > last_pitch) {
                    const int32_t band = kvbench::BasicVoiceBand(p);
                    if (band != basic.band || last_pitch == -99.0f) {
                        kvbench::PrepareBasicVoiceLines(bands, band, band_lines);
                    }
                    basic.band = band;
                    last_pitch = p > 0.9f ? 0.9f : p;
                    basic.increment = kvbench::BasicVoiceIncrement(p, static_cast<float>(kRate));
                }
                kvbench::BasicVoiceLoop(band_lines, sync.data(), out.data(), size, basic);
                break;
            }
            case Osc::kTwoLevel0:
            case Osc::kTwoLevel01:
                (literal ? kvbench::TwinOpTwoLiteral : kvbench::TwinOpTwoTable)(
                    *twin, pitch1.data(), level1.data(), pitch2.data(), level2.data(), out.data(),
                    size, op);
                break;
            case Osc::kFeedback1:
            case Osc::kFeedback03:
                (literal ? kvbench::TwinOpFeedbackLiteral : kvbench::TwinOpFeedbackTable)(
                    *twin, pitch1.data(), level1.data(), out.data(), size, op);
                break;
        }
        ++block;
    }
};

void PerSample(benchmark::State& st, int32_t block) {
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * block);
    st.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(block) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void OscHost(benchmark::State& st, OscCase oc, int32_t block) {
    auto plugin = Shared(oc.plugin);
    if (!plugin) return st.SkipWithError("deliverable not built");
    HostRig rig(plugin, oc.id, block, false);
    for (int i = 0; i < 8; ++i) rig.Block();
    for (auto _ : st) rig.Block();
    PerSample(st, block);
    st.counters["process_calls_per_block"] =
        static_cast<double>(rig.dsp->ProcessCalls()) / static_cast<double>(rig.block);
}

void OscFrame(benchmark::State& st, OscCase oc, int32_t block) {
    auto plugin = Shared(oc.plugin);
    if (!plugin) return st.SkipWithError("deliverable not built");
    FrameRig rig(plugin, oc.id, block);
    for (int i = 0; i < 8; ++i) rig.Block();
    for (auto _ : st) rig.Block();
    PerSample(st, block);
}

void OscFloor(benchmark::State& st, OscCase oc, int32_t block, bool literal) {
    FloorRig rig(oc.id, block, literal);
    for (int i = 0; i < 8; ++i) rig.Block();
    for (auto _ : st) {
        rig.Block();
        benchmark::DoNotOptimize(rig.out.data());
        benchmark::ClobberMemory();
    }
    PerSample(st, block);
}

// ---- Checks: the three tiers give the same samples ----------------------------------

bool SameSamples(const char* what, const float* a, const float* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            std::fprintf(stderr, "kv_bench check: %s differs at sample %zu: %.9g vs %.9g\n", what,
                         i, static_cast<double>(a[i]), static_cast<double>(b[i]));
            return false;
        }
    }
    return true;
}

// Runs each case for 64 blocks of 64 samples through all tiers and compares every sample,
// then checks the heap tally. Answers a summary for the run's context ("ok" or what failed).
std::string CheckKernels() {
    constexpr int32_t kBlock = 64, kCount = 64;
    std::string failed;
    for (const OscCase& oc : kOscCases) {
        auto plugin = Shared(oc.plugin);
        if (!plugin) {
            failed += std::string(failed.empty() ? "" : ", ") + oc.label + " (not built)";
            continue;
        }
        HostRig host(plugin, oc.id, kBlock, true, true);
        FrameRig frame(plugin, oc.id, kBlock, true);
        FloorRig table(oc.id, kBlock, false, true);
        FloorRig literal(oc.id, kBlock, true, true);
        const bool twin = std::string(oc.plugin) == "ZOR Twin-Op";
        std::vector<float> f, k, l;
        for (int32_t b = 0; b < kCount; ++b) {
            host.Block();
            frame.Block();
            table.Block();
            f.insert(f.end(), frame.Output(), frame.Output() + kBlock);
            k.insert(k.end(), table.out.begin(), table.out.end());
            if (twin) {
                literal.Block();
                l.insert(l.end(), literal.out.begin(), literal.out.end());
            }
        }
        const std::vector<float>& h = host.dsp->Output(host.out);
        const std::size_t n = static_cast<std::size_t>(kBlock) * kCount;
        bool ok = h.size() >= n;
        if (!ok)
            std::fprintf(stderr, "kv_bench check: %s: host recorded %zu samples\n", oc.label,
                         h.size());
        const std::string label = oc.label;
        ok = ok && SameSamples((label + " host vs floor").c_str(), h.data(), k.data(), n);
        ok = SameSamples((label + " frame vs floor").c_str(), f.data(), k.data(), n) && ok;
        if (twin)
            ok = SameSamples((label + " literal vs table").c_str(), l.data(), k.data(), n) && ok;
        if (!ok) failed += std::string(failed.empty() ? "" : ", ") + oc.label;
        double energy = 0.0;
        for (std::size_t i = 0; i < n && i < h.size(); ++i) energy += double{h[i]} * h[i];
        std::fprintf(stderr, "kv_bench check: %-24s %zu samples, mean square %.6f%s\n", oc.label, n,
                     energy / static_cast<double>(n), ok ? "" : "  DIFFERS");
    }
    // The heap tally sees the deliverables' allocations (the replaced allocation functions
    // reach them), and their audio path allocates nothing: blocks, MIDI messages, statuses.
    if (auto twin = Shared("ZOR Twin-Op")) {
        kvbench::BeginCounting();
        kvbench::Counting(false);
        {
            BareDsp d(twin->MakeModule(), twin->Revision(), static_cast<float>(kRate), 64, true);
            d.Open();
        }
        const kvbench::AllocTally t = kvbench::EndCounting();
        // Alone, the instance builds its rate's shared tables (about 400 KB).
        if (t.bytes < 400000) {
            std::fprintf(stderr, "kv_bench check: ZOR Twin-Op seen allocating %zu bytes\n",
                         t.bytes);
            failed += std::string(failed.empty() ? "" : ", ") + "allocation tally";
        }
    }
    for (const OscCase& oc : kOscCases) {
        auto plugin = Shared(oc.plugin);
        if (!plugin) continue;
        FrameRig frame(plugin, oc.id, 64);
        kvbench::BeginCounting();
        for (int32_t b = 0; b < 16; ++b) frame.Block();
        const kvbench::AllocTally t = kvbench::EndCounting();
        if (t.allocations != 0) {
            std::fprintf(stderr, "kv_bench check: %s allocates %zu times in 16 blocks\n", oc.label,
                         t.allocations);
            failed += std::string(failed.empty() ? "" : ", ") + oc.label + " allocates";
        }
    }
    if (auto midi = Shared("wy_VUDA2DU")) {
        BareDsp d(midi->MakeModule(), midi->Revision(), static_cast<float>(kRate), 64);
        d.Open();
        kvbench::BeginCounting();
        for (int32_t k = 0; k < 70; ++k) {
            d.Midi(0x90, static_cast<uint8_t>(30 + k), 100);
            d.Process(64);
        }
        d.Midi(0xB0, 123, 0);
        d.Process(64);
        const kvbench::AllocTally t = kvbench::EndCounting();
        if (t.allocations != 0) {
            std::fprintf(stderr, "kv_bench check: wy_VUDA2DU allocates %zu times\n", t.allocations);
            failed += std::string(failed.empty() ? "" : ", ") + "wy_VUDA2DU allocates";
        }
    }
    return failed.empty() ? "ok" : "differs: " + failed;
}

// ---- Opens, builds, MIDI --------------------------------------------------------------

// The benchmark thread's processor time: on a shared machine, time spent waiting for the
// processor is not the deliverable's.
double ThreadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Open as the host does it: MOD_OPEN, the first status of every input and a first one-sample
// slice (which is where the oscillators pick up their inputs). Another instance at the same
// rate stays open throughout, as in any patch with more than one, so the tables the
// deliverable shares already exist.
void OpenHost(benchmark::State& st, std::string name) {
    auto plugin = Shared(name);
    if (!plugin) return st.SkipWithError("deliverable not built");
    BareDsp keeper(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64);
    keeper.Open();
    for (auto _ : st) {
        DspInstance d(plugin, kRate, 64);
        Lean(d);
        const double t0 = ThreadSeconds();
        d.Open();
        d.Run(1);
        st.SetIterationTime(ThreadSeconds() - t0);
    }
}

// The same through the bare host; with `alone`, no other instance is open, so every open
// is the first at its rate and builds the shared tables.
void OpenFrame(benchmark::State& st, std::string name, bool alone) {
    auto plugin = Shared(name);
    if (!plugin) return st.SkipWithError("deliverable not built");
    std::unique_ptr<BareDsp> keeper;
    if (!alone) {
        keeper = std::make_unique<BareDsp>(plugin->MakeModule(), plugin->Revision(),
                                           static_cast<float>(kRate), 64);
        keeper->Open();
    }
    for (auto _ : st) {
        BareDsp d(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64);
        const double t0 = ThreadSeconds();
        d.Open();
        d.Process(1);
        st.SetIterationTime(ThreadSeconds() - t0);
    }
}

// The GUI side's GUI_INIT through a callback that answers every read with nothing.
void OpenGui(benchmark::State& st, std::string name) {
    auto plugin = Shared(name);
    if (!plugin) return st.SkipWithError("deliverable not built");
    for (auto _ : st) {
        kvbench::BareGui g(plugin->MakeModule());
        if (!g.Made()) return st.SkipWithError("no GUI side");
        const double t0 = ThreadSeconds();
        g.Init();
        st.SetIterationTime(ThreadSeconds() - t0);
    }
}

// Bytes a deliverable allocates for one instance: makeModule, pin descriptions and Open
// (MOD_OPEN and the first status of every input) on the DSP side; makeModule and GUI_INIT on
// the GUI side. What stays allocated afterwards is the instance's size. The DSP side is
// weighed twice: the first instance, alone, builds the tables instances share; a second
// beside it allocates only its own. The difference is the shared tables, once.
void Memory(benchmark::State& st, std::string name) {
    auto plugin = Shared(name);
    if (!plugin) return st.SkipWithError("deliverable not built");
    kvbench::AllocTally first, dsp, gui;
    bool has_gui = false;
    for (auto _ : st) {
        {
            kvbench::BeginCounting();
            kvbench::Counting(false);
            BareDsp d(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64,
                      true);
            if (d.Made()) d.Open();
            first = kvbench::EndCounting();
            kvbench::BeginCounting();
            kvbench::Counting(false);
            BareDsp second(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64,
                           true);
            if (second.Made()) second.Open();
            dsp = kvbench::EndCounting();
        }
        {
            kvbench::BeginCounting();
            kvbench::Counting(false);
            kvbench::BareGui g(plugin->MakeModule(), true);
            has_gui = g.Made();
            if (has_gui) g.Init();
            gui = kvbench::EndCounting();
        }
    }
    st.counters["dsp_bytes"] = static_cast<double>(dsp.bytes - dsp.freed);
    st.counters["shared_bytes"] =
        static_cast<double>((first.bytes - first.freed) - (dsp.bytes - dsp.freed));
    st.counters["dsp_allocations"] = static_cast<double>(dsp.allocations);
    st.counters["dsp_peak_bytes"] = static_cast<double>(dsp.peak_live);
    st.counters["gui_bytes"] = has_gui ? static_cast<double>(gui.bytes - gui.freed) : 0.0;
    st.counters["gui_allocations"] = has_gui ? static_cast<double>(gui.allocations) : 0.0;
}

// ZOR Warpwave's table rebuild, as its block start runs it when the depth moves.
void WarpTable(benchmark::State& st, int32_t wave) {
    float table[warpwave::kTableStore];
    warpwave::Scratch scratch;
    uint64_t i = 0;
    for (auto _ : st) {
        warpwave::BuildTable(wave, MovingDepth(i++), scratch, table);
        benchmark::DoNotOptimize(table);
        benchmark::ClobberMemory();
    }
}

// ZOR Basic Voice's Wave change (OnPinUpdate picks the bands prepared at open): a new Wave
// value through the host library (the event and a one-sample slice), and through the bare
// host (the value and its status alone).
void BasicWaveHost(benchmark::State& st) {
    auto plugin = Shared("ZOR Basic Voice");
    if (!plugin) return st.SkipWithError("deliverable not built");
    DspInstance d(plugin, kRate, 64);
    Lean(d);
    d.Open();
    d.Run(64);
    const int32_t wave = d.DspPin("Wave");
    int16_t w = 1;
    for (auto _ : st) {
        w = static_cast<int16_t>(w == 1 ? 2 : 1);
        d.SetValue(wave, w, d.Clock());
        d.Run(1);
    }
}

void BasicWaveFrame(benchmark::State& st) {
    auto plugin = Shared("ZOR Basic Voice");
    if (!plugin) return st.SkipWithError("deliverable not built");
    BareDsp d(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64);
    d.Open();
    const int32_t wave = d.Pin("Wave");
    int16_t w = 1;
    for (auto _ : st) {
        w = static_cast<int16_t>(w == 1 ? 2 : 1);
        d.WriteChoice(wave, w);
        d.Status(wave, PS_STEP);
    }
}

// One wave's band build as the deliverable does it (each open builds its wave 8; the first
// open builds the seven listed waves), beside the kernels' build, literal box sums.
void BasicBands(benchmark::State& st) {
    basic_voice::BaseWaves waves;
    uint32_t state = 1;
    basic_voice::BuildBaseWaves(waves, state);
    static basic_voice::WaveBands bands;
    int32_t w = 0;
    for (auto _ : st) {
        w = w == 0 ? 1 : 0;
        basic_voice::BuildWaveBands(waves[w], bands);
        benchmark::DoNotOptimize(bands.band);
        benchmark::ClobberMemory();
    }
}

void BasicBandsFloor(benchmark::State& st) {
    int32_t w = 1;
    for (auto _ : st) {
        w = w == 1 ? 2 : 1;
        auto b = kvbench::BuildBasicVoiceBands(w);
        benchmark::DoNotOptimize(b.band.data());
    }
}

// One MIDI message through wy_VUDA2DU: delivered at the clock, then a slice of `samples` in
// which the converter writes its three outputs (one sample: the message itself; a block:
// the run every change starts). Note-on and note-off alternate, so every message changes
// the outputs.
void MidiHost(benchmark::State& st, int32_t samples) {
    auto plugin = Shared("wy_VUDA2DU");
    if (!plugin) return st.SkipWithError("deliverable not built");
    DspInstance d(plugin, kRate, 64);
    Lean(d);
    d.Open();
    d.Run(64);
    const int32_t midi = d.DspPin("MIDI In");
    bool on = false;
    for (auto _ : st) {
        on = !on;
        d.SendMidi(midi, d.Clock(), on ? 0x90 : 0x80, 60, 100);
        d.Run(static_cast<uint32_t>(samples));
    }
}

void MidiFrame(benchmark::State& st, int32_t samples) {
    auto plugin = Shared("wy_VUDA2DU");
    if (!plugin) return st.SkipWithError("deliverable not built");
    BareDsp d(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), 64);
    d.Open();
    d.Process(64);
    bool on = false;
    for (auto _ : st) {
        on = !on;
        d.Midi(on ? 0x90 : 0x80, 60, 100);
        d.Process(samples);
    }
}

// ---- The host's own cost --------------------------------------------------------------

std::shared_ptr<Plugin> Nothing() {
    static auto p = Load(KV_BENCH_PLUGIN);
    return p;
}

// A block of the do-nothing plug-in through the host library. With an event, one input
// status (PS_STEP) is delivered in each block, at sample `event_at` of the block (0: at its
// start; later: the host cuts the block there, two process calls).
void NothingHost(benchmark::State& st, int32_t block, int32_t event_at) {
    auto plugin = Nothing();
    if (!plugin) return st.SkipWithError("do-nothing plug-in not built");
    DspInstance d(plugin, kRate, block);
    Lean(d);
    d.Open();
    const int32_t setting = d.DspPin("Setting");
    d.Run(static_cast<uint32_t>(block));
    const std::size_t calls0 = d.ProcessCalls(), events0 = d.EventsDelivered();
    int v = 0;
    for (auto _ : st) {
        if (event_at >= 0) d.SetValue(setting, (v++) & 63, d.Clock() + event_at);
        d.Run(static_cast<uint32_t>(block));
    }
    PerSample(st, block);
    const double blocks = static_cast<double>(st.iterations());
    st.counters["process_calls_per_block"] =
        static_cast<double>(d.ProcessCalls() - calls0) / blocks;
    st.counters["events_per_block"] = static_cast<double>(d.EventsDelivered() - events0) / blocks;
}

void NothingFrame(benchmark::State& st, int32_t block, int32_t event_at) {
    auto plugin = Nothing();
    if (!plugin) return st.SkipWithError("do-nothing plug-in not built");
    BareDsp d(plugin->MakeModule(), plugin->Revision(), static_cast<float>(kRate), block);
    d.Open();
    const int32_t setting = d.Pin("Setting");
    int16_t v = 0;
    for (auto _ : st) {
        if (event_at < 0) {
            d.Process(block);
            continue;
        }
        if (event_at > 0) d.Slice(0, event_at);
        d.WriteChoice(setting, static_cast<int16_t>((v++) & 63));
        d.Status(setting, PS_STEP);
        d.Slice(event_at, block - event_at);
    }
    PerSample(st, block);
}

void NothingFloor(benchmark::State& st, int32_t block) {
    std::vector<float> out(static_cast<std::size_t>(block));
    for (auto _ : st) {
        kvbench::WriteBlock(out.data(), block, 0.25f);
        benchmark::ClobberMemory();
    }
    PerSample(st, block);
}

// Voices at 48 kHz, block 64, wired as the host library's patches wire them: each
// wy_VUDA2DU's Pitch buffer feeds a ZOR Twin-Op's OP1 Pitch, its statuses forwarded
// ("1->1", feedback 1.0: the defaults). Every block one voice gets a note-on or a note-off.
// One voice beside the 64 shows what the voices cost each other.
void PatchVoices(benchmark::State& st, int32_t voice_total) {
    constexpr int32_t kBlock = 64;
    auto midi_plugin = Shared("wy_VUDA2DU");
    auto twin_plugin = Shared("ZOR Twin-Op");
    if (!midi_plugin || !twin_plugin) return st.SkipWithError("deliverables not built");
    struct Voice {
        std::unique_ptr<DspInstance> midi, twin;
        bool on = false;
    };
    std::vector<Voice> voices(static_cast<std::size_t>(voice_total));
    int32_t midi_in = -1;
    for (int32_t v = 0; v < voice_total; ++v) {
        Voice& voice = voices[static_cast<std::size_t>(v)];
        voice.midi = std::make_unique<DspInstance>(midi_plugin, kRate, kBlock);
        voice.twin = std::make_unique<DspInstance>(twin_plugin, kRate, kBlock);
        Lean(*voice.midi);
        Lean(*voice.twin);
        const int32_t pitch_out = voice.midi->DspPin("Pitch");
        const int32_t pitch_in = voice.twin->DspPin("OP1 Pitch");
        voice.twin->ConnectBuffer(pitch_in, voice.midi->Buffer(pitch_out));
        DspInstance* twin = voice.twin.get();
        voice.midi->SetStatusListener([twin, pitch_out, pitch_in](const auto& s) {
            if (s.pin == pitch_out) twin->PostStatus(pitch_in, s.status, s.clock);
        });
        voice.midi->Open();
        voice.twin->Open();
        midi_in = voice.midi->DspPin("MIDI In");
        voice.midi->SendMidi(midi_in, 0, 0x90, static_cast<uint8_t>(36 + v), 100);
        voice.on = true;
    }
    uint64_t block = 0;
    auto run = [&] {
        const auto v = static_cast<std::size_t>(block % static_cast<uint64_t>(voice_total));
        Voice& turn = voices[v];
        turn.on = !turn.on;
        turn.midi->SendMidi(midi_in, turn.midi->Clock() + 17, turn.on ? 0x90 : 0x80,
                            static_cast<uint8_t>(36 + v), 90);
        for (Voice& voice : voices) {
            voice.midi->Run(kBlock);
            voice.twin->Run(kBlock);
        }
        ++block;
    };
    for (int i = 0; i < 4; ++i) run();
    for (auto _ : st) run();
    // Audio seconds per second of processing.
    st.counters["realtime_factor"] = benchmark::Counter(
        static_cast<double>(kBlock) / kRate, benchmark::Counter::kIsIterationInvariantRate);
    st.counters["us_per_voice_block"] = benchmark::Counter(
        static_cast<double>(voice_total) * 1e-6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    PerSample(st, kBlock);
}

// The chord example (examples/poly_chords.json and its MIDI file) through the host core's
// Patch, its voice group at `voices` copies: block by block, the file played over and over
// (each pass the MIDI again from the current clock, outside the timing).
void PolyChords(benchmark::State& st, int32_t voices) {
    kvhost::PatchPlan plan;
    kvhost::MidiSequence midi;
    try {
        plan = kvhost::LoadPatch(KV_BENCH_EXAMPLES "/poly_chords.json");
        midi = kvhost::ReadMidiFile(KV_BENCH_EXAMPLES "/poly_chords.mid", plan.sample_rate);
    } catch (const kvhost::Error& e) {
        return st.SkipWithError(e.what());
    }
    plan.voices.at(0).count = voices;
    kvhost::Patch patch(plan);
    const auto block = static_cast<uint32_t>(plan.block_size);
    const uint32_t length = midi.end_sample + block;
    std::vector<float> out(block);
    uint64_t blocks = 0;
    uint32_t pass_start = 0;
    auto again = [&] {
        kvhost::MidiSequence shifted = midi;
        pass_start = patch.Clock();
        for (auto& e : shifted.events) e.sample += pass_start;
        patch.SetMidi(std::move(shifted));
    };
    again();
    for (auto _ : st) {
        patch.Render(out.data(), block);
        ++blocks;
        if (patch.Clock() - pass_start >= length) {
            st.PauseTiming();
            again();
            st.ResumeTiming();
        }
    }
    st.counters["realtime_factor"] = benchmark::Counter(
        static_cast<double>(blocks * block) / plan.sample_rate, benchmark::Counter::kIsRate);
    st.counters["us_per_voice_block"] = benchmark::Counter(
        static_cast<double>(voices) * 1e-6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Eight notes held in a voice group of `voices` copies, through the patch (the copies never
// given a note sleep when `sleep` is on).
void HeldNotes(benchmark::State& st, int32_t voices, bool sleep) {
    kvhost::PatchPlan plan;
    try {
        plan = kvhost::ParsePatch(
            R"({"sample_rate": 48000, "block_size": 64, "modules": [
                {"name": "keys", "plugin": "wy_VUDA2DU", "pins": {"Retrigger": "On"}},
                {"name": "voice", "plugin": "ZOR Twin-Op",
                 "pins": {"On/Off": "On", "Algorithm": "2->1", "OP2 Level": 0.6}}],
              "voices": {"count": 8, "modules": ["keys", "voice"]},
              "wires": [{"from": "keys.Pitch", "to": "voice.OP1 Pitch"},
                        {"from": "keys.Pitch", "to": "voice.OP2 Pitch"},
                        {"from": "keys.Gate", "to": "voice.OP1 FB/Level"}],
              "audio": {"outputs": ["voice.Output"], "gain": 0.2}})",
            "held.json", "");
    } catch (const kvhost::Error& e) {
        return st.SkipWithError(e.what());
    }
    plan.voices.at(0).count = voices;
    plan.voices.at(0).sleep = sleep;
    kvhost::Patch patch(plan);
    for (uint8_t k = 0; k < 8; ++k) patch.SendMidi(0, 0x90, static_cast<uint8_t>(48 + 3 * k), 100);
    const auto block = static_cast<uint32_t>(plan.block_size);
    std::vector<float> out(block);
    for (int i = 0; i < 8; ++i) patch.Render(out.data(), block);
    for (auto _ : st) patch.Render(out.data(), block);
    st.counters["asleep"] = patch.SleepingCopies();
}

void Register() {
    for (const OscCase& oc : kOscCases) {
        const bool twin = std::string(oc.plugin) == "ZOR Twin-Op";
        for (int32_t block : kBlocks) {
            const std::string tail = "/" + std::to_string(block);
            const std::string base = std::string("Osc/") + oc.label;
            benchmark::RegisterBenchmark((base + "/host" + tail).c_str(), OscHost, oc, block);
            benchmark::RegisterBenchmark((base + "/frame" + tail).c_str(), OscFrame, oc, block);
            benchmark::RegisterBenchmark((base + "/floor" + tail).c_str(), OscFloor, oc, block,
                                         false);
            if (twin) {
                benchmark::RegisterBenchmark((base + "/literal" + tail).c_str(), OscFloor, oc,
                                             block, true);
            }
        }
    }
    for (const char* name : kDeliverables) {
        benchmark::RegisterBenchmark(("Open/" + Label(name) + "/host").c_str(), OpenHost,
                                     std::string(name))
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Open/" + Label(name) + "/frame").c_str(), OpenFrame,
                                     std::string(name), false)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        if (kSharesTables.count(name) != 0) {
            benchmark::RegisterBenchmark(("Open/" + Label(name) + "/first").c_str(), OpenFrame,
                                         std::string(name), true)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
        if (kGuiSide.count(name) != 0) {
            benchmark::RegisterBenchmark(("Open/" + Label(name) + "/gui").c_str(), OpenGui,
                                         std::string(name))
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
    for (const char* name : kDeliverables) {
        benchmark::RegisterBenchmark(("Memory/" + Label(name)).c_str(), Memory, std::string(name))
            ->Iterations(1)
            ->Repetitions(1);
    }
    for (int32_t wave = 1; wave <= 8; ++wave) {
        benchmark::RegisterBenchmark(("Build/Warpwave_table/wave" + std::to_string(wave)).c_str(),
                                     WarpTable, wave)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("Wave/BasicVoice/host", BasicWaveHost);
    benchmark::RegisterBenchmark("Wave/BasicVoice/frame", BasicWaveFrame);
    benchmark::RegisterBenchmark("Build/BasicVoice_bands/builder", BasicBands)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Build/BasicVoice_bands/literal", BasicBandsFloor)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Midi/message/host/1", MidiHost, 1);
    benchmark::RegisterBenchmark("Midi/message/frame/1", MidiFrame, 1);
    benchmark::RegisterBenchmark("Midi/message_and_block/host/64", MidiHost, 64);
    benchmark::RegisterBenchmark("Midi/message_and_block/frame/64", MidiFrame, 64);
    for (int32_t block : kBlocks) {
        const std::string tail = "/" + std::to_string(block);
        for (auto [label, at] : {std::pair<const char*, int32_t>{"nothing_block", -1},
                                 {"nothing_block_event", 0},
                                 {"nothing_block_midevent", block / 2}}) {
            const std::string base = std::string("Host/") + label;
            benchmark::RegisterBenchmark((base + "/host" + tail).c_str(), NothingHost, block, at);
            benchmark::RegisterBenchmark((base + "/frame" + tail).c_str(), NothingFrame, block, at);
        }
        benchmark::RegisterBenchmark(("Host/nothing_block/floor" + tail).c_str(), NothingFloor,
                                     block);
    }
    benchmark::RegisterBenchmark("Patch/64_voices_48k_block64/host", PatchVoices, 64)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Patch/1_voice_48k_block64/host", PatchVoices, 1)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Patch/8_held_of_64_sleeping_48k_block64/host", HeldNotes, 64,
                                 true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Patch/8_held_of_8_48k_block64/host", HeldNotes, 8, false)
        ->Unit(benchmark::kMicrosecond);
    for (int32_t voices : {1, 8, 16, 64}) {
        benchmark::RegisterBenchmark(
            ("Poly/chords_" + std::to_string(voices) + "_voices_44k_block64/host").c_str(),
            PolyChords, voices)
            ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool check_only = false, skip_check = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kv_check") == 0) {
            check_only = true;
        } else if (std::strcmp(argv[i], "--kv_nocheck") == 0) {
            skip_check = true;  // for profiling runs
        } else {
            args.push_back(argv[i]);
        }
    }
    const std::string check = skip_check && !check_only ? "not run" : CheckKernels();
    std::fprintf(stderr, "kv_bench: kernels against the deliverables: %s\n", check.c_str());
    if (check_only) return check == "ok" ? 0 : 1;
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
    benchmark::AddCustomContext("kernel_check", check);
    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
