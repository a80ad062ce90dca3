// The JACK client: opening, ports, the process callback and the server's notifications.
#include "jack_client.h"

#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "kvhost/command.h"

namespace kvhost::play {

namespace {

// What libjack says while the client opens, kept for the failure message; afterwards it is
// not shown (the tool says what went wrong in its own words).
std::string g_jack_said;
void KeepJackMessage(const char* message) {
    if (!g_jack_said.empty()) g_jack_said += "; ";
    g_jack_said += message;
}
void Quiet(const char*) {}

std::string StatusText(jack_status_t status) {
    static const std::pair<int, const char*> kBits[] = {
        {JackInvalidOption, "invalid option"},
        {JackNameNotUnique, "name not unique"},
        {JackServerFailed, "cannot connect"},
        {JackServerError, "server error"},
        {JackNoSuchClient, "no such client"},
        {JackLoadFailure, "load failure"},
        {JackInitFailure, "init failure"},
        {JackShmFailure, "shared memory failure"},
        {JackVersionError, "protocol version mismatch"},
        {JackBackendError, "backend error"},
        {JackClientZombie, "client zombified"}};
    std::string text;
    for (const auto& [bit, name] : kBits) {
        if ((status & bit) != 0) text += (text.empty() ? "" : ", ") + std::string(name);
    }
    return text.empty() ? "failure" : text;
}

}  // namespace

std::string JackClient::ServerName() {
    const char* env = std::getenv("JACK_DEFAULT_SERVER");
    return env != nullptr && *env != '\0' ? env : "default";
}

JackClient::JackClient(const std::string& name, bool exact, int wake_fd) : wake_fd_(wake_fd) {
    g_jack_said.clear();
    jack_set_error_function(KeepJackMessage);
    jack_set_info_function(Quiet);
    jack_status_t status{};
    // The server numbers a name that is taken; a name that must be had exactly is checked
    // afterwards (servers differ in how they refuse an exact name).
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    jack_set_error_function(Quiet);
    const std::string server = ServerName();
    if (client_ != nullptr && exact && jack_get_client_name(client_) != name) {
        jack_client_close(client_);
        client_ = nullptr;
        status = static_cast<jack_status_t>(status | JackNameNotUnique);
    }
    if (client_ == nullptr) {
        if ((status & JackNameNotUnique) != 0) {
            throw Failure(kExitAudioSystem, "the client name \"" + name +
                                                "\" is taken on JACK server \"" + server +
                                                "\"; choose another with --name");
        }
        if ((status & JackServerFailed) != 0) {
            throw Failure(
                kExitAudioSystem,
                "no JACK server \"" + server +
                    "\" is running. Start one first, e.g. "
                    "`jackd -d alsa -r 48000 -p 256` for the sound card (`jackd -d dummy -r 48000 "
                    "-p 256` without one; add `-n NAME` and set JACK_DEFAULT_SERVER=NAME for a "
                    "named server), or on a PipeWire desktop run kvhost under `pw-jack`");
        }
        throw Failure(kExitAudioSystem, "JACK server \"" + server + "\" refused the client (" +
                                            StatusText(status) +
                                            (g_jack_said.empty() ? "" : ": " + g_jack_said) + ")");
    }
    rate_ = jack_get_sample_rate(client_);
    jack_set_xrun_callback(client_, &JackClient::OnXrun, this);
    jack_set_sample_rate_callback(client_, &JackClient::OnSampleRate, this);
    jack_on_info_shutdown(client_, &JackClient::OnShutdown, this);
}

JackClient::~JackClient() {
    if (client_ == nullptr) return;
    Stop();
    if (!shut_down_) {
        jack_client_close(client_);
        return;
    }
    // Once the server has gone, libjack's close may wait on what went with it. It gets two
    // seconds; then play ends without it (its process is ending), so the terminal and the
    // exit code are given back whatever the library does.
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> done = closed->get_future();
    std::thread([client = client_, closed] {
        jack_client_close(client);
        closed->set_value();
    }).detach();
    done.wait_for(std::chrono::seconds(2));
}

std::string JackClient::Name() const {
    return jack_get_client_name(client_);
}

double JackClient::SampleRate() const {
    return static_cast<double>(rate_);
}

uint32_t JackClient::Period() const {
    return jack_get_buffer_size(client_);
}

void JackClient::AddPorts(const std::vector<std::string>& outputs) {
    std::vector<std::string> names;
    for (const std::string& o : outputs) {
        std::string n = o;
        for (char& ch : n) {
            if (ch == ':') ch = '_';
        }
        int copy = 1;
        std::string unique = n;
        while (std::find(names.begin(), names.end(), unique) != names.end()) {
            unique = n + "#" + std::to_string(++copy);
        }
        names.push_back(unique);
    }
    names.push_back("midi_in");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool midi = i + 1 == names.size();
        jack_port_t* port = jack_port_register(
            client_, names[i].c_str(), midi ? JACK_DEFAULT_MIDI_TYPE : JACK_DEFAULT_AUDIO_TYPE,
            midi ? JackPortIsInput : (JackPortIsOutput | JackPortIsTerminal), 0);
        if (port == nullptr) {
            throw Failure(kExitAudioSystem, "JACK server \"" + ServerName() +
                                                "\" refused the port \"" + Name() + ":" + names[i] +
                                                "\" (the name is taken or too long)");
        }
        (midi ? midi_in_ : outputs_.emplace_back()) = port;
        port_names_.push_back(Name() + ":" + names[i]);
    }
    buffers_.assign(outputs_.size(), nullptr);
}

