// The private JACK server of a test group.
#include "jack_server.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::atomic<int> g_count{0};

void Quiet(const char*) {}

// Each test process gets a /dev/shm of its own where the machine allows it (a mount namespace
// and a tmpfs, gone with the process). JACK keeps its registry of servers there, at most 8
// for the whole machine, and a server that did not end cleanly keeps its place for good: on a
// shared /dev/shm such leftovers, and other test runs, refuse every new server. The test's
// children (jackd, kvhost) share the process's namespace. Done before any thread starts.
__attribute__((constructor)) void PrivateShm() {
    if (::unshare(CLONE_NEWNS) != 0) return;
    // Nothing mounted here reaches the machine's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

JackServer::JackServer(int period, int rate) {
    name_ = "kvtest_" + std::to_string(::getpid()) + "_" + std::to_string(g_count++) + "_" +
            std::to_string(period);
    log_ = "/tmp/" + name_ + ".log";
    ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    const std::string p = std::to_string(period), r = std::to_string(rate);
    // Made before the fork: the child only calls exec.
    const char* const argv[] = {"jackd", "-n", name_.c_str(), "-r", "-S",      "-d",
                                "dummy", "-r", r.c_str(),     "-p", p.c_str(), nullptr};
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot fork for jackd");
    if (pid_ == 0) {
        // The server goes with the test process, whatever way that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
        ::execvp("jackd", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    // Ready once a client gets in.
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (true) {
        jack_status_t status{};
        jack_client_t* probe = jack_client_open(
            "kvtest_probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
            &status, name_.c_str());
        if (probe != nullptr) {
            jack_client_close(probe);
            return;
        }
        int wstatus = 0;
        if (::waitpid(pid_, &wstatus, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > deadline) {
            const std::string said = Slurp(log_);
            pid_ = -1;
            Stop();
            throw std::runtime_error("jackd -n " + name_ + " did not start: " + said);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

JackServer::~JackServer() {
    Stop();
}

void JackServer::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }
    if (!log_.empty()) ::unlink(log_.c_str());
}
