// The tests kvhost validate runs on an LV2 target: a bundle, or a plugin found by its URI,
// loaded through lilv as other LV2 hosts load it and driven through its ports.
#pragma once

#include <string>
#include <vector>

#include "checks.h"

namespace kvhost::validate {

// What an LV2 target names: the lilv world to open and the plugins in it to test.
struct Lv2Target {
    std::string label;    // what the PASSED/FAILED line names (bundle folder or plugin URI)
    std::string name;     // the plugins' names, comma-separated
    std::string path;     // the bundle directory, or the search path a URI was looked up on
    bool bundle = false;  // `path` is one bundle (else a search path)
    std::vector<std::string> uris;  // the plugins to test
};

// True when `target` names an LV2 target: a path ending in ".lv2" (or ".lv2/"), a directory
// holding a manifest.ttl, or a plugin URI ("urn:kolvex:module:...", or any other URI with
// a scheme).
bool IsLv2Target(const std::string& target);

// What the PASSED/FAILED line names: a bundle's folder name, or the URI.
std::string Lv2TargetLabel(const std::string& target);

// Opens the target and instantiates each of its plugins once. A URI is looked up on
// LV2_PATH and in `build_bundles`. Throws Error naming the bundle or URI and the reason
// (no such folder, no plugin in it, no binary, an instantiation refused).
Lv2Target OpenLv2Target(const std::string& target, const std::string& build_bundles);

// The tests of an LV2 target, in the order they run (Context::lv2 names the target).
const std::vector<TestCase>& Lv2Tests();

}  // namespace kvhost::validate