void JackClient::Start(Engine& engine) {
    engine_ = &engine;
    jack_set_process_callback(client_, &JackClient::OnProcess, this);
    if (jack_activate(client_) != 0) {
        throw Failure(kExitAudioSystem,
                      "JACK server \"" + ServerName() + "\" refused to start the client");
    }
    active_ = true;
}

std::vector<std::string> JackClient::ConnectPhysical() {
    std::vector<std::string> done;
    const auto connect = [&](const std::string& from, const std::string& to) {
        if (jack_connect(client_, from.c_str(), to.c_str()) == 0)
            done.push_back(from + " -> " + to);
    };
    const char** playback = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsPhysical | JackPortIsInput);
    std::size_t count = 0;
    while (playback != nullptr && playback[count] != nullptr) ++count;
    const std::size_t outs = outputs_.size();
    for (std::size_t i = 0; i < count && (i < outs || (outs == 1 && i < 2)); ++i) {
        connect(port_names_[outs == 1 ? 0 : i], playback[i]);
    }
    jack_free(playback);
    const char** keyboards = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                            JackPortIsPhysical | JackPortIsOutput);
    for (std::size_t i = 0; keyboards != nullptr && keyboards[i] != nullptr; ++i) {
        connect(keyboards[i], port_names_.back());
    }
    jack_free(keyboards);
    return done;
}

void JackClient::Stop() {
    if (active_ && !shut_down_) {
        jack_deactivate(client_);
        active_ = false;
    }
}

float JackClient::DspLoad() const {
    return jack_cpu_load(client_);
}

int JackClient::OnProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    for (std::size_t c = 0; c < self->outputs_.size(); ++c) {
        self->buffers_[c] = static_cast<float*>(jack_port_get_buffer(self->outputs_[c], frames));
    }
    void* midi = jack_port_get_buffer(self->midi_in_, frames);
    const uint32_t events = jack_midi_get_event_count(midi);
    std::size_t count = 0;  // channel messages; only the first midi_.size() are kept
    for (uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) != 0 || e.size == 0 || e.size > 3) continue;
        const uint8_t status = e.buffer[0];
        if (status < 0x80 || status >= 0xF0) continue;  // system messages
        if (count < self->midi_.size()) {
            self->midi_[count] = {e.time, status, e.size > 1 ? e.buffer[1] : uint8_t{0},
                                  e.size > 2 ? e.buffer[2] : uint8_t{0}};
        }
        ++count;
    }
    self->engine_->Process(frames, self->buffers_.data(), self->midi_.data(), count);
    return 0;
}

int JackClient::OnXrun(void* arg) {
    static_cast<JackClient*>(arg)->xruns_.fetch_add(1);
    return 0;
}

int JackClient::OnSampleRate(jack_nframes_t rate, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    if (rate != self->rate_) {
        self->rate_changed_ = true;
        const char byte = 'r';
        (void)!::write(self->wake_fd_, &byte, 1);
    }
    return 0;
}

void JackClient::OnShutdown(jack_status_t, const char* reason, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    std::size_t n = 0;
    while (reason != nullptr && reason[n] != '\0' && n + 1 < self->shutdown_reason_.size()) {
        self->shutdown_reason_[n] = reason[n];
        ++n;
    }
    self->shutdown_reason_[n] = '\0';
    self->shut_down_ = true;
    const char byte = 's';
    (void)!::write(self->wake_fd_, &byte, 1);
}

}  // namespace kvhost::play
