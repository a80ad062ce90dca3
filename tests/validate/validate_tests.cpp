// kvhost validate against its own test plug-ins: the well-behaved one passes every test,
// each faulty one fails for its own reason, and reports are replayable from their seed.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "kvhost/command.h"
#include "kvhost/validate.h"
#include "report.h"

namespace {

using nlohmann::json;

std::string TestPlugin(const std::string& fault) {
    return std::string(KV_VALIDATE_TEST_PLUGINS) + "/faulty_" + fault + ".so";
}

kvhost::ValidateOptions Quick(const std::string& fault) {
    kvhost::ValidateOptions o;
    o.plugins = {TestPlugin(fault)};
    o.seed = 7;
    o.iterations = 400;
    o.cycles = 40;
    o.json = true;
    return o;
}

using kvtest::FailedChecks;
using kvtest::Validate;

TEST(Validate, WellBehavedModulePassesEveryTestWithZeroAudioPathAllocations) {
    int rc = -1;
    const json j = Validate(Quick("good"), &rc);
    EXPECT_EQ(rc, 0) << j.dump(2);
    ASSERT_EQ(j.at("deliverables").size(), 1u);
    const json& d = j.at("deliverables")[0];
    EXPECT_TRUE(d.at("passed").get<bool>()) << d.dump(2);
    EXPECT_EQ(d.at("name"), "faulty_good");
    EXPECT_EQ(d.at("tests").size(), kvhost::ValidateTestNames().size());
    for (const json& t : d.at("tests")) EXPECT_FALSE(t.contains("skipped")) << t.dump();
    const json& figures = d.at("figures");
    EXPECT_EQ(figures.at("audio-path allocations").get<double>(), 0.0);
    EXPECT_GT(figures.at("process calls").get<double>(), 1000.0);
    EXPECT_GT(figures.at("events delivered").get<double>(), 400.0);
    EXPECT_EQ(figures.at("open/close cycles").get<double>(), 40.0);
}

TEST(Validate, StillOutputWrittenInFullAtItsChangeMayBeLeftAloneByTheProcessFunction) {
    int rc = -1;
    const json j = Validate(Quick("holds"), &rc);
    EXPECT_EQ(rc, 0) << j.dump(2);
    const json& figures = j.at("deliverables")[0].at("figures");
    EXPECT_GT(figures.at("samples left alone while still").get<double>(), 0.0);
}

struct Fault {
    const char* name;
    const char* check;  // the check that must fail
};

void PrintTo(const Fault& f, std::ostream* os) {
    *os << f.name;
}

class FaultyModule : public testing::TestWithParam<Fault> {};

TEST_P(FaultyModule, IsReportedFailedForItsOwnReason) {
    int rc = -1;
    const json j = Validate(Quick(GetParam().name), &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_FALSE(j.at("passed").get<bool>());
    const json& d = j.at("deliverables")[0];
    EXPECT_FALSE(d.at("passed").get<bool>());
    std::set<std::string> tests;
    const std::set<std::string> checks = FailedChecks(d, &tests);
    EXPECT_TRUE(checks.count(GetParam().check)) << d.dump(2);
    // The fault is blamed on what it broke, not on everything: the descriptions still pass.
    EXPECT_FALSE(tests.count("pins")) << d.dump(2);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyModule,
    testing::Values(Fault{"nan", "finite outputs"}, Fault{"unwritten", "unwritten samples"},
                    Fault{"allocates", "audio-path allocations"}, Fault{"crashes", "crash"},
                    Fault{"leaks", "leaks"}, Fault{"writes_input", "inputs unchanged"},
                    Fault{"overruns", "buffer bounds"},
                    Fault{"nondeterministic", "same inputs, same outputs"},
                    Fault{"gui_loop", "gui notifications"}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST(Validate, CrashIsOneDeliverablesFailureAndTheRunGoesOn) {
    kvhost::ValidateOptions o = Quick("crashes");
    o.plugins.push_back(TestPlugin("good"));
    o.plugins.push_back("no_such_deliverable");
    o.json = false;
    std::ostringstream out;
    EXPECT_EQ(kvhost::RunValidate(o, out), 1);
    const std::string report = out.str();
    EXPECT_NE(report.find("seed 7"), std::string::npos) << report;
    EXPECT_NE(report.find("\nfaulty_crashes: FAILED\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nfaulty_good: PASSED\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nno_such_deliverable: FAILED\n"), std::string::npos) << report;
    EXPECT_NE(report.find("3 deliverable(s), 1 PASSED, 2 FAILED"), std::string::npos) << report;
}

TEST(Validate, SameSeedSameFindingsAndUnusableOptionsRefused) {
    kvhost::ValidateOptions o = Quick("nondeterministic");
    o.only = {"stress", "hostile"};
    int rc1 = -1, rc2 = -1;
    json a = Validate(o, &rc1), b = Validate(o, &rc2);
    for (json* j : {&a, &b}) {
        for (json& t : (*j)["deliverables"][0]["tests"]) t.erase("seconds");
    }
    EXPECT_EQ(a, b);
    EXPECT_EQ(a["deliverables"][0]["tests"].size(), 2u);

    std::ostringstream out;
    kvhost::ValidateOptions none;
    EXPECT_EQ(kvhost::RunValidate(none, out), 2);
    o.only = {"no such test"};
    EXPECT_EQ(kvhost::RunValidate(o, out), 2);
}

// The subcommand as a tool registers it: its exit code is the verdict.
int RunCommand(std::vector<std::string> args) {
    kvhost::Tool tool("test");
    kvhost::AddValidateCommand(tool);
    std::vector<const char*> argv{"test"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return tool.Main(static_cast<int>(argv.size()), argv.data());
}

TEST(ValidateCommand, ExitCodeIsTheVerdictAndOptionsListsAreCommaSeparated) {
    EXPECT_EQ(RunCommand({"validate", "--seed", "3", "--iterations", "50", "--cycles", "3",
                          "--only", "identity,stress", TestPlugin("good")}),
              0);
    EXPECT_EQ(RunCommand({"validate", "--seed", "3", "--iterations", "50", "--only", "stress",
                          "--json", TestPlugin("good"), TestPlugin("nan")}),
              1);
    EXPECT_EQ(RunCommand({"validate", "--only", "everything", TestPlugin("good")}), 2);
    // A plug-in that cannot be loaded stops the run before any test: exit 3.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunCommand({"validate", "/nonexistent.so", TestPlugin("good")}), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kvhost: /nonexistent.so: no such file\n");
}

}  // namespace
