// LV2's lv2apply as a referee of an LV2 bundle: the bundle's oscillator, fed from a file,
// must give kvhost render's samples of the same patch exactly. Shared by the tests of the
// build's bundles and of the installed ones.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kvtest {

struct ShellResult {
    int code;
    std::string out, err;
};

// `s` in single quotes, for the shell.
std::string Quoted(const std::string& s);
// A whole file as text.
std::string Slurp(const std::filesystem::path& path);

// `command` run by the shell in `dir`, its output caught in files there.
ShellResult RunShell(const std::filesystem::path& dir, const std::string& command);

// The samples of an audio file (interleaved); `channels` gets their count.
std::vector<float> ReadSound(const std::filesystem::path& path, int* channels = nullptr);

// One oscillator fed with the signals of three source modules. kvhost renders the sources
// alone (the input file for lv2apply, one channel per sample input) and the sources wired
// into the oscillator (the reference). The converter's notes fall on the 64-sample blocks,
// so that what the oscillators read once per block is the same when lv2apply calls one
// sample at a time.
struct ApplyCase {
    std::string deliverable;
    std::vector<std::string> inputs;  // source outputs, in the oscillator's input pin order
    std::string settings;             // the oscillator's pins in the reference patch (JSON)
    std::string controls;             // the same as lv2apply options
    std::string uri;                  // the plugin's
};

// Where the programs come from: `kvhost` renders, lv2apply runs after `env` (which sets
// LV2_PATH on the bundles under test).
struct Lv2Programs {
    std::string kvhost;
    std::string env;
};

void ExpectApplyEqualsRender(const ApplyCase& c, const Lv2Programs& programs,
                             const std::filesystem::path& dir);

}  // namespace kvtest
