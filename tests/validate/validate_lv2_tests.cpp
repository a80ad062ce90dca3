// kvhost validate on LV2 targets: the build's bundles (by folder and by URI) pass, a small
// plugin's bundles fail for their one fault each, and unusable targets are refused by name.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "kvhost/validate.h"
#include "report.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

kvhost::ValidateOptions Quick(std::vector<std::string> targets) {
    kvhost::ValidateOptions o;
    o.plugins = std::move(targets);
    o.seed = 11;
    o.iterations = 300;
    o.cycles = 30;
    o.json = true;
    return o;
}

using kvtest::FailedChecks;
using kvtest::Validate;

// Runs the validate tool; answers its exit code and everything it printed.
int RunTool(const std::string& args, std::string* output) {
    const std::string command =
        std::string("'") + KV_VALIDATE_TOOL + "' validate " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ValidateLv2, BuildBundlesAndAPluginUriPassWithoutAllocatingInRun) {
    std::vector<std::string> targets;
    for (const char* b : {"ZOR Warpwave", "ZOR Twin-Op", "ZOR Basic Voice", "wy_VUDA2DU"}) {
        targets.push_back(std::string(KV_LV2_BUNDLES) + "/" + b + ".lv2/");
    }
    targets.emplace_back("urn:kolvex:module:ZOR%20Warpwave");
    targets.push_back(std::string(KV_LV2_BUNDLES) + "/poly_chords.lv2/");  // an instrument
    int rc = -1;
    const json j = Validate(Quick(targets), &rc);
    EXPECT_EQ(rc, 0) << j.dump(2);
    ASSERT_EQ(j.at("deliverables").size(), targets.size());
    for (const json& d : j.at("deliverables")) {
        EXPECT_TRUE(d.at("passed").get<bool>()) << d.dump(2);
        EXPECT_EQ(d.at("tests").size(), 3u);
        const json& figures = d.at("figures");
        EXPECT_EQ(figures.at("run() allocations").get<double>(), 0.0);
        EXPECT_EQ(figures.at("instantiate cycles").get<double>(), 30.0);
        EXPECT_EQ(figures.at("runs").get<double>(), 600.0);
    }
    EXPECT_EQ(j.at("deliverables")[1].at("deliverable"), "ZOR Twin-Op.lv2");
    EXPECT_EQ(j.at("deliverables")[4].at("name"), "ZOR Warpwave");
}

TEST(ValidateLv2, EachFaultyBundleFailsForItsFault) {
    const std::pair<const char*, const char*> faults[] = {
        {"unwritten", "outputs written"},
        {"nan", "finite outputs"},
        {"allocates", "allocation"},
        {"crashes", "crash"},
    };
    std::vector<std::string> targets = {std::string(KV_LV2_FAULTY) + "/faulty_good.lv2"};
    for (const auto& [fault, check] : faults) {
        targets.push_back(std::string(KV_LV2_FAULTY) + "/faulty_" + fault + ".lv2");
    }
    int rc = -1;
    const json j = Validate(Quick(targets), &rc);
    EXPECT_EQ(rc, 1);
    const json& ds = j.at("deliverables");
    ASSERT_EQ(ds.size(), targets.size());
    EXPECT_TRUE(ds[0].at("passed").get<bool>()) << ds[0].dump(2);
    for (size_t i = 0; i < std::size(faults); ++i) {
        EXPECT_FALSE(ds[i + 1].at("passed").get<bool>()) << faults[i].first;
        EXPECT_TRUE(FailedChecks(ds[i + 1]).count(faults[i].second))
            << faults[i].first << ": " << ds[i + 1].dump(2);
    }
}

TEST(ValidateLv2, UnusableTargetsAreRefusedByNameWithThePluginExitCode) {
    const fs::path tmp =
        fs::temp_directory_path() / ("kv_validate_lv2_" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp / "empty.lv2");
    // A bundle whose deliverable went missing: lilv reads it, the bridge refuses to run.
    const fs::path broken = tmp / "broken.lv2";
    fs::copy(fs::path(KV_LV2_BUNDLES) / "ZOR Twin-Op.lv2", broken);
    for (const auto& e : fs::directory_iterator(broken)) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".so" && name != "kolvex_bridge.so") fs::remove(e.path());
    }
    const std::pair<std::string, std::string> cases[] = {
        {(tmp / "missing.lv2").string(), "no such folder"},
        {(tmp / "empty.lv2").string(), "holds no manifest.ttl"},
        {broken.string(), "refuses to be instantiated"},
        {"urn:kolvex:module:no%20such", "no LV2 plugin urn:kolvex:module:no%20such"},
    };
    for (const auto& [target, why] : cases) {
        std::string output;
        EXPECT_EQ(RunTool("'" + target + "' --iterations 10 --cycles 2", &output), 3) << output;
        EXPECT_NE(output.find(why), std::string::npos) << output;
        EXPECT_EQ(output.find("PASSED"), std::string::npos) << output;
    }
    // The library reports such a target FAILED, by name.
    int rc = -1;
    const json j = Validate(Quick({(tmp / "missing.lv2/").string()}), &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(j.at("deliverables")[0].at("deliverable"), "missing.lv2");
    EXPECT_FALSE(j.at("deliverables")[0].at("passed").get<bool>());
    fs::remove_all(tmp);
}

}  // namespace
