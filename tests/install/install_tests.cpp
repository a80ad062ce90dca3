// `cmake --install` into a staging DESTDIR, then everything run from there as a user would,
// with no variable pointing anywhere: kvhost finds its own deliverables and bridge, the manual
// page renders, completion offers commands, options and deliverable names, and LV2's own
// tools find the staged bundles and play them as kvhost renders them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "apply_equals_render.h"
#include "kv_abi.h"
#include "kv_release.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Quoted;
using kvtest::RunShell;
using kvtest::ShellResult;
using kvtest::Slurp;

const char* const kDeliverables[] = {"ZOR Basic Voice", "ZOR Twin-Op", "ZOR Warpwave",
                                     "jx_CsvFloats",    "jx_CsvInts",  "jx_VecMul",
                                     "mxt_AnimVolts",   "wy_VUDA2DU"};
const char* const kBundles[] = {"ZOR Basic Voice", "ZOR Twin-Op", "ZOR Warpwave", "wy_VUDA2DU"};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The build installed under <stage>/usr, outside the build tree (a kvhost there would also
// see the build's plug-ins), and a work folder beside it. Every variable that points kvhost
// or LV2 hosts elsewhere is unset.
class Staged : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::path(::testing::TempDir()) /
                ("kvinstall_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        work_ = root_ / "work";
        fs::remove_all(root_);
        fs::create_directories(work_);
        const ShellResult r = Run("DESTDIR=" + Quoted(root_ / "stage") + " cmake --install " +
                                  Quoted(KV_BUILD_DIR) + " --prefix /usr");
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }
    void TearDown() override { fs::remove_all(root_); }

    ShellResult Run(const std::string& command) const {
        return RunShell(work_, "unset KVHOST_PLUGIN_PATH LV2_PATH; " + command);
    }
    fs::path Usr() const { return root_ / "stage/usr"; }
    std::string Kvhost() const { return Quoted((Usr() / "bin/kvhost").string()); }

    fs::path root_, work_;
};

TEST_F(Staged, LaysOutEveryFile) {
    std::vector<fs::path> expected = {"bin/kvhost",
                                      "lib/kolvex-modules/lv2/kolvex_bridge.so",
                                      "share/man/man1/kvhost.1.gz",
                                      "share/bash-completion/completions/kvhost",
                                      "share/doc/kolvex-modules/README.md",
                                      "share/doc/kolvex-modules/CHANGELOG.md",
                                      "share/doc/kolvex-modules/copyright",
                                      "share/doc/kolvex-modules/examples/demo.json"};
    for (const char* d : kDeliverables) {
        expected.push_back(fs::path("lib/kolvex-modules/plugins") / (std::string(d) + ".so"));
    }
    for (const char* b : kBundles) {
        const fs::path bundle = fs::path("lib/lv2") / (std::string(b) + ".lv2");
        for (const std::string& f : {std::string(b) + ".so", std::string("kolvex_bridge.so"),
                                     std::string("manifest.ttl"), std::string("plugin.ttl")}) {
            expected.push_back(bundle / f);
        }
    }
    for (const char* b : {"poly_chords", "demo_live"}) {
        const fs::path bundle = fs::path("lib/lv2") / (std::string(b) + ".lv2");
        for (const char* f : {"kolvex_bridge.so", "manifest.ttl", "plugin.ttl", "presets.ttl",
                              "patch.json", "modules/wy_VUDA2DU.so", "modules/ZOR Twin-Op.so"}) {
            expected.push_back(bundle / f);
        }
    }
    for (const fs::path& p : expected) EXPECT_TRUE(fs::is_regular_file(Usr() / p)) << p;
    // The bundles carry the release's version (its major version is in no bundle).
    const std::string manifest = Slurp(Usr() / "lib/lv2/ZOR Twin-Op.lv2/manifest.ttl");
    EXPECT_NE(manifest.find("lv2:minorVersion " + std::to_string(KV_VERSION_MINOR) + " ;"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("lv2:microVersion " + std::to_string(KV_VERSION_PATCH) + " ;"),
              std::string::npos);
}

TEST_F(Staged, KvhostFindsItsOwnDeliverablesAndBridgeWithNothingSet) {
    ShellResult r = Run(Kvhost() + " --version");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("kvhost ") + KV_VERSION + "\nframe revisions " +
                         std::to_string(KV_REVISION_CURRENT) + " and " +
                         std::to_string(KV_REVISION_OLDER) + "\n");

    r = Run(Kvhost() + " list --json");
    ASSERT_EQ(r.code, 0) << r.err;
    const nlohmann::json listing = nlohmann::json::parse(r.out);
    std::set<std::string> names;
    for (const auto& d : listing) {
        names.insert(d["deliverable"].get<std::string>());
        EXPECT_EQ(fs::path(d["file"].get<std::string>()).parent_path(),
                  fs::canonical(Usr() / "lib/kolvex-modules/plugins"));
    }
    EXPECT_EQ(names, std::set<std::string>(std::begin(kDeliverables), std::end(kDeliverables)));

    // The demo, through the deliverables the staged kvhost found, is not silent.
    r = Run(Kvhost() + " demo -o demo.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    float peak = 0.0f;
    for (float v : kvtest::ReadSound(work_ / "demo.wav")) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.1f);

    // kvhost lv2 copies the bridge installed beside it.
    r = Run(Kvhost() + " lv2 'ZOR Twin-Op' -o bundles");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Slurp(work_ / "bundles/ZOR Twin-Op.lv2/kolvex_bridge.so"),
              Slurp(Usr() / "lib/kolvex-modules/lv2/kolvex_bridge.so"));
}

