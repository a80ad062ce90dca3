// The tests kvhost validate runs on one deliverable. Each runs alone (usually in a child
// process), drives the deliverable through the host core in strict mode and reports into
// its Context.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "findings.h"
#include "kvhost/host.h"

namespace kvhost::validate {

struct Lv2Target;

struct Context {
    std::shared_ptr<Plugin> plugin;        // the deliverable (null for an LV2 target)
    std::shared_ptr<const Lv2Target> lv2;  // the LV2 target (null for a deliverable)
    uint64_t seed = 0;                     // this test's own seed, derived from the run's seed
    uint64_t iterations = 2000;
    int32_t cycles = 1000;
    Findings findings;
    std::map<std::string, double> figures;  // counts worth reporting (summed per deliverable)
    std::string skipped;                    // why the test did not apply, if it did not
};

struct TestCase {
    const char* name;
    const char* what;
    void (*run)(Context&);
};

const std::vector<TestCase>& Tests();

}  // namespace kvhost::validate
