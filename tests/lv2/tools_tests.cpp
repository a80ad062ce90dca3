// LV2's own tools as referees of the built bundles (lv2ls, lv2info, lv2apply against kvhost
// render, lv2bench), and kvhost lv2 itself: what it writes and what it refuses.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "apply_equals_render.h"
#include "jack_server.h"
#include "kvhost/host.h"
#include "kvhost/midi.h"

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kUris = {
    {"ZOR Warpwave", "urn:kolvex:module:ZOR%20Warpwave"},
    {"ZOR Twin-Op", "urn:kolvex:module:ZOR%20Twin-Op"},
    {"ZOR Basic Voice", "urn:kolvex:module:ZOR%20Basic%20Voice"},
    {"wy_VUDA2DU", "urn:kolvex:module:wy%3AVUDA2DU"},
};
// The example patches the build writes as instruments.
const std::map<std::string, std::string> kInstruments = {
    {"poly_chords", "urn:kolvex:patch:poly_chords"},
    {"demo_live", "urn:kolvex:patch:demo_live"},
};

// A folder of each test's own, emptied.
fs::path Dir() {
    const fs::path dir =
        fs::path(::testing::TempDir()) /
        ("kvlv2_" + std::to_string(::getpid()) + "_" +
         std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

using Result = kvtest::ShellResult;
using kvtest::Quoted;
using kvtest::ReadSound;

// LV2_PATH on `bundles`; under the address sanitizer, its runtime first (the tools load
// sanitized bridges).
std::string Lv2Env(const std::string& bundles) {
    std::string env = "LV2_PATH=" + Quoted(bundles) + " ";
#ifdef KVLV2_PRELOAD
    env += "LD_PRELOAD=" + Quoted(KVLV2_PRELOAD) + " ASAN_OPTIONS=detect_leaks=0 ";
#endif
    return env;
}

void ExpectApplyEqualsRender(const kvtest::ApplyCase& c) {
    kvtest::ExpectApplyEqualsRender(c, {KVHOST_TOOL, Lv2Env(KVLV2_BUNDLES)}, Dir());
}

// Runs a shell command in `dir` with LV2_PATH on `bundles`.
Result Shell(const fs::path& dir, const std::string& command,
             const std::string& bundles = KVLV2_BUNDLES) {
    return kvtest::RunShell(dir, Lv2Env(bundles) + command);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Lv2Tools, LsFindsEveryBundle) {
    const Result r = Shell(Dir(), "lv2ls");
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> listed = Lines(r.out), expected;
    for (const auto& [name, uri] : kUris) expected.push_back(uri);
    for (const auto& [name, uri] : kInstruments) expected.push_back(uri);
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(r.err, "");
}

// One port as lv2info lists it.
struct InfoPort {
    std::set<std::string> types, properties;
    std::string symbol, name;
    std::optional<double> minimum, maximum, default_value;
    std::map<int32_t, std::string> scale_points;
    bool Is(const char* type) const {
        return types.count(std::string("http://lv2plug.in/ns/lv2core#") + type) > 0;
    }
};

// lv2info's listing: "\tPort N:" opens a port, "\t\tField: value" lines follow (a value
// may go on in lines of blanks and text), scale points as "\t\t\tV = \"label\"".
std::vector<InfoPort> ParseInfo(const std::string& text) {
    std::vector<InfoPort> ports;
    std::string field;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("\tPort ", 0) == 0 && line.back() == ':') {
            ports.emplace_back();
            field.clear();
            continue;
        }
        if (ports.empty() || line.rfind("\t\t", 0) != 0) continue;
        InfoPort& p = ports.back();
        std::string value;
        if (line.rfind("\t\t\t", 0) == 0) {
            const auto eq = line.find(" = \"");
            if (eq == std::string::npos) continue;
            p.scale_points[std::stoi(line.substr(3, eq - 3))] =
                line.substr(eq + 4, line.size() - eq - 5);
            continue;
        }
        const auto colon = line.find(':');
        if (line[2] != ' ' && colon != std::string::npos) {
            field = line.substr(2, colon - 2);
            value = line.substr(colon + 1);
        } else {
            value = line.substr(2);
        }
        value.erase(0, value.find_first_not_of(' '));
        if (value.empty()) continue;
        if (field == "Type") p.types.insert(value);
        if (field == "Properties") p.properties.insert(value);
        if (field == "Symbol") p.symbol = value;
        if (field == "Name") p.name = value;
        if (field == "Minimum") p.minimum = std::stod(value);
        if (field == "Maximum") p.maximum = std::stod(value);
        if (field == "Default") p.default_value = std::stod(value);
    }
    return ports;
}

