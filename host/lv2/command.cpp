// The "lv2" command of kvhost: one bundle per deliverable, a one-line refusal for each
// module that has no LV2 equivalent; or with --patch one instrument bundle playing a patch.
#include "kvhost/command.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"
#include "kv_release.h"
#include "kvhost/lv2.h"

namespace kvhost {

namespace {

struct Lv2Options {
    std::vector<std::string> plugins;
    std::string output;
    std::string bridge = ReleaseFile(KVHOST_INSTALLED_BRIDGE, KVLV2_BRIDGE);
    std::string patch;
    std::vector<std::string> presets;  // NAME=PATCH
};

// An instrument bundle from --patch: refusals of the patch (plug-ins off the search path
// included) exit with kExitPatch, plug-ins that cannot be loaded with kExitPlugin, what cannot be
// written with kExitOutput; nothing is left half written.
int WriteInstrument(const Lv2Options& opt) {
    std::vector<lv2::InstrumentPreset> presets;
    for (const std::string& p : opt.presets) {
        const auto eq = p.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == p.size()) {
            throw Failure(kExitUsage, "--preset " + QuoteText(p) + " is not NAME=PATCH");
        }
        presets.push_back({p.substr(0, eq), p.substr(eq + 1)});
    }
    try {
        const lv2::WrittenInstrument w =
            lv2::WriteInstrumentBundle(opt.patch, presets, opt.output, opt.bridge);
        std::cout << w.folder.string() << ": <" << w.layout.uri << ">, instrument, "
                  << w.layout.ports.size() << " ports, " << w.presets << " preset"
                  << (w.presets == 1 ? "" : "s") << "\n";
    } catch (const lv2::InstrumentRefused& e) {
        throw Failure(kExitPatch, opt.patch + ": not an instrument: " + e.what());
    } catch (const PluginRefused& e) {  // a patch naming a plug-in off the search path
        throw Failure(kExitPatch, e.what());
    } catch (const LoadError& e) {
        throw Failure(kExitPlugin, e.what());
    } catch (const lv2::BundleWriteError& e) {
        throw Failure(kExitOutput, e.what());
    } catch (const Failure&) {
        throw;
    } catch (const Error& e) {
        throw Failure(kExitPatch, e.what());
    }
    return kExitOk;
}

// Writes every bundle it can. A plug-in that cannot be loaded or has no LV2 equivalent gets
// a line on standard error and exit code kExitPlugin, the others are still written; a bundle
// that cannot be written ends the command (Failure, kExitOutput).
int WriteBundles(const Lv2Options& opt) {
    if (!std::filesystem::is_regular_file(opt.bridge)) {
        throw Failure(kExitOutput,
                      "bridge binary " + QuoteText(opt.bridge) + " not found (--bridge names it)");
    }
    if (!opt.patch.empty()) {
        if (!opt.plugins.empty()) {
            throw Failure(kExitUsage, "give either plug-ins or --patch, not both");
        }
        return WriteInstrument(opt);
    }
    if (!opt.presets.empty()) throw Failure(kExitUsage, "--preset goes with --patch");
    if (opt.plugins.empty()) throw Failure(kExitUsage, "name plug-ins, or a patch with --patch");
    int code = kExitOk;
    for (const std::string& name : opt.plugins) {
        std::shared_ptr<Plugin> plugin;
        try {
            plugin = LoadPluginNamed(name);
            const lv2::WrittenBundle b = lv2::WriteBundle(plugin, opt.output, opt.bridge);
            std::cout << b.folder.string() << ": <" << b.layout.uri << ">, "
                      << b.layout.ports.size() << " ports\n";
        } catch (const Failure& f) {
            std::cout.flush();
            std::cerr << "kvhost: " << f.what() << "\n";
            code = f.code;
        } catch (const lv2::NotBridged& e) {
            const std::string deliverable = std::filesystem::path(plugin->Path()).stem().string();
            std::cout.flush();
            std::cerr << "kvhost: " << QuoteText(deliverable) << " not bridged: " << e.what()
                      << "; nothing written for it\n";
            code = kExitPlugin;
        } catch (const Error& e) {
            throw Failure(kExitOutput, e.what());
        }
    }
    return code;
}

}  // namespace

void AddLv2Command(Tool& tool) {
    auto opt = std::make_shared<Lv2Options>();
    CLI::App* cmd = tool.Add(
        "lv2",
        "write an LV2 bundle, DIR/<deliverable>.lv2, for each plug-in with a DSP side; or with "
        "--patch an instrument bundle, DIR/<patch>.lv2, that plays the patch",
        [opt] { return WriteBundles(*opt); });
    cmd->add_option("PLUGIN", opt->plugins, "plug-in paths, deliverable names or ids");
    cmd->add_option("--patch", opt->patch,
                    "a patch with a MIDI input, written as one LV2 instrument (MIDI in, its "
                    "audio outputs out, its \"controls\" or else its unwired value pins as "
                    "control ports)");
    cmd->add_option("--preset", opt->presets,
                    "NAME=PATCH: another preset, from a saved patch with the same modules "
                    "(repeatable)");
    cmd->add_option("-o,--output", opt->output, "folder the bundles go into")->required();
    cmd->add_option("--bridge", opt->bridge,
                    "the bridge binary each bundle gets (default: the one installed with kvhost, "
                    "or this build's)");
    cmd->footer(
        "A plug-in that cannot be loaded or has no LV2 equivalent gets one line and exit code 3;\n"
        "the others are still written. A bundle that cannot be written ends with exit code 6.\n"
        "--patch: a patch that cannot be an instrument (no MIDI input, GUI-side modules, a bad\n"
        "control, a preset with other modules) gives exit code 4, a plug-in it cannot load 3.");
}

}  // namespace kvhost
