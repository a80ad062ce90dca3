// The JACK client of `kvhost play`: opening it (with messages a user can act on), one audio
// port per patch output and one MIDI input, the process callback handing each period to the
// engine, and what the server tells (xruns, period changes, shutting down).
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"
#include "kvhost/command.h"

namespace kvhost::play {

class JackClient {
  public:
    // Connects to the server JACK_DEFAULT_SERVER names (or the default one) without starting
    // one. `exact`: the name must be had as given, else the server may number it.
    // Throws Failure(kExitAudioSystem) when there is no server or it refuses.
    JackClient(const std::string& name, bool exact, int wake_fd);
    ~JackClient();  // closes the client: its ports go with it
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    std::string Name() const;  // as the server gave it
    static std::string ServerName();
    double SampleRate() const;
    uint32_t Period() const;

    // One output port per name (':' cannot appear in a port name and becomes '_'), and
    // "midi_in". Throws Failure when the server refuses one.
    void AddPorts(const std::vector<std::string>& outputs);
    // Starts the process callback on `engine`.
    void Start(Engine& engine);
    // The outputs to the playback ports (a single output to the first two), every physical
    // MIDI output to "midi_in"; returns what was connected, one line each.
    std::vector<std::string> ConnectPhysical();
    // No process callback after this returns.
    void Stop();

    float DspLoad() const;  // percent
    uint64_t Xruns() const { return xruns_.load(); }
    bool ShutDown() const { return shut_down_.load(); }
    std::string ShutdownReason() const { return shutdown_reason_.data(); }
    bool RateChanged() const { return rate_changed_.load(); }

  private:
    static int OnProcess(jack_nframes_t frames, void* self);
    static int OnXrun(void* self);
    static int OnSampleRate(jack_nframes_t rate, void* self);
    static void OnShutdown(jack_status_t code, const char* reason, void* self);

    jack_client_t* client_ = nullptr;
    Engine* engine_ = nullptr;
    int wake_fd_;
    jack_nframes_t rate_ = 0;
    bool active_ = false;
    std::vector<jack_port_t*> outputs_;
    std::vector<float*> buffers_;  // the period's output buffers, filled by the callback
    jack_port_t* midi_in_ = nullptr;
    std::vector<std::string> port_names_;
    std::array<LiveMidi, Engine::kLiveMidiPerPeriod> midi_{};
    std::atomic<uint64_t> xruns_{0};
    std::atomic<bool> shut_down_{false};
    std::atomic<bool> rate_changed_{false};
    std::array<char, 256> shutdown_reason_{};
};

}  // namespace kvhost::play
