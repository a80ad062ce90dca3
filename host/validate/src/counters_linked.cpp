// Compiled into every program that always counts (the tests, kvhost-validate): a reference
// to the counter library, so that the linker keeps it among the libraries loaded at start-up.
#include "counters_table.h"

namespace {
[[gnu::used]] const KvCountersTable* (*const kCounters)() = &kv_counters_table;
}  // namespace
