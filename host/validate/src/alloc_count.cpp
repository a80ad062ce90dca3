// The counters as their users see them: the counter library's table, found where the library
// is linked in or preloaded. Without the library every call here is a test of one pointer.
#include "alloc_count.h"

#include <dlfcn.h>

#include "counters_table.h"

// Resolved where the library is linked into this program; otherwise null, and looked up by
// name among the loaded objects.
#pragma weak kv_counters_table

namespace kvhost::validate::alloc {
namespace {

const KvCountersTable* FindTable() {
    if (&kv_counters_table != nullptr) return kv_counters_table();
    using Entry = const KvCountersTable* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(RTLD_DEFAULT, "kv_counters_table"));
    return entry != nullptr ? entry() : nullptr;
}

const KvCountersTable* Table() {
    static const KvCountersTable* const table = FindTable();
    return table;
}

}  // namespace

bool Present() {
    return Table() != nullptr;
}

void Install() {}

uint64_t WindowCount() {
    return Present() ? Table()->window_count() : 0;
}
void ResetWindowCount() {
    if (Present()) Table()->reset_window_count();
}
int64_t LiveBlocks() {
    return Present() ? Table()->live_blocks() : 0;
}
int64_t LiveBytes() {
    return Present() ? Table()->live_bytes() : 0;
}

Window::Window() {
    if (Present()) Table()->window_open();
}
Window::~Window() {
    if (Present()) Table()->window_close();
}
Pause::Pause() : saved_(Present() ? Table()->pause() : 0) {}
Pause::~Pause() {
    if (Present()) Table()->resume(saved_);
}

ThreadWindow::ThreadWindow() {
    if (Present()) Table()->thread_window_open();
}
ThreadWindow::~ThreadWindow() {
    if (Present()) Table()->thread_window_close();
}
uint64_t ThreadWindowCount() {
    return Present() ? Table()->thread_window_allocations() : 0;
}
uint64_t ThreadWindowLocks() {
    return Present() ? Table()->thread_window_locks() : 0;
}

bool UnderAddressSanitizer() {
    return Present() && Table()->under_address_sanitizer != 0;
}
bool LeakCheck() {
    return Present() && Table()->leak_check() != 0;
}

}  // namespace kvhost::validate::alloc