// A valid LV2 symbol: [A-Za-z_][A-Za-z0-9_]*.
bool IsSymbol(const std::string& s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])) != 0) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    });
}

const InfoPort* Named(const std::vector<InfoPort>& ports, const std::string& name) {
    for (const InfoPort& p : ports) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

TEST(Lv2Tools, InfoListsEachPinTable) {
    const fs::path dir = Dir();
    const std::string kOptional = "http://lv2plug.in/ns/lv2core#connectionOptional";
    const std::string kEnumeration = "http://lv2plug.in/ns/lv2core#enumeration";
    for (const auto& [deliverable, uri] : kUris) {
        SCOPED_TRACE(deliverable);
        const Result r = Shell(dir, "lv2info " + Quoted(uri));
        ASSERT_EQ(r.code, 0) << r.err;
        const std::vector<InfoPort> ports = ParseInfo(r.out);
        kvhost::DspInstance dsp(kvhost::Plugin::Load(deliverable));
        EXPECT_NE(r.out.find("Name:              " + dsp.GetPlugin()->Name()), std::string::npos);

        std::size_t expected_ports = 0;
        std::set<std::string> symbols;
        for (const InfoPort& p : ports) {
            EXPECT_TRUE(IsSymbol(p.symbol)) << p.symbol;
            EXPECT_TRUE(symbols.insert(p.symbol).second) << "symbol used twice: " << p.symbol;
        }
        for (int32_t k = 0; k < dsp.PinCount(); ++k) {
            const kvhost::PinInfo& pin = dsp.DspPinInfo(k);
            SCOPED_TRACE(pin.name);
            const InfoPort* port = Named(ports, pin.name);
            ASSERT_NE(port, nullptr);
            ++expected_ports;
            const bool in = !pin.IsOutput();
            EXPECT_TRUE(port->Is(in ? "InputPort" : "OutputPort"));
            if (pin.datatype == DT_FSAMPLE) {
                EXPECT_TRUE(port->Is("AudioPort"));
                if (!in) continue;
                EXPECT_TRUE(port->properties.count(kOptional));
                const InfoPort* volts = Named(ports, pin.name + " (V)");
                ASSERT_NE(volts, nullptr);
                ++expected_ports;
                EXPECT_TRUE(volts->Is("ControlPort"));
                const double def = std::stod(pin.default_value.value_or("0"));
                EXPECT_EQ(volts->default_value, def);
                ASSERT_TRUE(volts->minimum && volts->maximum);
                EXPECT_LE(*volts->minimum, def);
                EXPECT_GE(*volts->maximum, def);
            } else if (pin.datatype == DT_CHOICE) {
                EXPECT_TRUE(port->Is("ControlPort"));
                EXPECT_TRUE(port->properties.count(kEnumeration));
                const kvhost::ChoiceList list = kvhost::ParseChoices(pin.choices.value_or(""));
                std::map<int32_t, std::string> points;
                for (const auto& [label, value] : list.entries) points[value] = label;
                for (int32_t v = list.low; list.is_range && v <= list.high; ++v) {
                    points[v] = std::to_string(v);
                }
                EXPECT_EQ(port->scale_points, points);
                EXPECT_EQ(port->minimum, points.begin()->first);
                EXPECT_EQ(port->maximum, points.rbegin()->first);
                EXPECT_EQ(port->default_value, *list.Find(pin.default_value.value_or("0")));
            } else if (pin.datatype == DT_MIDI_STREAM) {
                EXPECT_TRUE(port->types.count("http://lv2plug.in/ns/ext/atom#AtomPort"));
            }
        }
        // Last, the latency the bridge reports (the frames its outputs lie behind).
        const InfoPort* latency = Named(ports, "Latency");
        ASSERT_NE(latency, nullptr);
        EXPECT_TRUE(latency->Is("OutputPort") && latency->Is("ControlPort"));
        EXPECT_TRUE(latency->properties.count("http://lv2plug.in/ns/lv2core#reportsLatency"));
        EXPECT_EQ(ports.size(), expected_ports + 1);
    }

    // The documented volt ranges, and the system's scale where none is documented.
    const Result twin = Shell(dir, "lv2info " + Quoted(kUris.at("ZOR Twin-Op")));
    const std::vector<InfoPort> ports = ParseInfo(twin.out);
    const InfoPort* pitch = Named(ports, "OP1 Pitch (V)");
    const InfoPort* level = Named(ports, "OP1 FB/Level (V)");
    ASSERT_TRUE(pitch && level);
    EXPECT_EQ(pitch->symbol, "op1_pitch_volts");
    EXPECT_EQ(std::tie(*pitch->minimum, *pitch->maximum, *pitch->default_value),
              std::make_tuple(0.0, 10.0, 5.0));
    EXPECT_EQ(level->symbol, "op1_fb_level_volts");
    EXPECT_EQ(std::tie(*level->minimum, *level->maximum, *level->default_value),
              std::make_tuple(-10.0, 10.0, 10.0));
    const std::vector<InfoPort> warp =
        ParseInfo(Shell(dir, "lv2info " + Quoted(kUris.at("ZOR Warpwave"))).out);
    const InfoPort* depth = Named(warp, "Modulation Depth (V)");
    ASSERT_NE(depth, nullptr);
    EXPECT_EQ(std::tie(*depth->minimum, *depth->maximum), std::make_tuple(0.0, 10.0));
    EXPECT_EQ(Named(warp, "Wave")->scale_points.at(5), "Reso1");
}

TEST(Lv2Tools, ApplyEqualsRenderForTwinOp) {
    ExpectApplyEqualsRender({"ZOR Twin-Op",
                             {"keys.Pitch", "lfo.Output", "mod.Output", "keys.Velocity"},
                             R"({"Algorithm": "2->1"})",
                             "-c algorithm 1",
                             kUris.at("ZOR Twin-Op")});
}

TEST(Lv2Tools, ApplyEqualsRenderForWarpwave) {
    ExpectApplyEqualsRender({"ZOR Warpwave",
                             {"keys.Pitch", "lfo.Output", "keys.Velocity"},
                             R"({"Wave": "Reso2"})",
                             "-c wave 6",
                             kUris.at("ZOR Warpwave")});
}

TEST(Lv2Tools, ApplyEqualsRenderForBasicVoice) {
    ExpectApplyEqualsRender({"ZOR Basic Voice",
                             {"keys.Pitch", "mod.Output"},
                             R"({"Wave": "Square"})",
                             "-c wave 5",
                             kUris.at("ZOR Basic Voice")});
}

TEST(Lv2Tools, BenchRunsEveryPlugin) {
    const fs::path dir = Dir();
    for (const char* block : {"64", "1000"}) {
        std::string preload;  // under the address sanitizer, its runtime first
#ifdef KVLV2_PRELOAD
        // lv2bench is a C program: the C++ runtime goes first too, for the sanitizer to see throws.
        preload = "LD_PRELOAD=\"" + std::string(KVLV2_PRELOAD) +
                  " libstdc++.so.6\" ASAN_OPTIONS=detect_leaks=0 ";
#endif
        const Result r = Shell(dir, preload + "lv2bench -n 9600 -b " + block);
        ASSERT_EQ(r.code, 0) << r.err;
        for (const auto& [name, uri] : kUris) {
            // One line per plug-in: its time, then its URI.
            bool listed = false;
            for (const std::string& line : Lines(r.out)) {
                const auto blank = line.find(' ');
                listed = listed || (blank != std::string::npos && line.substr(blank + 1) == uri &&
                                    std::stod(line.substr(0, blank)) >= 0.0);
            }
            EXPECT_TRUE(listed) << uri << " missing from:\n" << r.out;
        }
        EXPECT_EQ(r.err.find("skipping"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Failed"), std::string::npos) << r.err;
    }
}

TEST(Jalv, RunsTwinOpUnderJackWithControlsFromItsCommandLine) {
    const fs::path dir = Dir();
    JackServer jack(256);
    const Result r =
        Shell(dir, "JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=" + jack.Name() +
                       " sh -c 'sleep 2 | jalv -n voice -c algorithm=1 -c op2_level_volts=2.5 " +
                       kUris.at("ZOR Twin-Op") + "'");
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("JACK Name:    voice"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Block length: 256 frames"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("algorithm = 1.000000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("op2_level_volts = 2.500000"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("kolvex bridge"), std::string::npos) << r.err;  // jalv names its block
}

TEST(KvhostLv2, WritesSelfContainedBundles) {
    const fs::path dir = Dir();
    const std::string write = Quoted(KVHOST_TOOL) + " lv2 'ZOR Twin-Op' wy_VUDA2DU -o out";
    for (int pass = 0; pass < 2; ++pass) {  // the second pass replaces the bundles
        const Result r = Shell(dir, write);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir / "out")) {
        entries.insert(e.path().filename().string());
    }
    EXPECT_EQ(entries, (std::set<std::string>{"ZOR Twin-Op.lv2", "wy_VUDA2DU.lv2"}));
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(dir / "out" / "ZOR Twin-Op.lv2")) {
        files.insert(e.path().filename().string());
    }
    EXPECT_EQ(files, (std::set<std::string>{"manifest.ttl", "plugin.ttl", "kolvex_bridge.so",
                                            "ZOR Twin-Op.so"}));
    // Moved elsewhere, the bundles still load and run.
    fs::rename(dir / "out", dir / "moved");
    const Result bench = Shell(dir, "lv2bench -n 4800", (dir / "moved").string());
    ASSERT_EQ(bench.code, 0) << bench.err;
    EXPECT_NE(bench.out.find(kUris.at("ZOR Twin-Op")), std::string::npos) << bench.out;
    EXPECT_NE(bench.out.find(kUris.at("wy_VUDA2DU")), std::string::npos) << bench.out;
}

TEST(KvhostLv2, RefusesModulesWithoutAnLv2EquivalentInOneLineEach) {
    const fs::path dir = Dir();
    const Result r =
        Shell(dir, Quoted(KVHOST_TOOL) + " lv2 jx_CsvFloats jx_CsvInts jx_VecMul mxt_AnimVolts " +
                       Quoted(KVLV2_TEST_NO_DSP) + " 'ZOR Warpwave' -o out");
    EXPECT_EQ(r.code, 3);
    const std::string gui = "its work lies on its GUI side, and an LV2 plugin has no equivalent";
    EXPECT_EQ(Lines(r.err),
              (std::vector<std::string>{
                  "kvhost: \"jx_CsvFloats\" not bridged: " + gui + "; nothing written for it",
                  "kvhost: \"jx_CsvInts\" not bridged: " + gui + "; nothing written for it",
                  "kvhost: \"jx_VecMul\" not bridged: " + gui + "; nothing written for it",
                  "kvhost: \"mxt_AnimVolts\" not bridged: " + gui + "; nothing written for it",
                  "kvhost: \"test_lv2_no_dsp\" not bridged: it has no DSP side "
                  "(makeModule makes no DSP instance); nothing written for it",
              }));
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir / "out")) {
        entries.insert(e.path().filename().string());
    }
    EXPECT_EQ(entries, std::set<std::string>{"ZOR Warpwave.lv2"});
}

