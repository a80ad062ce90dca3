// Lv2/...: an oscillator bridged to LV2 and run through lilv (the built bundle, as LV2 hosts
// run it) beside the same oscillator with the same settings through the host library.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "kvhost/host.h"
#include "lilv_host.h"

namespace {

constexpr double kRate = 48000.0;

// One case: the deliverable and its settings, as LV2 control values (choices by value,
// sample inputs in volts) and as the host library takes them (signal units).
struct Lv2Case {
    const char* label;
    const char* deliverable;
    const char* uri;
    std::vector<std::pair<const char*, float>> controls;  // port symbol, value
    std::vector<std::pair<const char*, float>> pins;      // pin name, value
};

const Lv2Case kCases[] = {
    {"Warpwave_depth_still",
     "ZOR Warpwave",
     "urn:kolvex:module:ZOR%20Warpwave",
     {{"wave", 3.0f}, {"modulation_depth_volts", 4.0f}},
     {{"Wave", 3.0f}, {"Modulation Depth", 0.4f}}},
    {"BasicVoice", "ZOR Basic Voice", "urn:kolvex:module:ZOR%20Basic%20Voice", {}, {}},
    {"TwinOp_2to1_level0.1",
     "ZOR Twin-Op",
     "urn:kolvex:module:ZOR%20Twin-Op",
     {{"algorithm", 1.0f}, {"op2_level_volts", 1.0f}},
     {{"Algorithm", 1.0f}, {"OP2 Level", 0.1f}}},
};

void PerSample(benchmark::State& st, int32_t block) {
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * block);
    st.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(block) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// `fixed`: the host promises runs of the block's length, so the bridge runs with no latency.
void ThroughLilv(benchmark::State& st, const Lv2Case& c, int32_t block, bool fixed) {
    kvhost::lv2::BundleWorld world(KV_BENCH_LV2_BUNDLES);
    kvhost::lv2::LilvHost host;
    host.SetBlockOptions(block, block);
    host.SetFixedBlockLength(fixed);
    const LilvPlugin* plugin = world.Plugin(c.uri);
    if (plugin == nullptr) return st.SkipWithError("bundle not built");
    LilvInstance* inst = lilv_plugin_instantiate(plugin, kRate, host.Features());
    if (inst == nullptr) return st.SkipWithError(host.LogText().c_str());
    const uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> low(ports), high(ports), values(ports);
    lilv_plugin_get_port_ranges_float(plugin, low.data(), high.data(), values.data());
    for (uint32_t p = 0; p < ports; ++p) lilv_instance_connect_port(inst, p, nullptr);
    LilvNode* control = lilv_new_uri(world.World(), LV2_CORE__ControlPort);
    for (uint32_t p = 0; p < ports; ++p) {
        if (lilv_port_is_a(plugin, lilv_plugin_get_port_by_index(plugin, p), control)) {
            lilv_instance_connect_port(inst, p, &values[p]);
        }
    }
    lilv_node_free(control);
    for (const auto& [symbol, value] : c.controls) {
        values[static_cast<std::size_t>(world.PortIndex(plugin, symbol))] = value;
    }
    std::vector<float> out(static_cast<std::size_t>(block));
    lilv_instance_connect_port(inst, static_cast<uint32_t>(world.PortIndex(plugin, "output")),
                               out.data());
    lilv_instance_activate(inst);
    for (int i = 0; i < 8; ++i) lilv_instance_run(inst, static_cast<uint32_t>(block));
    for (auto _ : st) {
        lilv_instance_run(inst, static_cast<uint32_t>(block));
        benchmark::DoNotOptimize(out.data());
    }
    lilv_instance_deactivate(inst);
    lilv_instance_free(inst);
    PerSample(st, block);
}

void ThroughHost(benchmark::State& st, const Lv2Case& c, int32_t block) {
    std::shared_ptr<kvhost::Plugin> plugin;
    try {
        plugin = kvhost::Plugin::Load(c.deliverable);
    } catch (const kvhost::Error& e) {
        return st.SkipWithError(e.what());
    }
    kvhost::DspInstance dsp(plugin, kRate, block);
    dsp.SetRecording(false);
    dsp.SetLogging(false);
    for (const auto& [pin, value] : c.pins) dsp.SetInitial(dsp.DspPin(pin), value);
    dsp.Open();
    for (int i = 0; i < 8; ++i) dsp.Run(static_cast<uint32_t>(block));
    for (auto _ : st) dsp.Run(static_cast<uint32_t>(block));
    PerSample(st, block);
}

const bool kRegistered = [] {
    for (const Lv2Case& c : kCases) {
        const std::string base = std::string("Lv2/") + c.label;
        for (int32_t block : {64, 1024}) {
            const std::string tail = "/" + std::to_string(block);
            benchmark::RegisterBenchmark((base + "/lilv" + tail).c_str(), ThroughLilv, c, block,
                                         false);
            benchmark::RegisterBenchmark((base + "/lilv_fixed" + tail).c_str(), ThroughLilv, c,
                                         block, true);
            benchmark::RegisterBenchmark((base + "/host" + tail).c_str(), ThroughHost, c, block);
        }
    }
    return true;
}();

}  // namespace
