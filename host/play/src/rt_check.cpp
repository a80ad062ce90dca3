// Play's face of the counters: whether they are on, and turning them on.
#include "rt_check.h"

#include <stdexcept>

#include "kvhost/command.h"

namespace kvhost::play::rt {

bool Checking() {
    return validate::alloc::Present();
}

void StartChecking() {
    try {
        validate::alloc::Require();
    } catch (const std::runtime_error& e) {
        throw Failure(kExitInternal, std::string("--check-rt: ") + e.what());
    }
}

uint64_t Allocations() {
    return validate::alloc::ThreadWindowCount();
}
uint64_t Locks() {
    return validate::alloc::ThreadWindowLocks();
}

}  // namespace kvhost::play::rt
