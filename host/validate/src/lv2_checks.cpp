// The LV2 target's tests: instantiate/activate/deactivate cycles, and runs of random lengths
// with random or hostile control values, signals and MIDI sequences, optional ports connected
// and unconnected; outputs must be written and finite, run() must allocate nothing.
#include "lv2_checks.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "alloc_count.h"
#include "lilv_host.h"
#include "random_inputs.h"

namespace kvhost::validate {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxRun = 4096;                // the longest run, and the maxBlockLength given
constexpr uint32_t kUnwrittenBits = 0x7FC5A5A5u;  // a NaN the plugin is unlikely to write
constexpr std::size_t kAtomCapacity = 8192;

enum class Kind : uint8_t {
    kSignalIn,
    kSignalOut,
    kControlIn,
    kControlOut,
    kAtomIn,
    kAtomOut,
    kOther
};

struct PortInfo {
    Kind kind = Kind::kOther;
    bool optional = false;                      // lv2:connectionOptional
    bool integer = false;                       // lv2:integer or lv2:enumeration
    float low = 0.0f, high = 1.0f, def = 0.0f;  // range and default (control inputs)
    std::vector<float> scale_points;
    std::string symbol;
};

float Unwritten() {
    return std::bit_cast<float>(kUnwrittenBits);
}
bool IsUnwritten(float v) {
    return std::bit_cast<uint32_t>(v) == kUnwrittenBits;
}

// One plugin instance driven as a host drives it, with every port's buffer its own.
class Lv2Bench {
  public:
    Lv2Bench(lv2::BundleWorld& world, const std::string& uri, Findings& findings)
        : world_(world), findings_(findings), plugin_(world.Plugin(uri)) {
        if (plugin_ == nullptr) {
            findings_.Fail("instantiate", "no plugin " + uri + " in the world lilv loaded");
            return;
        }
        Describe();
    }
    ~Lv2Bench() { Free(); }
    Lv2Bench(const Lv2Bench&) = delete;
    Lv2Bench& operator=(const Lv2Bench&) = delete;

    // Instantiates at `rate`; `block` 0 gives no buf-size options at all.
    bool Instantiate(double rate, int32_t block) {
        Free();
        if (plugin_ == nullptr) return false;
        if (block > 0) host_.SetBlockOptions(block, static_cast<int32_t>(kMaxRun));
        instance_ = lilv_plugin_instantiate(plugin_, rate, host_.Features());
        if (instance_ == nullptr) {
            if (block > 0) {
                findings_.Fail(
                    "instantiate",
                    Fmt("instantiation at %.0f Hz, block %d refused", rate, block) +
                        (host_.LogText().empty() ? std::string() : ": " + host_.LogText()));
            }
            return false;
        }
        for (uint32_t p = 0; p < ports_.size(); ++p) Connect(p, true);
        inputs_finite_ = true;
        return true;
    }
    void Activate() { lilv_instance_activate(instance_); }
    void Deactivate() { lilv_instance_deactivate(instance_); }
    void Free() {
        if (instance_ != nullptr) lilv_instance_free(instance_);
        instance_ = nullptr;
    }
    const std::vector<PortInfo>& Ports() const { return ports_; }

    // Connects port `p` to its buffer, or (an optional port) to nothing.
    void Connect(uint32_t p, bool connected) {
        void* data = nullptr;
        if (connected || !ports_[p].optional) {
            switch (ports_[p].kind) {
                case Kind::kSignalIn:
                case Kind::kSignalOut:
                    data = signals_[p].data();
                    break;
                case Kind::kAtomIn:
                case Kind::kAtomOut:
                    data = atoms_[p]->Data();
                    break;
                default:
                    data = &controls_[p];
            }
        }
        connected_[p] = data != nullptr;
        lilv_instance_connect_port(instance_, p, data);
    }
    bool Connected(uint32_t p) const { return connected_[p]; }
    float& Control(uint32_t p) { return controls_[p]; }
    std::vector<float>& Signal(uint32_t p) { return signals_[p]; }
    lv2::MidiBuffer& Atom(uint32_t p) { return *atoms_[p]; }