TEST(KvhostLv2, FolderThatCannotBeWrittenEndsWithItsName) {
    const fs::path dir = Dir();
    std::ofstream(dir / "file") << "x";
    Result r = Shell(dir, Quoted(KVHOST_TOOL) + " lv2 'ZOR Twin-Op' -o file/bundles");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err.rfind("kvhost: \"file/bundles\": cannot create the folder: ", 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u);
    r = Shell(dir, Quoted(KVHOST_TOOL) + " lv2 'ZOR Twin-Op' -o /proc/kvlv2");
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.err.find("\"/proc/kvlv2\""), std::string::npos) << r.err;
    r = Shell(dir, Quoted(KVHOST_TOOL) + " lv2 'ZOR Twin-Op' -o out --bridge nowhere.so");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err, "kvhost: bridge binary \"nowhere.so\" not found (--bridge names it)\n");
    r = Shell(dir, Quoted(KVHOST_TOOL) + " lv2 nosuch -o out");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out" / "nosuch.lv2"));
}

// An instrument as lv2info lists it: the MIDI input, the patch's output, a control for each
// unwired value or sample pin with its range, its choices as scale points and the patch's
// value as default (as volts for samples), the latency last; the patch's values as a preset.
TEST(KvhostLv2, InstrumentPortsComeFromThePatch) {
    const Result r = Shell(Dir(), "lv2info " + kInstruments.at("poly_chords"));
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<InfoPort> ports = ParseInfo(r.out);
    std::vector<std::string> symbols;
    for (const InfoPort& p : ports) symbols.push_back(p.symbol);
    EXPECT_EQ(symbols,
              (std::vector<std::string>{"midi_in", "voice_output", "keys_channel",
                                        "keys_bend_range", "keys_retrigger", "voice_on_off",
                                        "voice_algorithm", "voice_op2_level", "latency"}));
    ASSERT_EQ(ports.size(), symbols.size());
    EXPECT_TRUE(ports[0].Is("InputPort"));
    EXPECT_TRUE(ports[0].types.count("http://lv2plug.in/ns/ext/atom#AtomPort"));
    EXPECT_TRUE(ports[1].Is("AudioPort") && ports[1].Is("OutputPort"));
    EXPECT_TRUE(ports[8].Is("ControlPort") && ports[8].Is("OutputPort"));
    EXPECT_NE(r.out.find("Has latency:       yes, reported by port 8"), std::string::npos);
    EXPECT_NE(r.out.find("Presets: \n\t         poly_chords\n"), std::string::npos) << r.out;
    // symbol, name, default (a choice: the label its scale point has), minimum, maximum
    struct Expected {
        const char* symbol;
        const char* name;
        std::string value;
        double minimum, maximum;
    };
    const Expected table[] = {
        {"keys_channel", "keys Channel", "All", 0, 16},
        {"keys_retrigger", "keys Retrigger", "On", 0, 1},  // the patch's "On"
        {"voice_on_off", "voice On/Off", "On", 0, 1},
        {"voice_algorithm", "voice Algorithm", "2->1", 0, 3},
        {"voice_op2_level", "voice OP2 Level (V)", "0.6", -10, 10},  // volts, as the patch says
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.symbol);
        const auto it = std::find(symbols.begin(), symbols.end(), e.symbol);
        ASSERT_NE(it, symbols.end());
        const InfoPort& p = ports[static_cast<std::size_t>(it - symbols.begin())];
        EXPECT_TRUE(p.Is("ControlPort") && p.Is("InputPort"));
        EXPECT_EQ(p.name, e.name);
        ASSERT_TRUE(p.default_value && p.minimum && p.maximum);
        EXPECT_EQ(*p.minimum, e.minimum);
        EXPECT_LE(*p.maximum, e.maximum);
        if (p.scale_points.empty()) {
            EXPECT_NEAR(*p.default_value, std::stod(e.value), 1e-6);
        } else {
            EXPECT_EQ(p.scale_points.at(static_cast<int32_t>(*p.default_value)), e.value);
        }
    }
    EXPECT_NE(kvtest::Slurp(fs::path(KVLV2_BUNDLES) / "poly_chords.lv2" / "plugin.ttl")
                  .find("a lv2:Plugin , lv2:InstrumentPlugin ;"),
              std::string::npos);
}

