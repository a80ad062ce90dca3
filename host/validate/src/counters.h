// Inside the counter library: what its allocation and lock entries report to the counters.
#pragma once

#include <cstddef>

#include "counters_table.h"

namespace kvhost::counters {

void Allocated(std::size_t bytes);
void Released(std::size_t bytes);
void Locked();  // a lock entry was called

}  // namespace kvhost::counters
