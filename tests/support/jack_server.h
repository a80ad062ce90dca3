// A private JACK server for a test group: `jackd -n <unique name> -r -S -d dummy` at a given
// period and rate, found by JACK clients through JACK_DEFAULT_SERVER, stopped by its process
// id when the object goes (and killed with the test process if that dies first). It runs
// synchronously (-S): each cycle waits for every client, so a client slowed down by a loaded
// machine delays the graph instead of missing a cycle and the MIDI sent in it. Tests count
// the graph's time in frames played, never in wall-clock seconds.
#pragma once

#include <sys/types.h>

#include <string>

class JackServer {
  public:
    // Starts the server and waits until it takes clients; sets JACK_DEFAULT_SERVER to its
    // name and JACK_NO_AUDIO_RESERVATION=1 in this process's environment (children inherit
    // them). Throws std::runtime_error with the server's own output when it does not start.
    explicit JackServer(int period, int rate = 48000);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    const std::string& Name() const { return name_; }
    pid_t Pid() const { return pid_; }
    // Stops it now (SIGTERM, then SIGKILL if it lingers); the destructor does the same.
    void Stop();

  private:
    std::string name_;
    std::string log_;
    pid_t pid_ = -1;
};
