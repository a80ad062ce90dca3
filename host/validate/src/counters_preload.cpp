// Loading the counter library on demand: found beside the program, preloaded by running the
// program again from its start.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "alloc_count.h"

namespace kvhost::validate::alloc {
namespace {

// The environment variable that marks a restart with the library preloaded; it holds "=" and
// the LD_PRELOAD that was there before, or nothing when there was none.
constexpr const char* kRestarted = "KVHOST_COUNTERS_PRELOADED";

std::string ExecutableDir() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    const std::string exe(buf.data(), static_cast<std::size_t>(n));
    const auto slash = exe.find_last_of('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

// The sanitizer runtime this program was linked with, when it is a shared library: it must
// stay the first object of the process, so it is preloaded ahead of the counters.
std::string SanitizerRuntime() {
    void* init = dlsym(RTLD_DEFAULT, "__asan_init");
    Dl_info info{};
    if (init == nullptr || dladdr(init, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string file = info.dli_fname;
    return file.find(".so") != std::string::npos ? file : std::string();
}

// This program's arguments, as it was started.
std::vector<std::string> CommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find('\0', at);
        args.push_back(all.substr(at, end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    return args;
}

[[noreturn]] void RestartWith(const std::string& library) {
    const char* before = std::getenv("LD_PRELOAD");
    std::string preload = SanitizerRuntime();
    preload += (preload.empty() ? "" : ":") + library;
    if (before != nullptr && *before != '\0') preload += std::string(":") + before;
    ::setenv(kRestarted, before != nullptr ? (std::string("=") + before).c_str() : "", 1);
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    std::vector<std::string> args = CommandLine();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    throw std::runtime_error(library + ": cannot restart with the counter library (" +
                             std::strerror(errno) + ")");
}

// After a restart: LD_PRELOAD as it was before.
void ForgetRestart(const char* marker) {
    if (marker[0] == '=') {
        ::setenv("LD_PRELOAD", marker + 1, 1);
    } else {
        ::unsetenv("LD_PRELOAD");
    }
    ::unsetenv(kRestarted);
}

}  // namespace

std::string LibraryPath() {
    const std::string dir = ExecutableDir();
    for (const std::string& place : {dir + "/" KV_COUNTERS_DIR, dir + "/../" KV_COUNTERS_DIR}) {
        const std::string file = place + "/" KV_COUNTERS_FILE;
        if (::access(file.c_str(), R_OK) == 0) return file;
    }
    return {};
}

void Require() {
    const char* marker = std::getenv(kRestarted);
    const std::string restarted = marker != nullptr ? marker : "";
    if (marker != nullptr) ForgetRestart(restarted.c_str());
    if (Present()) return;
    const std::string library = LibraryPath();
    if (library.empty()) {
        throw std::runtime_error(std::string("the counter library ") + KV_COUNTERS_FILE +
                                 " is not in " + ExecutableDir() + "/" KV_COUNTERS_DIR +
                                 " nor in " + ExecutableDir() + "/../" KV_COUNTERS_DIR);
    }
    if (marker != nullptr) {
        throw std::runtime_error(library +
                                 ": the counter library was preloaded but is not in the "
                                 "process (was LD_PRELOAD refused?)");
    }
    RestartWith(library);
}

}  // namespace kvhost::validate::alloc