TEST_F(Staged, ManualPageHasASectionPerCommandAndRendersCleanly) {
    const ShellResult help = Run(Kvhost() + " --help");
    std::vector<std::string> commands;
    bool listing = false;
    for (const std::string& line : Lines(help.out)) {
        if (line == "Subcommands:") listing = true;
        if (listing && line.empty()) break;
        if (listing && line.rfind("  ", 0) == 0)
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    ASSERT_GE(commands.size(), 10u) << help.out;
    const ShellResult r = Run("MANWIDTH=100 man --warnings -l " +
                              Quoted((Usr() / "share/man/man1/kvhost.1.gz").string()));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");  // groff has nothing to say about the page
    std::vector<std::string> sections;
    for (const std::string& line : Lines(r.out)) {
        if (!line.empty() && line[0] != ' ') sections.push_back(line);
    }
    for (const std::string& c : commands) {
        std::string title = "KVHOST " + c;
        std::transform(title.begin(), title.end(), title.begin(), ::toupper);
        EXPECT_EQ(std::count(sections.begin(), sections.end(), title), 1) << title;
    }
    for (const char* s : {"NAME", "SYNOPSIS", "OPTIONS", "COMMANDS", "EXIT STATUS", "ENVIRONMENT",
                          "FILES", "SEE ALSO"}) {
        EXPECT_EQ(std::count(sections.begin(), sections.end(), s), 1) << s;
    }
    // The exit-code table, as kvhost --help ends.
    for (const char* line : {"       4      patch file", "       8      audio"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
    EXPECT_NE(r.out.find(std::string("kvhost ") + KV_VERSION), std::string::npos);
}

TEST_F(Staged, CompletionOffersCommandsOptionsAndDeliverables) {
    // The words as the shell hands them over (a name's space still escaped), the last one
    // being completed.
    struct Case {
        std::vector<std::string> words;
        std::string offered;
    };
    const Case cases[] = {
        {{"re"}, "render"},
        {{"render", "--se"}, "--seconds"},
        {{"--plugin-path", ".", "li"}, "list"},
        {{"info", "ZOR\\ T"}, "ZOR Twin-Op"},
        {{"gui", "jx_V"}, "jx_VecMul"},
        {{"plot", "--sheet", "ZOR\\ W"}, "ZOR Warpwave"},
    };
    for (const Case& c : cases) {
        std::string words = Quoted((Usr() / "bin/kvhost").string());
        for (const std::string& w : c.words) words += " " + Quoted(w);
        const ShellResult r = Run(
            R"(bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kvhost; )"
            R"(printf "%s\n" "${COMPREPLY[@]}"' )" +
            Quoted((Usr() / "share/bash-completion/completions/kvhost").string()) + " " + words);
        EXPECT_EQ(r.out, c.offered + "\n") << words << ": " << r.err;
    }
}

TEST_F(Staged, Lv2ToolsFindTheStagedBundlesAndPlayThemAsKvhostRenders) {
    const std::string lv2_path = "LV2_PATH=" + Quoted((Usr() / "lib/lv2").string());
    const ShellResult r = Run(lv2_path + " lv2ls");
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> listed = Lines(r.out);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed,
              (std::vector<std::string>{
                  "urn:kolvex:module:ZOR%20Basic%20Voice", "urn:kolvex:module:ZOR%20Twin-Op",
                  "urn:kolvex:module:ZOR%20Warpwave", "urn:kolvex:module:wy%3AVUDA2DU",
                  "urn:kolvex:patch:demo_live", "urn:kolvex:patch:poly_chords"}));
    // An installed instrument loads the modules it carries.
    const ShellResult bench = Run(lv2_path + " lv2bench -n 4096 urn:kolvex:patch:poly_chords");
    EXPECT_EQ(bench.code, 0) << bench.out << bench.err;
    EXPECT_NE(bench.out.find("urn:kolvex:patch:poly_chords"), std::string::npos) << bench.out;
    kvtest::ExpectApplyEqualsRender(
        {"ZOR Twin-Op",
         {"keys.Pitch", "lfo.Output", "mod.Output", "keys.Velocity"},
         R"({"Algorithm": "2->1"})",
         "-c algorithm 1",
         "urn:kolvex:module:ZOR%20Twin-Op"},
        {(Usr() / "bin/kvhost").string(), "unset KVHOST_PLUGIN_PATH; " + lv2_path}, work_);
}

}  // namespace
