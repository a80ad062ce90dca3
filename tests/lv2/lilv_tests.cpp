// The built bundles loaded through lilv, as LV2 hosts load them: ZOR Twin-Op playing the
// notes that wy_VUDA2DU turns into pitch, and instantiations a host gets refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "kvhost/host.h"
#include "lilv_host.h"

namespace {

const char* const kTwinOp = "urn:kolvex:module:ZOR%20Twin-Op";
const char* const kKeys = "urn:kolvex:module:wy%3AVUDA2DU";
constexpr double kRate = 48000.0;

// An instance with its control ports at their defaults (values_ holds them).
class Instance {
  public:
    Instance(kvhost::lv2::BundleWorld& world, const char* uri, const LV2_Feature* const* features)
        : world_(world), plugin_(world.Plugin(uri)) {
        if (plugin_ == nullptr) return;
        const uint32_t n = lilv_plugin_get_num_ports(plugin_);
        values_.assign(n, 0.0f);
        std::vector<float> low(n), high(n), def(n);
        lilv_plugin_get_port_ranges_float(plugin_, low.data(), high.data(), def.data());
        instance_ = lilv_plugin_instantiate(plugin_, kRate, features);
        if (instance_ == nullptr) return;
        LilvNode* control = lilv_new_uri(world.World(), LV2_CORE__ControlPort);
        for (uint32_t p = 0; p < n; ++p) {
            if (lilv_port_is_a(plugin_, lilv_plugin_get_port_by_index(plugin_, p), control)) {
                values_[p] = std::isnan(def[p]) ? 0.0f : def[p];
                lilv_instance_connect_port(instance_, p, &values_[p]);
            } else {
                lilv_instance_connect_port(instance_, p, nullptr);
            }
        }
        lilv_node_free(control);
    }
    ~Instance() {
        if (instance_ != nullptr) lilv_instance_free(instance_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    LilvInstance* Get() { return instance_; }
    uint32_t Port(const char* symbol) {
        const int32_t p = world_.PortIndex(plugin_, symbol);
        EXPECT_GE(p, 0) << symbol;
        return static_cast<uint32_t>(p);
    }
    void Set(const char* symbol, float v) { values_[Port(symbol)] = v; }
    void Connect(const char* symbol, void* data) {
        lilv_instance_connect_port(instance_, Port(symbol), data);
    }

  private:
    kvhost::lv2::BundleWorld& world_;
    const LilvPlugin* plugin_;
    LilvInstance* instance_ = nullptr;
    std::vector<float> values_;
};

// The fundamental of a stretch of samples, from its rising zero crossings (interpolated).
double Fundamental(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0) first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * kRate / (last - first) : 0.0;
}

TEST(Lilv, TwinOpPlaysTheNotesOfTheMidiConverter) {
    kvhost::lv2::BundleWorld world(KVLV2_BUNDLES);
    kvhost::lv2::LilvHost host;
    const uint32_t cycle = 256;
    host.SetBlockOptions(0, cycle);
    Instance keys(world, kKeys, host.Features());
    Instance voice(world, kTwinOp, host.Features());
    ASSERT_NE(keys.Get(), nullptr) << host.LogText();
    ASSERT_NE(voice.Get(), nullptr) << host.LogText();

    kvhost::lv2::MidiBuffer midi(host);
    std::vector<float> gate(cycle), pitch(cycle), velocity(cycle), out(cycle);
    keys.Connect("midi_in", midi.Data());
    keys.Connect("gate", gate.data());
    keys.Connect("pitch", pitch.data());
    keys.Connect("velocity", velocity.data());
    voice.Connect("op1_pitch", pitch.data());  // a wire from the converter's Pitch
    voice.Connect("output", out.data());
    voice.Set("op1_fb_level_volts", 0.0f);  // no feedback: operator 1's bare sine
    lilv_instance_activate(keys.Get());
    lilv_instance_activate(voice.Get());

    const std::vector<uint8_t> notes = {45, 52, 57, 60, 64, 69, 76, 81, 88};
    const uint32_t note_length = 12000;
    const uint32_t total = note_length * static_cast<uint32_t>(notes.size());
    std::vector<float> played;
    played.reserve(total + cycle);
    const std::size_t allocations = kvbench::TotalAllocations();
    for (uint32_t start = 0; start < total; start += cycle) {
        midi.Clear();
        for (uint32_t f = start; f < start + cycle; ++f) {
            if (f % note_length != 37 || f / note_length >= notes.size()) continue;
            const uint8_t key = notes[f / note_length];
            if (f >= note_length) midi.Add(f - start, 0x80, notes[f / note_length - 1], 0);
            midi.Add(f - start, 0x90, key, 100);
        }
        lilv_instance_run(keys.Get(), cycle);
        lilv_instance_run(voice.Get(), cycle);
        played.insert(played.end(), out.begin(), out.end());
    }
    EXPECT_EQ(kvbench::TotalAllocations(), allocations) << "run() allocated";
    lilv_instance_deactivate(keys.Get());
    lilv_instance_deactivate(voice.Get());

    for (std::size_t k = 0; k < notes.size(); ++k) {
        const double expected = 440.0 * std::pow(2.0, (notes[k] - 69) / 12.0);
        const std::size_t from = k * note_length + 1000;
        const double f = Fundamental(played, from, from + note_length - 1200);
        EXPECT_NEAR(f / expected, 1.0, 0.005) << "key " << int{notes[k]} << ": " << f << " Hz";
    }
    EXPECT_TRUE(host.LogText().empty()) << host.LogText();
}

TEST(Lilv, NamesAndDescriptionsAreTheModulesIdentity) {
    kvhost::lv2::BundleWorld world(KVLV2_BUNDLES);
    const std::pair<const char*, const char*> bridged[] = {
        {"ZOR Warpwave", "urn:kolvex:module:ZOR%20Warpwave"},
        {"ZOR Twin-Op", kTwinOp},
        {"ZOR Basic Voice", "urn:kolvex:module:ZOR%20Basic%20Voice"},
        {"wy_VUDA2DU", kKeys}};
    LilvNode* comment = lilv_new_uri(world.World(), "http://www.w3.org/2000/01/rdf-schema#comment");
    for (const auto& [deliverable, uri] : bridged) {
        SCOPED_TRACE(deliverable);
        const auto module = kvhost::Plugin::Load(deliverable);
        const LilvPlugin* plugin = world.Plugin(uri);
        ASSERT_NE(plugin, nullptr);
        LilvNode* name = lilv_plugin_get_name(plugin);
        EXPECT_EQ(std::string(lilv_node_as_string(name)), module->Name());
        lilv_node_free(name);
        LilvNode* description =
            lilv_world_get(world.World(), lilv_plugin_get_uri(plugin), comment, nullptr);
        const std::string about = module->Info().about;
        if (about.empty()) {
            EXPECT_EQ(description, nullptr);
        } else {
            ASSERT_NE(description, nullptr);
            EXPECT_EQ(std::string(lilv_node_as_string(description)), about);
        }
        lilv_node_free(description);
    }
    lilv_node_free(comment);
}

// Standard error of this process while it lives, to read back what was written there.
class StderrCapture {
  public:
    StderrCapture()
        : path_(::testing::TempDir() + "kvlv2_stderr_" + std::to_string(::getpid()) + ".txt") {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { Text(); }
    std::string Text() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    std::string path_;
    int saved_ = -1;
};

TEST(Lilv, UnusableHostsGetNoInstanceAndAReason) {
    kvhost::lv2::BundleWorld world(KVLV2_BUNDLES);
    {
        kvhost::lv2::LilvHost host;
        host.SetBlockOptions(0, -64);
        Instance voice(world, kTwinOp, host.Features());
        EXPECT_EQ(voice.Get(), nullptr);
        EXPECT_EQ(host.LogText(),
                  "kolvex bridge: \"ZOR Twin-Op\": not instantiated: the host's "
                  "buf-size:maxBlockLength is -64, not between 1 and 1048576\n");
    }
    {
        kvhost::lv2::LilvHost host;
        host.SetBlockOptions(0, 64, LV2_ATOM__Double);
        Instance voice(world, kTwinOp, host.Features());
        EXPECT_EQ(voice.Get(), nullptr);
        EXPECT_NE(host.LogText().find("maxBlockLength option is not an atom:Int"),
                  std::string::npos)
            << host.LogText();
    }
    {
        // No urid:map: the converter cannot read MIDI; the reason goes to standard error.
        kvhost::lv2::LilvHost host;
        StderrCapture err;
        Instance keys(world, kKeys, host.Features(false, false));
        EXPECT_EQ(keys.Get(), nullptr);
        EXPECT_NE(err.Text().find("\"wy:VUDA2DU\": not instantiated: it reads MIDI, which "
                                  "needs the host's urid:map feature"),
                  std::string::npos);
    }
    {
        // Options without a block length: the instance opens with the default block.
        kvhost::lv2::LilvHost host;
        host.SetBlockOptions(0, 0);
        Instance voice(world, kTwinOp, host.Features());
        ASSERT_NE(voice.Get(), nullptr);
        EXPECT_NE(host.LogText().find("named no block length"), std::string::npos);
        std::vector<float> out(300, 1.0f);
        voice.Connect("output", out.data());
        lilv_instance_activate(voice.Get());
        lilv_instance_run(voice.Get(), 300);
        lilv_instance_deactivate(voice.Get());
        EXPECT_NE(out[299], 1.0f);
    }
}

}  // namespace
