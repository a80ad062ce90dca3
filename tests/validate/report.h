// Reading kvhost validate's JSON report in tests: a run's report and exit code, and the
// checks that failed in one target's part of it.
#pragma once

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "kvhost/validate.h"

namespace kvtest {

inline nlohmann::json Validate(const kvhost::ValidateOptions& o, int* rc) {
    std::ostringstream out;
    *rc = kvhost::RunValidate(o, out);
    return nlohmann::json::parse(out.str());
}

// The checks (and, given `tests`, the tests) that failed in one target's report.
inline std::set<std::string> FailedChecks(const nlohmann::json& target,
                                          std::set<std::string>* tests = nullptr) {
    std::set<std::string> checks;
    for (const nlohmann::json& t : target.at("tests")) {
        if (!t.at("passed").get<bool>() && tests != nullptr) tests->insert(t.at("name"));
        for (const nlohmann::json& f : t.at("findings")) {
            if (f.at("failure").get<bool>()) checks.insert(f.at("check"));
        }
    }
    return checks;
}

}  // namespace kvtest
