// Bundle writing: Turtle descriptions from the module's identity and port layout, files
// assembled in a temporary folder and moved into place.
#include "bundle.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "kv_release.h"

namespace kvhost::lv2 {

namespace {

namespace fs = std::filesystem;

// A Turtle string literal: quotes, backslashes and control characters escaped.
std::string Literal(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// A Turtle number that reads back as the same float: whole numbers as integers.
std::string Number(float v) {
    if (std::nearbyint(v) == v && std::fabs(v) < 1e9f) {
        return std::to_string(static_cast<long long>(v));
    }
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string PortTurtle(const Port& p) {
    std::ostringstream t;
    const char* direction = p.kind == PortKind::kAudioOut || p.kind == PortKind::kControlOut
                                ? "lv2:OutputPort"
                                : "lv2:InputPort";
    switch (p.kind) {
        case PortKind::kAudioIn:
        case PortKind::kAudioOut:
            t << "        a " << direction << " , lv2:AudioPort ;\n";
            break;
        case PortKind::kControlIn:
        case PortKind::kControlOut:
            t << "        a " << direction << " , lv2:ControlPort ;\n";
            break;
        case PortKind::kMidiIn:
            t << "        a " << direction << " , atom:AtomPort ;\n"
              << "        atom:bufferType atom:Sequence ;\n"
              << "        atom:supports midi:MidiEvent ;\n";
            break;
    }
    t << "        lv2:index " << p.index << " ;\n"
      << "        lv2:symbol " << Literal(p.symbol) << " ;\n"
      << "        lv2:name " << Literal(p.name);
    if (p.kind == PortKind::kControlIn) t << " ;\n        lv2:default " << Number(p.default_value);
    if (p.has_range) {
        t << " ;\n        lv2:minimum " << Number(p.minimum) << " ;\n        lv2:maximum "
          << Number(p.maximum);
    }
    if (p.role == Role::kLatency) t << " ;\n        lv2:designation lv2:latency";
    std::vector<std::string> properties;
    if (p.role == Role::kLatency) properties.emplace_back("lv2:reportsLatency");
    if (p.optional_connection) properties.emplace_back("lv2:connectionOptional");
    if (p.integer) properties.emplace_back("lv2:integer");
    if (p.enumeration) properties.emplace_back("lv2:enumeration");
    if (p.toggled) properties.emplace_back("lv2:toggled");
    for (std::size_t i = 0; i < properties.size(); ++i) {
        t << (i == 0 ? " ;\n        lv2:portProperty " : " , ") << properties[i];
    }
    for (std::size_t i = 0; i < p.scale_points.size(); ++i) {
        const ScalePoint& s = p.scale_points[i];
        t << (i == 0 ? " ;\n        lv2:scalePoint " : " , ") << "[ rdfs:label " << Literal(s.label)
          << " ; rdf:value " << s.value << " ]";
    }
    t << "\n";
    return t.str();
}

// The release's minor and micro versions (its major version would change the URI): a host
// that finds two bundles of one plugin takes the newer.
std::string Versions() {
    return "    lv2:minorVersion " + std::to_string(KV_VERSION_MINOR) + " ;\n" +
           "    lv2:microVersion " + std::to_string(KV_VERSION_PATCH) + " ;\n";
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw BundleWriteError(path.string() + ": cannot be written");
}

void Copy(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw BundleWriteError("cannot copy " + from.string() + " to " + to.string() + ": " +
                               ec.message());
}

// A bundle assembled by `fill` in a temporary folder beside `target` and moved into place
// (replacing what was there), so a failure leaves no half bundle.
void StageBundle(const fs::path& folder, const fs::path& target,
                 const std::function<void(const fs::path&)>& fill) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        throw BundleWriteError(QuoteName(folder.string()) +
                               ": cannot create the folder: " + ec.message());
    }
    const fs::path staging =
        folder / ("." + target.filename().string() + ".tmp" + std::to_string(::getpid()));
    fs::remove_all(staging, ec);
    if (!fs::create_directory(staging, ec) || ec) {
        throw BundleWriteError(QuoteName(folder.string()) + ": cannot write a bundle there: " +
                               (ec ? ec.message() : std::string("it exists")));
    }
    try {
        fill(staging);
        fs::remove_all(target, ec);
        if (ec) {
            throw BundleWriteError(QuoteName(target.string()) +
                                   ": cannot replace it: " + ec.message());
        }
        fs::rename(staging, target, ec);
        if (ec) {
            throw BundleWriteError(QuoteName(target.string()) +
                                   ": cannot be written: " + ec.message());
        }
    } catch (...) {
        fs::remove_all(staging, ec);
        throw;
    }
}

const char* const kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix log: <http://lv2plug.in/ns/ext/log#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";

struct PresetValues {
    std::string uri, name;
    std::vector<float> values;  // per port; control inputs only are read
};

std::string InstrumentTurtle(const InstrumentLayout& layout) {
    std::ostringstream t;
    t << "# The patch " << layout.name << " as an LV2 instrument, written by kvhost lv2.\n"
      << kPrefixes << "<" << layout.uri << ">\n"
      << "    a lv2:Plugin , lv2:InstrumentPlugin ;\n"
      << "    doap:name " << Literal(layout.name) << " ;\n"
      << Versions()
      << "    lv2:optionalFeature lv2:hardRTCapable , opts:options , log:log , "
         "bufsz:fixedBlockLength , bufsz:powerOf2BlockLength ;\n"
      << "    lv2:requiredFeature urid:map ;\n"
      << "    opts:supportedOption bufsz:nominalBlockLength , bufsz:maxBlockLength";
    for (std::size_t i = 0; i < layout.ports.size(); ++i) {
        t << (i == 0 ? " ;\n    lv2:port [\n" : " , [\n") << PortTurtle(layout.ports[i]) << "    ]";
    }
    t << " .\n";
    return t.str();
}

std::string PresetsTurtle(const InstrumentLayout& layout,
                          const std::vector<PresetValues>& presets) {
    std::ostringstream t;
    t << kPrefixes;
    for (const PresetValues& p : presets) {
        t << "<" << p.uri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << layout.uri
          << "> ;\n    rdfs:label " << Literal(p.name);
        bool first = true;
        for (const Port& port : layout.ports) {
            if (port.kind != PortKind::kControlIn) continue;
            t << (first ? " ;\n    lv2:port [ " : " , [ ") << "lv2:symbol " << Literal(port.symbol)
              << " ; pset:value " << Number(p.values[port.index]) << " ]";
            first = false;
        }
        t << " .\n\n";
    }
    return t.str();
}

std::string InstrumentManifest(const InstrumentLayout& layout,
                               const std::vector<PresetValues>& presets) {
    std::ostringstream t;
    t << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
      << "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
      << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
      << "<" << layout.uri << ">\n"
      << "    a lv2:Plugin ;\n"
      << Versions() << "    lv2:binary <" << kBridgeFile << "> ;\n"
      << "    rdfs:seeAlso <" << kPluginTurtleFile << "> .\n";
    for (const PresetValues& p : presets) {
        t << "\n<" << p.uri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << layout.uri
          << "> ;\n    rdfs:seeAlso <presets.ttl> .\n";
    }
    return t.str();
}

}  // namespace

Layout BridgeableLayout(const std::shared_ptr<Plugin>& plugin) {
    std::unique_ptr<DspInstance> dsp;
    try {
        dsp = std::make_unique<DspInstance>(plugin);
    } catch (const LoadError&) {
        throw NotBridged("it has no DSP side (makeModule makes no DSP instance)");
    }
    bool gui = false;
    try {
        GuiInstance probe(plugin);
        gui = true;
    } catch (const LoadError&) {
    }
    if (gui) {
        throw NotBridged("its work lies on its GUI side, and an LV2 plugin has no equivalent");
    }
    return MakeLayout(*dsp);
}

std::string PluginTurtle(const Plugin& plugin, const Layout& layout) {
    bool sound = false;
    for (const Port& p : layout.ports) sound = sound || p.kind == PortKind::kAudioOut;
    const char* kind = layout.has_midi ? "lv2:MIDIPlugin"
                       : sound         ? "lv2:OscillatorPlugin"
                                       : nullptr;
    const char* about = plugin.Info().about;
    std::ostringstream t;
    t << "# " << plugin.Name() << " as an LV2 plugin, written by kvhost lv2.\n"
      << "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
      << "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
      << "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
      << "@prefix log: <http://lv2plug.in/ns/ext/log#> .\n"
      << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
      << "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
      << "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
      << "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
      << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
      << "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n"
      << "<" << layout.uri << ">\n"
      << "    a lv2:Plugin" << (kind != nullptr ? std::string(" , ") + kind : "") << " ;\n"
      << "    doap:name " << Literal(plugin.Name()) << " ;\n"
      << Versions();
    if (about != nullptr && *about != '\0') t << "    rdfs:comment " << Literal(about) << " ;\n";
    t << "    lv2:optionalFeature lv2:hardRTCapable , opts:options , log:log , "
         "bufsz:fixedBlockLength , bufsz:powerOf2BlockLength"
      << (layout.has_midi ? "" : " , urid:map") << " ;\n";
    if (layout.has_midi) t << "    lv2:requiredFeature urid:map ;\n";
    t << "    opts:supportedOption bufsz:nominalBlockLength , bufsz:maxBlockLength";
    for (std::size_t i = 0; i < layout.ports.size(); ++i) {
        t << (i == 0 ? " ;\n    lv2:port [\n" : " , [\n") << PortTurtle(layout.ports[i]) << "    ]";
    }
    t << " .\n";
    return t.str();
}

std::string ManifestTurtle(const Layout& layout) {
    std::ostringstream t;
    t << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
      << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
      << "<" << layout.uri << ">\n"
      << "    a lv2:Plugin ;\n"
      << Versions() << "    lv2:binary <" << kBridgeFile << "> ;\n"
      << "    rdfs:seeAlso <" << kPluginTurtleFile << "> .\n";
    return t.str();
}

WrittenBundle WriteBundle(const std::shared_ptr<Plugin>& plugin, const fs::path& folder,
                          const fs::path& bridge_binary) {
    WrittenBundle written;
    written.layout = BridgeableLayout(plugin);
    const fs::path deliverable = fs::path(plugin->Path()).filename();
    written.folder = folder / (deliverable.stem().string() + ".lv2");
    StageBundle(folder, written.folder, [&](const fs::path& staging) {
        WriteText(staging / "manifest.ttl", ManifestTurtle(written.layout));
        WriteText(staging / kPluginTurtleFile, PluginTurtle(*plugin, written.layout));
        Copy(bridge_binary, staging / kBridgeFile);
        Copy(plugin->Path(), staging / deliverable);
    });
    return written;
}

WrittenInstrument WriteInstrumentBundle(const std::string& patch_path,
                                        const std::vector<InstrumentPreset>& presets,
                                        const fs::path& folder, const fs::path& bridge_binary) {
    const std::string stem = fs::path(patch_path).stem().string();
    const PatchPlan original = LoadPatch(patch_path);
    // Each plug-in the patch names, from the search path alone, and its file in the bundle.
    std::map<std::string, std::shared_ptr<Plugin>> plugins;
    auto load = [&](const std::string& reference) {
        auto& p = plugins[reference];
        if (!p) p = Plugin::LoadFromSearchPath(reference);
        return p;
    };
    const std::vector<std::string> gui = GuiSideModules(original, load);
    if (!gui.empty()) {
        std::string names;
        for (const std::string& g : gui) names += (names.empty() ? "" : ", ") + QuoteName(g);
        throw InstrumentRefused(
            (gui.size() > 1 ? "modules " + names + " work" : "module " + names + " works") +
            " on a GUI side, and an LV2 instance has no GUI thread");
    }
    const PatchPlan plan = InstrumentPlan(original, original.sample_rate);
    PatchOptions options;
    options.load_plugin = load;
    Patch patch(plan, options);
    WrittenInstrument written;
    written.layout = MakeInstrumentLayout(plan, patch, stem);

    std::vector<PresetValues> values;
    auto add_preset = [&](const std::string& name, const PatchPlan& p, Patch& opened) {
        PresetValues v;
        v.name = name;
        std::string base = written.layout.uri + "#preset-" + SymbolOf(name);
        v.uri = base;
        for (int n = 2; std::any_of(values.begin(), values.end(),
                                    [&](const PresetValues& o) { return o.uri == v.uri; });
             ++n) {
            v.uri = base + "_" + std::to_string(n);
        }
        v.values.assign(written.layout.ports.size(), 0.0f);
        for (const Port& port : written.layout.ports) {
            if (port.kind != PortKind::kControlIn) continue;
            const std::string& module =
                patch.Order()[static_cast<std::size_t>(written.layout.nodes[port.index])];
            const auto& order = opened.Order();
            const auto node =
                static_cast<int32_t>(std::find(order.begin(), order.end(), module) - order.begin());
            v.values[port.index] = ControlValue(p, opened, node, port);
        }
        values.push_back(std::move(v));
    };
    add_preset(written.layout.name, plan, patch);
    for (const InstrumentPreset& preset : presets) {
        const std::string where = "preset " + QuoteName(preset.name) + " (" + preset.patch + ")";
        PatchPlan p = InstrumentPlan(LoadPatch(preset.patch), plan.sample_rate);
        bool same = p.modules.size() == plan.modules.size();
        for (std::size_t i = 0; same && i < p.modules.size(); ++i) {
            same = p.modules[i].name == plan.modules[i].name &&
                   load(p.modules[i].plugin)->Path() == load(plan.modules[i].plugin)->Path();
        }
        if (!same) {
            std::string mine, theirs;
            for (const auto& m : plan.modules) mine += " " + m.name + "=" + m.plugin;
            for (const auto& m : p.modules) theirs += " " + m.name + "=" + m.plugin;
            throw InstrumentRefused(where + ": its modules (" + theirs.substr(1) +
                                    ") differ from the patch's (" + mine.substr(1) + ")");
        }
        Patch opened(p, options);
        add_preset(preset.name, p, opened);
    }
    written.presets = values.size();

    // The patch as the bundle keeps it: plug-ins named by their copies, MIDI live.
    nlohmann::ordered_json json =
        nlohmann::ordered_json::parse(ReadWholeFile(patch_path, "patch file"));
    std::map<std::string, std::pair<fs::path, std::string>> copies;  // reference: file, name
    std::set<std::string> taken;
    for (auto& m : json["modules"]) {
        const std::string reference = m["plugin"].get<std::string>();
        if (!copies.count(reference)) {
            const fs::path from = load(reference)->Path();
            std::string name = from.filename().string();
            for (int n = 2; !taken.insert(name).second; ++n) {
                name = std::to_string(n) + "_" + from.filename().string();
            }
            copies[reference] = {from, name};
        }
        m["plugin"] = std::string(kInstrumentModulesFolder) + "/" + copies[reference].second;
    }
    nlohmann::ordered_json midi = {{"live", true}};
    if (plan.midi_to) midi["to"] = plan.midi_to->module + "." + plan.midi_to->pin;
    json["midi"] = midi;
    json["name"] = written.layout.name;
    json.erase("seconds");

    written.folder = folder / (stem + ".lv2");
    StageBundle(folder, written.folder, [&](const fs::path& staging) {
        WriteText(staging / "manifest.ttl", InstrumentManifest(written.layout, values));
        WriteText(staging / kPluginTurtleFile, InstrumentTurtle(written.layout));
        WriteText(staging / "presets.ttl", PresetsTurtle(written.layout, values));
        WriteText(staging / kInstrumentPatchFile, json.dump(2) + "\n");
        Copy(bridge_binary, staging / kBridgeFile);
        std::error_code ec;
        fs::create_directory(staging / kInstrumentModulesFolder, ec);
        if (ec)
            throw BundleWriteError((staging / kInstrumentModulesFolder).string() + ": " +
                                   ec.message());
        for (const auto& [reference, copy] : copies) {
            Copy(copy.first, staging / kInstrumentModulesFolder / copy.second);
        }
    });
    return written;
}

}  // namespace kvhost::lv2
