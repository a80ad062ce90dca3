// The "lv2" command of kvhost: one bundle per deliverable, a one-line refusal for each
// module that has no LV2 equivalent.
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
};

// Writes every bundle it can. A plug-in that cannot be loaded or has no LV2 equivalent gets
// a line on standard error and exit code kExitPlugin, the others are still written; a bundle
// that cannot be written ends the command (Failure, kExitOutput).
int WriteBundles(const Lv2Options& opt) {
    if (!std::filesystem::is_regular_file(opt.bridge)) {
        throw Failure(kExitOutput,
                      "bridge binary " + QuoteText(opt.bridge) + " not found (--bridge names it)");
    }
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
        "lv2", "write an LV2 bundle, DIR/<deliverable>.lv2, for each plug-in with a DSP side",
        [opt] { return WriteBundles(*opt); });
    cmd->add_option("PLUGIN", opt->plugins, "plug-in paths, deliverable names or ids")->required();
    cmd->add_option("-o,--output", opt->output, "folder the bundles go into")->required();
    cmd->add_option("--bridge", opt->bridge,
                    "the bridge binary each bundle gets (default: the one installed with kvhost, "
                    "or this build's)");
    cmd->footer(
        "A plug-in that cannot be loaded or has no LV2 equivalent gets one line and exit code 3;\n"
        "the others are still written. A bundle that cannot be written ends with exit code 6.");
}

}  // namespace kvhost
