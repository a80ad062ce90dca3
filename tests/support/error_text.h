// The message of the kvhost::Error a call throws, for tests of the host's refusals.
#pragma once

#include <functional>
#include <string>

#include "kvhost/host.h"

inline std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const kvhost::Error& e) {
        return e.what();
    }
    return "(no error)";
}