    // Marks every output unwritten, runs `frames` inside an allocation window (reconnections
    // `between` makes count too), then checks what the outputs hold.
    template <class Between>
    void Run(uint32_t frames, Between between) {
        for (uint32_t p = 0; p < ports_.size(); ++p) {
            if (ports_[p].kind == Kind::kSignalOut) {
                std::fill(signals_[p].begin(), signals_[p].begin() + frames, Unwritten());
            } else if (ports_[p].kind == Kind::kControlOut) {
                controls_[p] = Unwritten();
            } else if (ports_[p].kind == Kind::kAtomOut) {
                atoms_[p]->Offer();
            }
        }
        // Outputs must stay finite for as long as every input was; what a module makes of
        // NaN or infinity in its state is its own affair, as long as it stays in bounds.
        for (uint32_t p = 0; p < ports_.size() && inputs_finite_; ++p) {
            if (ports_[p].kind == Kind::kControlIn) {
                inputs_finite_ = std::isfinite(controls_[p]);
            } else if (ports_[p].kind == Kind::kSignalIn) {
                inputs_finite_ = std::all_of(signals_[p].begin(), signals_[p].begin() + frames,
                                             [](float x) { return std::isfinite(x); });
            }
        }
        {
            alloc::Window window;
            between();
            lilv_instance_run(instance_, frames);
        }
        ++runs_;
        samples_ += frames;
        for (uint32_t p = 0; p < ports_.size(); ++p) {
            const PortInfo& port = ports_[p];
            if (!connected_[p]) continue;
            const float* v = port.kind == Kind::kSignalOut    ? signals_[p].data()
                             : port.kind == Kind::kControlOut ? &controls_[p]
                                                              : nullptr;
            if (v == nullptr) continue;
            const uint32_t n = port.kind == Kind::kSignalOut ? frames : 1;
            for (uint32_t i = 0; i < n; ++i) {
                if (IsUnwritten(v[i])) {
                    findings_.Fail("outputs written",
                                   Fmt("output \"%s\" left frame %u of a %u-frame run unwritten",
                                       port.symbol.c_str(), i, frames));
                    break;
                }
                if (inputs_finite_ && !std::isfinite(v[i])) {
                    findings_.Fail("finite outputs",
                                   Fmt("output \"%s\" holds %g at frame %u of a %u-frame run "
                                       "from finite inputs",
                                       port.symbol.c_str(), static_cast<double>(v[i]), i, frames));
                    break;
                }
            }
        }
    }
    uint64_t Runs() const { return runs_; }
    uint64_t Samples() const { return samples_; }
    const std::string& Log() const { return host_.LogText(); }

  private:
    void Describe() {
        LilvWorld* w = world_.World();
        auto uri = [w](const char* u) { return lilv_new_uri(w, u); };
        LilvNode* audio = uri(LV2_CORE__AudioPort);
        LilvNode* cv = uri(LV2_CORE__CVPort);
        LilvNode* control = uri(LV2_CORE__ControlPort);
        LilvNode* atom = uri(LV2_ATOM__AtomPort);
        LilvNode* input = uri(LV2_CORE__InputPort);
        LilvNode* optional = uri(LV2_CORE__connectionOptional);
        LilvNode* integer = uri(LV2_CORE__integer);
        LilvNode* enumeration = uri(LV2_CORE__enumeration);
        const uint32_t n = lilv_plugin_get_num_ports(plugin_);
        std::vector<float> low(n), high(n), def(n);
        lilv_plugin_get_port_ranges_float(plugin_, low.data(), high.data(), def.data());
        ports_.resize(n);
        controls_.assign(n, 0.0f);
        connected_.assign(n, false);
        signals_.resize(n);
        atoms_.resize(n);
        for (uint32_t p = 0; p < n; ++p) {
            const LilvPort* lp = lilv_plugin_get_port_by_index(plugin_, p);
            PortInfo& port = ports_[p];
            port.symbol = lilv_node_as_string(lilv_port_get_symbol(plugin_, lp));
            const bool in = lilv_port_is_a(plugin_, lp, input);
            if (lilv_port_is_a(plugin_, lp, audio) || lilv_port_is_a(plugin_, lp, cv)) {
                port.kind = in ? Kind::kSignalIn : Kind::kSignalOut;
                signals_[p].assign(kMaxRun, 0.0f);
            } else if (lilv_port_is_a(plugin_, lp, control)) {
                port.kind = in ? Kind::kControlIn : Kind::kControlOut;
            } else if (lilv_port_is_a(plugin_, lp, atom)) {
                port.kind = in ? Kind::kAtomIn : Kind::kAtomOut;
                atoms_[p] = std::make_unique<lv2::MidiBuffer>(host_, kAtomCapacity);
            }
            port.optional = lilv_port_has_property(plugin_, lp, optional);
            port.integer = lilv_port_has_property(plugin_, lp, integer) ||
                           lilv_port_has_property(plugin_, lp, enumeration);
            port.def = std::isnan(def[p]) ? 0.0f : def[p];
            port.low = std::isnan(low[p]) ? std::min(port.def, 0.0f) : low[p];
            port.high = std::isnan(high[p]) ? std::max(port.def, 1.0f) : high[p];
            controls_[p] = port.def;
            if (LilvScalePoints* points = lilv_port_get_scale_points(plugin_, lp)) {
                LILV_FOREACH(scale_points, i, points) {
                    const LilvNode* v =
                        lilv_scale_point_get_value(lilv_scale_points_get(points, i));
                    port.scale_points.push_back(lilv_node_as_float(v));
                }
                lilv_scale_points_free(points);
            }
        }
        for (LilvNode* node : {audio, cv, control, atom, input, optional, integer, enumeration}) {
            lilv_node_free(node);
        }
    }

