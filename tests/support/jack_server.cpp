// The private JACK server: started with fork and exec, ready once jack_lsp reaches it,
// stopped with SIGTERM (SIGKILL after five seconds) by its process id.
#include "jack_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {

std::atomic<int> g_servers{0};

// Whether the process has ended (reaped here).
bool Ended(pid_t pid, int timeout_ms) {
    for (int waited = 0;; waited += 20) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        if (waited >= timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

JackServer::JackServer(int period, int rate)
    : name_("kvtest" + std::to_string(::getpid()) + "_" + std::to_string(g_servers++)) {
    const std::string p = std::to_string(period), r = std::to_string(rate);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot start jackd: fork failed");
    if (pid_ == 0) {
        ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execlp("jackd", "jackd", "-n", name_.c_str(), "-r", "-d", "dummy", "-r", r.c_str(), "-p",
                 p.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string probe =
        "JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=" + name_ + " jack_lsp >/dev/null 2>&1";
    for (int tries = 0; tries < 200; ++tries) {
        if (std::system(probe.c_str()) == 0) return;
        if (Ended(pid_, 50)) {
            pid_ = -1;
            throw std::runtime_error("jackd " + name_ + " ended before clients could connect");
        }
    }
    ::kill(pid_, SIGKILL);
    Ended(pid_, 5000);
    pid_ = -1;
    throw std::runtime_error("jackd " + name_ + " did not come up within ten seconds");
}

JackServer::~JackServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!Ended(pid_, 5000)) {
        ::kill(pid_, SIGKILL);
        Ended(pid_, 5000);
    }
}

}  // namespace kvtest
