// kvhost validate: runs every test on every deliverable, each test in a child process, and
// writes a readable (or JSON) report ending in one PASSED or FAILED line per deliverable.
#include "kvhost/validate.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "alloc_count.h"
#include "checks.h"
#include "kv_release.h"
#include "kvhost/command.h"
#include "kvhost/host.h"
#include "lv2_checks.h"

namespace kvhost {

namespace {

// Where plugin URIs are looked up beside LV2_PATH: the bundles installed with kvhost, or this
// build's.
std::string Lv2Bundles() {
    return ReleaseFile(KVHOST_INSTALLED_LV2, KVVALIDATE_LV2_BUNDLES);
}

using nlohmann::json;
using validate::Context;
using validate::Findings;
using validate::TestCase;

struct TestResult {
    std::string name;
    std::string what;
    Findings findings;
    std::map<std::string, double> figures;
    std::string skipped;
    double seconds = 0.0;
    bool Passed() const { return !findings.Failed(); }
};

uint64_t Hash(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

json ToJson(const Findings& f) {
    json items = json::array();
    for (const auto& item : f.Items()) {
        items.push_back({{"check", item.check},
                         {"failure", item.failure},
                         {"count", item.count},
                         {"messages", item.messages}});
    }
    return items;
}

Findings FromJson(const json& items) {
    Findings f;
    for (const json& j : items) {
        Findings::Item item;
        item.check = j.at("check").get<std::string>();
        item.failure = j.at("failure").get<bool>();
        item.count = j.at("count").get<uint64_t>();
        item.messages = j.at("messages").get<std::vector<std::string>>();
        f.Add(item);
    }
    return f;
}

std::string RunInChild(const TestCase& test, Context& ctx) {
    test.run(ctx);
    json j = {
        {"findings", ToJson(ctx.findings)}, {"figures", ctx.figures}, {"skipped", ctx.skipped}};
    return j.dump();
}

// Runs one test in a child process; a crash, a sanitizer stop or a hang is its failure.
TestResult RunIsolated(const TestCase& test, Context ctx, double timeout_seconds) {
    TestResult r;
    r.name = test.name;
    r.what = test.what;
    int fds[2];
    if (pipe(fds) != 0) {
        r.findings.Fail("crash", std::string("cannot create a pipe: ") + std::strerror(errno));
        return r;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        r.findings.Fail("crash", std::string("cannot fork: ") + std::strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    if (pid == 0) {
        close(fds[0]);
        std::string payload;
        try {
            payload = RunInChild(test, ctx);
        } catch (const std::exception& e) {
            Findings f;
            f.Fail("crash", std::string("exception escaped the test: ") + e.what());
            payload = json({{"findings", ToJson(f)}, {"figures", json::object()}, {"skipped", ""}})
                          .dump();
        }
        size_t off = 0;
        while (off < payload.size()) {
            const ssize_t n = write(fds[1], payload.data() + off, payload.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string data;
    const auto start = std::chrono::steady_clock::now();
    bool timed_out = false;
    char buf[65536];
    for (;;) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeout_seconds) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (timed_out) {
        r.findings.Fail("crash", "did not finish within " +
                                     std::to_string(static_cast<int>(timeout_seconds)) +
                                     " s (hangs)");
        return r;
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        r.findings.Fail("crash", std::string("the deliverable crashed: signal ") +
                                     std::to_string(sig) + " (" + strsignal(sig) +
                                     ") during this test");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        r.findings.Fail("crash", "the test process stopped with exit status " +
                                     std::to_string(WEXITSTATUS(status)) +
                                     " (an assertion or sanitizer report precedes this report)");
    }
    if (data.empty()) {
        if (!r.findings.Failed()) r.findings.Fail("crash", "the test process reported nothing");
        return r;
    }
    try {
        const json j = json::parse(data);
        r.findings.Merge(FromJson(j.at("findings")));
        r.figures = j.at("figures").get<std::map<std::string, double>>();
        r.skipped = j.at("skipped").get<std::string>();
    } catch (const std::exception& e) {
        r.findings.Fail("crash",
                        std::string("unreadable report from the test process: ") + e.what());
    }
    return r;
}

TestResult RunHere(const TestCase& test, Context ctx) {
    TestResult r;
    r.name = test.name;
    r.what = test.what;
    const auto start = std::chrono::steady_clock::now();
    try {
        test.run(ctx);
    } catch (const std::exception& e) {
        ctx.findings.Fail("crash", std::string("exception escaped the test: ") + e.what());
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.findings = ctx.findings;
    r.figures = ctx.figures;
    r.skipped = ctx.skipped;
    return r;
}

std::string Thousands(double v) {
    const auto n = static_cast<long long>(v);
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

struct DeliverableResult {
    std::string requested, name, path;
    std::string label;  // the deliverable's file name (what the PASSED/FAILED line names)
    std::string load_error;
    std::vector<TestResult> tests;
    std::map<std::string, double> figures;
    bool Passed() const {
        if (!load_error.empty()) return false;
        for (const auto& t : tests) {
            if (!t.Passed()) return false;
        }
        return true;
    }
};

void PrintText(std::ostream& out, const DeliverableResult& d) {
    for (const TestResult& t : d.tests) {
        char line[160];
        std::snprintf(line, sizeof line, "  [%s] %-10s %-64s %6.2f s", t.Passed() ? "pass" : "FAIL",
                      t.name.c_str(), t.what.c_str(), t.seconds);
        out << line;
        if (!t.skipped.empty()) out << "  (skipped: " << t.skipped << ")";
        out << "\n";
        for (const auto& item : t.findings.Items()) {
            out << "         " << (item.failure ? "failure" : "note") << " [" << item.check << "]";
            if (item.count > 1) out << " x" << Thousands(static_cast<double>(item.count));
            out << "\n";
            for (const std::string& m : item.messages) out << "           - " << m << "\n";
        }
    }
    if (!d.figures.empty()) {
        out << "  figures:";
        bool first = true;
        for (const auto& [k, v] : d.figures) {
            out << (first ? " " : ", ") << k << " "
                << (k == "frame revision" ? std::to_string(static_cast<int>(v)) : Thousands(v));
            first = false;
        }
        out << "\n";
    }
}

}  // namespace

std::vector<std::string> ValidateTestNames() {
    std::vector<std::string> names;
    for (const auto& t : validate::Tests()) names.emplace_back(t.name);
    return names;
}

int RunValidate(const ValidateOptions& options, std::ostream& out) {
    if (!validate::alloc::Present()) {
        // Without the counters every allocation check would pass unseen.
        out << "validate: the allocation counter is not loaded in this program\n";
        return 2;
    }
    if (options.plugins.empty()) {
        out << "validate: no plug-in given\n";
        return 2;
    }
    for (const std::string& o : options.only) {
        const auto names = ValidateTestNames();
        if (std::find(names.begin(), names.end(), o) == names.end()) {
            out << "validate: no test named \"" << o << "\"\n";
            return 2;
        }
    }
    const uint64_t seed =
        options.seed ? *options.seed
                     : (std::random_device{}() * 2654435761ull) ^
                           static_cast<uint64_t>(
                               std::chrono::steady_clock::now().time_since_epoch().count());
    if (!options.json) {
        out << "kvhost validate: seed " << seed << ", "
            << Thousands(static_cast<double>(options.iterations)) << " iterations, "
            << options.cycles << " open/close cycles (replay with --seed " << seed << ")\n";
        out.flush();
    }
    std::vector<DeliverableResult> results;
    for (const std::string& requested : options.plugins) {
        DeliverableResult d;
        d.requested = requested;
        d.name = requested;
        d.label = std::filesystem::path(requested).filename().string();
        if (d.label.size() > 3 && d.label.compare(d.label.size() - 3, 3, ".so") == 0) {
            d.label.resize(d.label.size() - 3);
        }
        std::shared_ptr<Plugin> plugin;
        std::shared_ptr<const validate::Lv2Target> lv2;
        try {
            if (validate::IsLv2Target(requested)) {
                d.label = validate::Lv2TargetLabel(requested);
                lv2 = std::make_shared<const validate::Lv2Target>(
                    validate::OpenLv2Target(requested, Lv2Bundles()));
                d.path = lv2->path;
                d.name = lv2->name;
            } else {
                plugin = Plugin::Load(requested);
                d.path = plugin->Path();
                d.name = plugin->Name();
            }
        } catch (const std::exception& e) {
            d.load_error = e.what();
        }
        if (!options.json) {
            out << "\n== " << d.label;
            if (d.name != d.label) out << " \"" << d.name << "\"";
            if (!d.path.empty()) out << "  (" << d.path << ")";
            out << "\n";
            out.flush();
        }
        if (plugin || lv2) {
            for (const TestCase& test : lv2 ? validate::Lv2Tests() : validate::Tests()) {
                if (!options.only.empty() && std::find(options.only.begin(), options.only.end(),
                                                       test.name) == options.only.end()) {
                    continue;
                }
                Context ctx;
                ctx.plugin = plugin;
                ctx.lv2 = lv2;
                ctx.seed = seed ^ Hash(test.name) ^ (Hash(d.name) * 31);
                ctx.iterations = options.iterations;
                ctx.cycles = options.cycles;
                TestResult r = options.isolate ? RunIsolated(test, ctx, options.timeout_seconds)
                                               : RunHere(test, ctx);
                for (const auto& [k, v] : r.figures) d.figures[k] += v;
                d.tests.push_back(std::move(r));
            }
        }
        if (!options.json) {
            if (!d.load_error.empty()) out << "  cannot load: " << d.load_error << "\n";
            PrintText(out, d);
            out << d.label << ": " << (d.Passed() ? "PASSED" : "FAILED") << "\n";
            out.flush();
        }
        results.push_back(std::move(d));
    }
    size_t passed = 0;
    for (const auto& d : results) passed += d.Passed() ? 1 : 0;
    const bool all = passed == results.size();
    if (options.json) {
        json j;
        j["seed"] = seed;
        j["iterations"] = options.iterations;
        j["cycles"] = options.cycles;
        j["passed"] = all;
        j["deliverables"] = json::array();
        for (const auto& d : results) {
            json dj = {{"requested", d.requested}, {"deliverable", d.label},
                       {"name", d.name},           {"path", d.path},
                       {"passed", d.Passed()},     {"figures", d.figures}};
            if (!d.load_error.empty()) dj["load_error"] = d.load_error;
            dj["tests"] = json::array();
            for (const auto& t : d.tests) {
                json tj = {{"name", t.name},       {"what", t.what},
                           {"passed", t.Passed()}, {"seconds", t.seconds},
                           {"figures", t.figures}, {"findings", ToJson(t.findings)}};
                if (!t.skipped.empty()) tj["skipped"] = t.skipped;
                dj["tests"].push_back(tj);
            }
            j["deliverables"].push_back(dj);
        }
        out << j.dump(2) << "\n";
    } else {
        out << "\nvalidate: " << results.size() << " deliverable(s), " << passed << " PASSED, "
            << results.size() - passed << " FAILED (seed " << seed << ")\n";
    }
    out.flush();
    return all ? 0 : 1;
}

CLI::App* AddValidateCommand(Tool& tool) {
    auto options = std::make_shared<ValidateOptions>();
    auto seed = std::make_shared<uint64_t>(0);
    auto no_fork = std::make_shared<bool>(false);
    auto seed_opt = std::make_shared<CLI::Option*>(nullptr);
    CLI::App* cmd =
        tool.Add("validate",
                 "Conformance and stress run of deliverables: each test in a child process, a "
                 "PASSED/FAILED line per deliverable, non-zero exit on any failure",
                 [options, seed, seed_opt, no_fork] {
                     try {
                         validate::alloc::Require();  // the allocation checks count
                     } catch (const std::runtime_error& e) {
                         throw Failure(kExitInternal, e.what());
                     }
                     ValidateOptions o = *options;
                     o.isolate = !*no_fork;
                     if ((*seed_opt)->count() > 0) o.seed = *seed;
                     // A name that is no deliverable at all is a wrong command, not a verdict.
                     for (std::string& plugin : o.plugins) {
                         if (validate::IsLv2Target(plugin)) {
                             try {
                                 validate::OpenLv2Target(plugin, Lv2Bundles());
                             } catch (const Error& e) {
                                 throw Failure(kExitPlugin, e.what());
                             }
                             continue;
                         }
                         plugin = ResolvePluginName(plugin);
                         LoadPluginNamed(plugin);
                     }
                     const int verdict = RunValidate(o, std::cout);
                     std::cout.flush();
                     return verdict == 2 ? static_cast<int>(kExitUsage) : verdict;
                 });
    cmd->add_option("PLUGIN", options->plugins,
                    "Deliverables: paths, or names and ids looked up on the plug-in search path; "
                    "or LV2 targets: bundle folders (*.lv2) or plugin URIs, looked up on "
                    "LV2_PATH and in the installed bundles (or this build's)")
        ->required();
    *seed_opt =
        cmd->add_option("--seed", *seed, "Replay a run with this seed (printed on every run)");
    cmd->add_option("--iterations", options->iterations, "Random events or edits per stress test")
        ->check(CLI::Range(uint64_t{1}, uint64_t{100000000}));
    cmd->add_option("--cycles", options->cycles, "Open/close cycles per deliverable")
        ->check(CLI::Range(1, 10000000));
    cmd->add_flag("--json", options->json, "Write the report as JSON");
    cmd->add_flag("--no-fork", *no_fork,
                  "Run the tests in this process (a crash then ends the run)");
    cmd->add_option("--timeout", options->timeout_seconds, "Seconds a test may take")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--only", options->only, "Run only these tests (comma-separated)")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(CLI::IsMember(ValidateTestNames()));
    return cmd;
}

}  // namespace kvhost
