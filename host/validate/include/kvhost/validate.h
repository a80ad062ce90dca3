// kvhost validate: a conformance and stress run for any deliverable built on the plug-in
// frame, or any LV2 bundle or plugin loaded through lilv. Each test runs in a child process,
// so a crash is reported as that target's failure; the report ends, per target, in one
// PASSED or FAILED line.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kvhost {

class Tool;

struct ValidateOptions {
    std::vector<std::string> plugins;  // paths, deliverable names or ids on the search path,
                                       // LV2 bundle folders or LV2 plugin URIs
    std::optional<uint64_t> seed;      // replays a run; a fresh one is drawn (and printed) if unset
    uint64_t iterations = 2000;        // random events (or edits) per stress test
    int32_t cycles = 1000;             // open/close cycles per deliverable
    bool json = false;                 // the report as one JSON document
    bool isolate = true;               // each test in a child process
    double timeout_seconds = 600.0;    // per test; a test running longer has hung
    std::vector<std::string> only;     // run only the tests named here (empty: all)
};

// Runs every test on every plug-in and writes the report to `out`. Answers 0 when every
// deliverable passed, 1 when any failed, 2 when the options were unusable.
int RunValidate(const ValidateOptions& options, std::ostream& out);

// The names of the tests, in the order they run.
std::vector<std::string> ValidateTestNames();

// Adds the `validate` subcommand (plugins, --seed, --iterations, --cycles, --json,
// --no-fork, --timeout, --only) to the tool. Every plug-in named must load (else exit 3,
// before any test runs); the exit code is then RunValidate's verdict.
CLI::App* AddValidateCommand(Tool& tool);

}  // namespace kvhost
