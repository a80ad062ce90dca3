// Bundle writing: Turtle descriptions from the module's identity and port layout, files
// assembled in a temporary folder and moved into place.
#include "bundle.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
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
    if (!out) throw Error(path.string() + ": cannot be written");
}

void Copy(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw Error("cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
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
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw Error(QuoteName(folder.string()) + ": cannot create the folder: " + ec.message());
    const fs::path staging =
        folder / ("." + written.folder.filename().string() + ".tmp" + std::to_string(::getpid()));
    fs::remove_all(staging, ec);
    if (!fs::create_directory(staging, ec) || ec) {
        throw Error(QuoteName(folder.string()) + ": cannot write a bundle there: " +
                    (ec ? ec.message() : std::string("it exists")));
    }
    try {
        WriteText(staging / "manifest.ttl", ManifestTurtle(written.layout));
        WriteText(staging / kPluginTurtleFile, PluginTurtle(*plugin, written.layout));
        Copy(bridge_binary, staging / kBridgeFile);
        Copy(plugin->Path(), staging / deliverable);
        fs::remove_all(written.folder, ec);
        if (ec) {
            throw Error(QuoteName(written.folder.string()) +
                        ": cannot replace it: " + ec.message());
        }
        fs::rename(staging, written.folder, ec);
        if (ec) {
            throw Error(QuoteName(written.folder.string()) +
                        ": cannot be written: " + ec.message());
        }
    } catch (...) {
        fs::remove_all(staging, ec);
        throw;
    }
    return written;
}

}  // namespace kvhost::lv2
