// test_trace: a shared library that is no plug-in and leaves a trace when it is loaded: its
// constructor writes the file KV_TRACE_FILE names. Proves which commands run its code.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void LeaveTrace() {
    const char* path = std::getenv("KV_TRACE_FILE");
    if (path == nullptr) return;
    if (std::FILE* f = std::fopen(path, "w")) {
        std::fputs("loaded\n", f);
        std::fclose(f);
    }
}

}  // namespace