    lv2::BundleWorld& world_;
    Findings& findings_;
    const LilvPlugin* plugin_;
    lv2::LilvHost host_;
    LilvInstance* instance_ = nullptr;
    std::vector<PortInfo> ports_;
    std::vector<float> controls_;  // per port: a control port's value
    std::vector<bool> connected_;
    std::vector<std::vector<float>> signals_;              // per audio or CV port: its buffer
    std::vector<std::unique_ptr<lv2::MidiBuffer>> atoms_;  // per atom port: its buffer
    bool inputs_finite_ = true;  // every input value given so far was finite
    uint64_t runs_ = 0, samples_ = 0;
};

// A control input's next value: within its range (a listed value where it lists some), or
// hostile: NaN, infinities, huge values, far outside its range, between listed values.
float ControlValue(Randomness& rnd, const PortInfo& port, bool hostile) {
    if (hostile && rnd.Chance(0.4)) {
        switch (rnd.Int(0, 3)) {
            case 0:
                return rnd.Sample(true);
            case 1:
                return port.low - static_cast<float>(rnd.Real(0.001, 1e6));
            case 2:
                return port.high + static_cast<float>(rnd.Real(0.001, 1e6));
            default:
                return std::nextafter(port.low, port.high);
        }
    }
    if (!port.scale_points.empty() && rnd.Chance(0.8)) {
        return port.scale_points[static_cast<std::size_t>(
            rnd.Int(0, static_cast<int64_t>(port.scale_points.size()) - 1))];
    }
    const double v = rnd.Real(std::min(port.low, port.high), std::max(port.low, port.high));
    return static_cast<float>(port.integer ? std::round(v) : v);
}

// A MIDI sequence for one run: plausible messages and random bytes at sorted frames; hostile
// ones add events of any size (none included), out of order and outside the run.
void FillMidi(Randomness& rnd, lv2::MidiBuffer& buffer, uint32_t frames, bool hostile) {
    buffer.Clear();
    if (rnd.Chance(0.3)) return;
    const int64_t count = rnd.Int(1, rnd.Chance(0.1) ? 300 : 8);
    int64_t frame = 0;
    for (int64_t i = 0; i < count; ++i) {
        frame = std::min<int64_t>(frames - 1, frame + rnd.Int(0, 2 * frames / count));
        int64_t at = frame;
        uint32_t size = 3;
        uint8_t bytes[8];
        const auto word = static_cast<uint32_t>(rnd.Midi());
        std::memcpy(bytes, &word, 4);
        if (hostile && rnd.Chance(0.2)) {
            at = rnd.Int(-100, frames + 100);
            size = static_cast<uint32_t>(rnd.Int(0, 8));
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(rnd.Int(0, 255));
        }
        if (!buffer.Add(at, bytes, size)) break;
    }
}

// Runs `body(world, uri, randomness)` on each plugin of the test's target.
template <class Body>
void ForEachPlugin(Context& ctx, Body body) {
    const Lv2Target& t = *ctx.lv2;
    lv2::BundleWorld world(
        t.path, t.bundle ? lv2::BundleWorld::Scope::kBundle : lv2::BundleWorld::Scope::kSearchPath);
    for (std::size_t i = 0; i < t.uris.size(); ++i) {
        Randomness rnd(ctx.seed + i * 0x9E3779B97F4A7C15ull);
        body(world, t.uris[i], rnd);
    }
}

void CountRunAllocations(Context& ctx, const std::string& uri, uint64_t allocations) {
    ctx.figures["run() allocations"] += static_cast<double>(allocations);
    if (allocations > 0) {
        ctx.findings.Fail("allocation",
                          Fmt("%s: run() allocated %" PRIu64 " time(s)", uri.c_str(), allocations));
    }
}

const double kRates[] = {22050.0, 44100.0, 48000.0, 96000.0, 192000.0};
const int32_t kBlocks[] = {1, 17, 64, 256, 1024, 4096};

// ---- instantiate/activate/deactivate cycles ------------------------------------------------
void Cycles(Context& ctx) {
    ForEachPlugin(ctx, [&](lv2::BundleWorld& world, const std::string& uri, Randomness& rnd) {
        Findings cycle;  // merged once: the list must not grow inside the measured loop
        Lv2Bench b(world, uri, cycle);
        // A host that gives no buf-size option is served or refused, never crashed.
        if (b.Instantiate(48000.0, 0)) {
            b.Activate();
            b.Run(64, [] {});
            b.Deactivate();
        } else {
            ctx.findings.Note("no buf-size option", uri + " refuses it: " + b.Log());
        }
        const uint64_t allocations = alloc::WindowCount();
        auto one = [&](int32_t i) {
            if (!b.Instantiate(kRates[rnd.Int(0, 4)], kBlocks[rnd.Int(0, 5)])) return;
            b.Activate();
            b.Run(static_cast<uint32_t>(rnd.Int(1, 300)), [] {});
            if (i % 3 == 0) {  // activated again after a deactivation
                b.Deactivate();
                b.Activate();
                b.Run(static_cast<uint32_t>(rnd.Int(1, 300)), [] {});
            }
            b.Deactivate();
            b.Free();
        };
        for (int32_t i = -3; i < 0; ++i) one(i);  // warm-up: one-time set-up of the libraries
        const int64_t live_before = alloc::LiveBlocks();
        for (int32_t i = 0; i < ctx.cycles; ++i) one(i);
        const int64_t grown = alloc::LiveBlocks() - live_before;
        ctx.findings.Merge(cycle);
        CountRunAllocations(ctx, uri, alloc::WindowCount() - allocations);
        ctx.figures["instantiate cycles"] += ctx.cycles;
        ctx.figures["blocks left allocated"] += static_cast<double>(grown);
        if (grown > 8) {
            ctx.findings.Fail("leaks", Fmt("%s: %" PRId64 " more blocks allocated after %d "
                                           "instantiate cycles than before",
                                           uri.c_str(), grown, ctx.cycles));
        }
    });
    if (alloc::LeakCheck()) ctx.findings.Fail("leaks", "the leak checker reported leaks");
}

// ---- random runs ---------------------------------------------------------------------------
void RandomRuns(Context& ctx, bool hostile) {
    ForEachPlugin(ctx, [&](lv2::BundleWorld& world, const std::string& uri, Randomness& rnd) {
        Lv2Bench b(world, uri, ctx.findings);
        const double rate = kRates[rnd.Int(0, 4)];
        const int32_t block = kBlocks[rnd.Int(0, 5)];
        if (!b.Instantiate(rate, block)) return;
        const std::vector<PortInfo>& ports = b.Ports();
        const auto n = static_cast<uint32_t>(ports.size());
        for (uint32_t p = 0; p < n; ++p) {
            if (ports[p].kind == Kind::kControlIn)
                b.Control(p) = ControlValue(rnd, ports[p], hostile);
        }
        b.Activate();
        const uint64_t allocations = alloc::WindowCount();
        std::vector<std::pair<uint32_t, bool>> toggles;
        for (uint64_t i = 0; i < ctx.iterations; ++i) {
            const auto frames =
                static_cast<uint32_t>(rnd.Chance(0.3) ? rnd.Int(1, 64) : rnd.Int(1, kMaxRun));
            toggles.clear();
            for (uint32_t p = 0; p < n; ++p) {
                const PortInfo& port = ports[p];
                if (port.optional && rnd.Chance(0.1)) toggles.emplace_back(p, !b.Connected(p));
                if (port.kind == Kind::kControlIn && rnd.Chance(0.2)) {
                    b.Control(p) = ControlValue(rnd, port, hostile);
                } else if (port.kind == Kind::kSignalIn && rnd.Chance(0.5)) {
                    std::vector<float>& x = b.Signal(p);
                    if (rnd.Chance(0.5)) {
                        std::fill(x.begin(), x.begin() + frames, rnd.Sample(hostile));
                    } else {
                        for (uint32_t f = 0; f < frames; ++f) x[f] = rnd.Sample(hostile);
                    }
                } else if (port.kind == Kind::kAtomIn) {
                    FillMidi(rnd, b.Atom(p), frames, hostile);
                }
            }
            b.Run(frames, [&] {
                for (const auto& [p, connected] : toggles) b.Connect(p, connected);
            });
        }
        b.Deactivate();
        CountRunAllocations(ctx, uri, alloc::WindowCount() - allocations);
        ctx.figures["runs"] += static_cast<double>(b.Runs());
        ctx.figures["samples"] += static_cast<double>(b.Samples());
    });
}
void RunsFinite(Context& ctx) {
    RandomRuns(ctx, false);
}
void RunsHostile(Context& ctx) {
    RandomRuns(ctx, true);
}

bool IsUri(const std::string& s) {
    return s.rfind("urn:", 0) == 0 || s.find("://") != std::string::npos;
}

std::string WithoutTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

bool IsLv2Target(const std::string& target) {
    if (IsUri(target)) return true;
    const std::string dir = WithoutTrailingSlashes(target);
    if (dir.size() > 4 && dir.compare(dir.size() - 4, 4, ".lv2") == 0) return true;
    std::error_code ec;
    return fs::is_directory(dir, ec) && fs::is_regular_file(fs::path(dir) / "manifest.ttl", ec);
}

std::string Lv2TargetLabel(const std::string& target) {
    return IsUri(target) ? target : fs::path(WithoutTrailingSlashes(target)).filename().string();
}

Lv2Target OpenLv2Target(const std::string& target, const std::string& build_bundles) {
    Lv2Target t;
    t.bundle = !IsUri(target);
    t.label = Lv2TargetLabel(target);
    if (t.bundle) {
        const std::string dir = WithoutTrailingSlashes(target);
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) {
            throw Error("no LV2 bundle \"" + target + "\": no such folder");
        }
        if (!fs::is_regular_file(fs::path(dir) / "manifest.ttl", ec)) {
            throw Error("\"" + target + "\" is no LV2 bundle: it holds no manifest.ttl");
        }
        t.path = fs::absolute(dir).lexically_normal().string();
    } else {
        const char* env = std::getenv("LV2_PATH");
        t.path =
            env != nullptr && *env != '\0' ? std::string(env) + ":" + build_bundles : build_bundles;
        t.uris = {target};
    }
    lv2::BundleWorld world(
        t.path, t.bundle ? lv2::BundleWorld::Scope::kBundle : lv2::BundleWorld::Scope::kSearchPath);
    if (t.bundle) {
        t.uris = world.PluginUris();
        if (t.uris.empty()) {
            throw Error("LV2 bundle \"" + target +
                        "\" describes no plugin lilv can read (its manifest.ttl or plugin "
                        "description is broken)");
        }
    }
    for (const std::string& uri : t.uris) {
        const LilvPlugin* plugin = world.Plugin(uri);
        if (plugin == nullptr) {
            throw Error("no LV2 plugin " + uri + " on the search path " + t.path);
        }
        if (!lilv_plugin_verify(plugin)) {
            throw Error("LV2 plugin " + uri + " in \"" + target +
                        "\": lilv finds its description incomplete (a name, a binary or a port "
                        "missing)");
        }
        const LilvNode* binary = lilv_plugin_get_library_uri(plugin);
        char* file =
            binary != nullptr ? lilv_file_uri_parse(lilv_node_as_uri(binary), nullptr) : nullptr;
        const std::string library = file != nullptr ? file : "";
        lilv_free(file);
        std::error_code ec;
        if (library.empty() || !fs::is_regular_file(library, ec)) {
            throw Error("LV2 plugin " + uri + ": its binary \"" + library + "\" is missing");
        }
        // One instantiation as every test makes them: the target can be driven at all.
        lv2::LilvHost host;
        host.SetBlockOptions(64, static_cast<int32_t>(kMaxRun));
        LilvInstance* instance = lilv_plugin_instantiate(plugin, 48000.0, host.Features());
        if (instance == nullptr) {
            throw Error("LV2 plugin " + uri + " refuses to be instantiated" +
                        (host.LogText().empty() ? std::string(" (no reason logged)")
                                                : ": " + host.LogText()));
        }
        lilv_instance_free(instance);
        LilvNode* name = lilv_plugin_get_name(plugin);
        t.name += (t.name.empty() ? "" : ", ") +
                  std::string(name != nullptr ? lilv_node_as_string(name) : uri.c_str());
        lilv_node_free(name);
    }
    return t;
}

const std::vector<TestCase>& Lv2Tests() {
    static const std::vector<TestCase> tests = {
        {"lifecycle", "instantiate/activate/deactivate cycles without leaks", &Cycles},
        {"stress", "runs of 1-4096 frames, random controls, signals and MIDI", &RunsFinite},
        {"hostile", "NaN, infinities, huge and out-of-range controls, hostile MIDI", &RunsHostile},
    };
    return tests;
}

}  // namespace kvhost::validate
