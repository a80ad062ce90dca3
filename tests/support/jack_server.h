// A private JACK server for one test group: jackd on the dummy backend under a name of its
// own, stopped by its process id when the object goes (also when a test fails).
#pragma once

#include <sys/types.h>

#include <string>

namespace kvtest {

class JackServer {
  public:
    // Starts `jackd -n NAME -r -d dummy -r RATE -p PERIOD` and waits until clients can
    // connect; throws std::runtime_error when it does not come up.
    explicit JackServer(int period, int rate = 48000);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    const std::string& Name() const { return name_; }
    pid_t Pid() const { return pid_; }

  private:
    std::string name_;
    pid_t pid_ = -1;
};

}  // namespace kvtest
