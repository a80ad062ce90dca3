// Helpers of the play tests: child processes, files, audio.
#include "play_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace play_test {

namespace {

int g_children = 0;

}  // namespace

std::string Dir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    // The process id keeps runs of other builds at the same time out of each other's way.
    const std::string dir =
        ::testing::TempDir() + "kvplay_" + std::to_string(::getpid()) + "_" + name;
    std::filesystem::create_directories(dir);
    return dir;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TwinOpPatch(const std::string& algorithm, const std::string& midi, int rate) {
    const bool gated = algorithm == "2->1";
    std::string j = "{\n";
    if (rate > 0) j += "  \"sample_rate\": " + std::to_string(rate) + ",\n";
    j += "  \"block_size\": 64,\n";
    j += R"(  "modules": [
    {"name": "keys", "plugin": "wy_VUDA2DU", "pins": {"Retrigger": "Off"}},
    {"name": "osc", "plugin": "ZOR Twin-Op", "pins": {"Algorithm": ")" +
         algorithm + "\"" + (gated ? ", \"OP2 Level\": 0" : ", \"OP1 FB/Level\": 0") + R"(}}
  ],
  "wires": [
    {"from": "keys.Pitch", "to": "osc.OP1 Pitch"})" +
         (gated ? ",\n    {\"from\": \"keys.Gate\", \"to\": \"osc.OP1 FB/Level\"}" : "") +
         "\n  ],\n";
    if (!midi.empty()) j += "  \"midi\": \"" + midi + "\",\n";
    j += "  \"audio\": {\"outputs\": [\"osc.Output\"]}\n}\n";
    return j;
}

Kvhost::Kvhost(const std::vector<std::string>& args) {
    const std::string base = Dir() + "/kvhost_" + std::to_string(g_children++);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    // Emptied here, before the child runs: what an earlier run left must not be read as its.
    WriteFile(out_path_, "");
    WriteFile(err_path_, "");
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
    const std::string dir = Dir();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipe_fds[0], STDIN_FILENO);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        std::vector<char*> argv;
        static std::string tool = KVHOST_TOOL;
        argv.push_back(tool.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(tool.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[0]);
    input_ = pipe_fds[1];
}

Kvhost::~Kvhost() {
    if (!done_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) ::close(input_);
}

void Kvhost::Send(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Kvhost::CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void Kvhost::Signal(int signal) {
    if (!done_) ::kill(pid_, signal);
}

namespace {

bool WaitForText(const std::string& path, const std::string& text, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFile(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

bool Kvhost::WaitForOutput(const std::string& text, double seconds) {
    return WaitForText(out_path_, text, seconds);
}
bool Kvhost::WaitForError(const std::string& text, double seconds) {
    return WaitForText(err_path_, text, seconds);
}
std::string Kvhost::Out() const {
    return ReadFile(out_path_);
}
std::string Kvhost::Err() const {
    return ReadFile(err_path_);
}

Finished Kvhost::Wait(double seconds) {
    if (!done_) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        done_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return {code_, Out(), Err()};
}

Finished RunKvhost(const std::vector<std::string>& args, double seconds) {
    Kvhost k(args);
    k.CloseInput();
    return k.Wait(seconds);
}

std::string CommandOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    char chunk[4096];
    for (std::size_t n; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
        out.append(chunk, n);
    }
    return out;
}

Audio ReadAudio(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    Audio a;
    if (f == nullptr) return a;
    a.channels = info.channels;
    a.rate = info.samplerate;
    a.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, a.samples.data(), info.frames);
    a.samples.resize(static_cast<std::size_t>(got * info.channels));
    sf_close(f);
    return a;
}

double Frequency(const float* x, std::size_t count, double rate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double at = static_cast<double>(i - 1) +
                              static_cast<double>(-x[i - 1]) / static_cast<double>(x[i] - x[i - 1]);
            if (first < 0.0) {
                first = at;
            } else {
                ++crossings;
            }
            last = at;
        }
    }
    return crossings > 0 ? crossings * rate / (last - first) : 0.0;
}

}  // namespace play_test