// Written elsewhere with presets and "controls" (labels, ranges), then moved: the bundle holds
// the patch and its deliverables, and still loads, lists its presets and runs.
TEST(KvhostLv2, InstrumentBundleIsSelfContainedWithItsControlsAndPresets) {
    const fs::path dir = Dir();
    const std::string examples = KV_EXAMPLES;
    std::string patch = kvtest::Slurp(fs::path(examples) / "demo_live.json");
    patch.insert(patch.find('{') + 1,
                 R"("name": "Twin Keys", "id": "kolvex.test/twin-keys", "controls": [
                    {"pin": "voice.OP2 Level", "label": "Brightness", "min": 0, "max": 5},
                    "voice.Algorithm"],)");
    std::ofstream(dir / "keys.json") << patch;
    std::string bright = patch;
    const std::string level = "\"OP2 Level\": 0.6";
    bright.replace(bright.find(level), level.size(), "\"OP2 Level\": 4.5");
    std::ofstream(dir / "bright.json") << bright;
    const Result w = Shell(
        dir, Quoted(KVHOST_TOOL) + " lv2 --patch keys.json --preset Bright=bright.json -o out");
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out,
              "out/keys.lv2: <urn:kolvex:patch:kolvex.test%2Ftwin-keys>, instrument, 5 "
              "ports, 2 presets\n");
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
        files.insert(fs::relative(e.path(), dir / "out").string());
    }
    EXPECT_EQ(files, (std::set<std::string>{"keys.lv2", "keys.lv2/manifest.ttl",
                                            "keys.lv2/plugin.ttl", "keys.lv2/presets.ttl",
                                            "keys.lv2/patch.json", "keys.lv2/kolvex_bridge.so",
                                            "keys.lv2/modules", "keys.lv2/modules/ZOR Twin-Op.so",
                                            "keys.lv2/modules/wy_VUDA2DU.so"}));
    fs::rename(dir / "out", dir / "moved");
    const std::string uri = "urn:kolvex:patch:kolvex.test%2Ftwin-keys";
    const Result info = Shell(dir, "lv2info " + uri, (dir / "moved").string());
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("Presets: \n\t         Bright\n\t         Twin Keys\n"),
              std::string::npos)
        << info.out;
    const std::vector<InfoPort> ports = ParseInfo(info.out);
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[2].name, "Brightness");
    EXPECT_EQ(ports[2].symbol, "brightness");
    EXPECT_EQ(ports[2].minimum, 0.0);
    EXPECT_EQ(ports[2].maximum, 5.0);
    EXPECT_NEAR(ports[2].default_value.value_or(-1), 0.6, 1e-6);
    EXPECT_EQ(ports[3].symbol, "voice_algorithm");
    const std::string presets = kvtest::Slurp(dir / "moved" / "keys.lv2" / "presets.ttl");
    EXPECT_NE(presets.find("lv2:symbol \"brightness\" ; pset:value 4.5 ]"), std::string::npos)
        << presets;
    const Result bench = Shell(dir, "lv2bench -n 4800 " + uri, (dir / "moved").string());
    ASSERT_EQ(bench.code, 0) << bench.err;
    EXPECT_NE(bench.out.find(uri), std::string::npos) << bench.out;
}

