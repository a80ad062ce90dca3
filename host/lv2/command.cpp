// The "lv2" command of kvhost: one bundle per deliverable, a one-line refusal for each
// module that has no LV2 equivalent.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"
#include "kvhost/lv2.h"

namespace kvhost {

namespace {

// Exit codes of the command, beside the tool's 0 (done) and 2 (wrong command line).
constexpr int kNotBridged = 3;  // a plug-in cannot be loaded or has no LV2 equivalent
constexpr int kUnwritable = 8;  // a bundle cannot be written

struct Lv2Options {
    std::vector<std::string> plugins;
    std::string output;
    std::string bridge = KVLV2_BRIDGE;
};

int WriteBundles(const Lv2Options& opt) {
    if (!std::filesystem::is_regular_file(opt.bridge)) {
        std::fprintf(stderr, "kvhost lv2: bridge binary \"%s\" not found (--bridge names it)\n",
                     opt.bridge.c_str());
        return kUnwritable;
    }
    int code = 0;
    for (const std::string& name : opt.plugins) {
        std::shared_ptr<Plugin> plugin;
        try {
            plugin = Plugin::Load(name);
        } catch (const Error& e) {
            std::fprintf(stderr, "kvhost lv2: %s\n", e.what());
            code = kNotBridged;
            continue;
        }
        try {
            const lv2::WrittenBundle b = lv2::WriteBundle(plugin, opt.output, opt.bridge);
            std::printf("%s: <%s>, %zu ports\n", b.folder.c_str(), b.layout.uri.c_str(),
                        b.layout.ports.size());
        } catch (const lv2::NotBridged& e) {
            const std::string deliverable = std::filesystem::path(plugin->Path()).stem().string();
            std::fprintf(stderr, "kvhost lv2: \"%s\" not bridged: %s; nothing written for it\n",
                         deliverable.c_str(), e.what());
            code = kNotBridged;
        } catch (const Error& e) {
            std::fprintf(stderr, "kvhost lv2: %s\n", e.what());
            return kUnwritable;
        }
    }
    std::fflush(stdout);
    return code;
}

}  // namespace

void AddLv2Command(CLI::App& app) {
    auto opt = std::make_shared<Lv2Options>();
    CLI::App* cmd = app.add_subcommand(
        "lv2", "write an LV2 bundle, DIR/<deliverable>.lv2, for each plug-in with a DSP side");
    cmd->add_option("PLUGIN", opt->plugins, "plug-in paths or deliverable names")->required();
    cmd->add_option("-o,--output", opt->output, "folder the bundles go into")->required();
    cmd->add_option("--bridge", opt->bridge, "the bridge binary each bundle gets")
        ->capture_default_str();
    cmd->footer(
        "Exit codes: 0 every bundle written; 2 wrong command line; 3 a plug-in cannot be\n"
        "loaded or has no LV2 equivalent (nothing written for it, the others are written);\n"
        "8 a bundle cannot be written.");
    cmd->callback([opt]() {
        const int code = WriteBundles(*opt);
        if (code != 0) throw CLI::RuntimeError(code);
    });
}

}  // namespace kvhost