// What cannot be an instrument: a clear message naming what is at fault, the tool's exit code,
// and nothing written (no bundle, no temporary folder).
TEST(KvhostLv2, InstrumentRefusalsWriteNothing) {
    const std::string examples = KV_EXAMPLES;
    const std::string live = kvtest::Slurp(fs::path(examples) / "demo_live.json");
    auto with = [&](const std::string& keys) {
        std::string p = live;
        p.insert(p.find('{') + 1, keys);
        return p;
    };
    struct Case {
        const char* what;
        std::string patch, args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {"no MIDI input",
         R"({"modules": [{"name": "osc", "plugin": "ZOR Twin-Op"}],
             "audio": {"outputs": ["osc.Output"]}})",
         "", 4, "no MIDI input to play"},
        {"GUI-side modules",
         R"({"modules": [{"name": "keys", "plugin": "wy_VUDA2DU"},
                         {"name": "list", "plugin": "jx_CsvFloats"},
                         {"name": "mul", "plugin": "jx_VecMul"}]})",
         "", 4, "modules \"list\", \"mul\" work on a GUI side"},
        {"a control naming no pin", with(R"("controls": ["voice.Nope"],)"), "", 4,
         "control \"voice.Nope\": module \"voice\" has no pin \"Nope\""},
        {"a control naming no module", with(R"("controls": ["nobody.Nope"],)"), "", 4,
         "no module named \"nobody\""},
        {"a control on a wired input", with(R"("controls": ["voice.OP1 Pitch"],)"), "", 4,
         "control \"voice.OP1 Pitch\" is wired"},
        {"a control on an output", with(R"("controls": ["keys.Gate"],)"), "", 4,
         "control \"keys.Gate\" is an output"},
        {"a range without the patch's value",
         with(R"("controls": [{"pin": "voice.OP2 Level", "min": 1}],)"), "", 4,
         "lies outside its range"},
        {"a preset with other modules", live, " --preset Other=other.json", 4,
         "preset \"Other\" (other.json): its modules"},
        {"a plug-in off the search path",
         R"({"modules": [{"name": "keys", "plugin": "/tmp/wy_VUDA2DU.so"}]})", "", 4,
         "--plugin-path"},
        {"an unwritable folder", live, " -o file/out", 6, "cannot create the folder"},
        {"a malformed patch", "{", "", 4, "patch.json:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = Dir();
        std::ofstream(dir / "patch.json") << c.patch;
        std::ofstream(dir / "file") << "x";
        std::ofstream(dir / "other.json")
            << R"({"modules": [{"name": "keys", "plugin": "wy_VUDA2DU"}], "midi": "live"})";
        const std::string out = c.args.find(" -o ") == std::string::npos ? " -o out" : "";
        const Result r = Shell(dir, Quoted(KVHOST_TOOL) + " lv2 --patch patch.json" + c.args + out);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out") && !fs::is_empty(dir / "out"));
    }
}

}  // namespace
