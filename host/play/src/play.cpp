// kvhost play: the command. Sets up the patch, its GUI sides, the recorder and the JACK
// client, then runs the main thread's loop (control lines, values from the audio thread,
// status) until Ctrl-C, `quit`, the end of --seconds or a failure, and stops cleanly.
#include "kvhost/play.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "control.h"
#include "engine.h"
#include "gui_sides.h"
#include "jack_client.h"
#include "kvhost/audio_file.h"
#include "kvhost/command.h"
#include "kvhost/panel.h"
#include "play_panel.h"
#include "recorder.h"
#include "rt_check.h"
#include "terminal.h"

namespace kvhost {

namespace {

using namespace kvhost::play;
using Clock = std::chrono::steady_clock;

std::atomic<int> g_signal{0};
int g_wake_write = -1;

void OnSignal(int signal) {
    g_signal = signal;
    const char byte = 'x';
    (void)!::write(g_wake_write, &byte, 1);
}

std::string NoteName(int32_t key) {
    static const char* const kNames[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                         "F#", "G",  "G#", "A",  "A#", "B"};
    return std::string(kNames[key % 12]) + std::to_string(key / 12 - 1);
}

std::string Decibels(float peak) {
    if (peak <= 0.0f) return "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", 20.0 * std::log10(static_cast<double>(peak)));
    return buf;
}

// Lines from a file descriptor, split as they arrive. A FIFO is kept open for writing too,
// so that writers may come and go without an end of file.
class LineInput {
  public:
    explicit LineInput(const std::optional<std::string>& path) {
        if (!path) {
            fd_ = STDIN_FILENO;
            return;
        }
        struct stat st {};
        if (::stat(path->c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
            fd_ = ::open(path->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            owned_ = true;
        } else {
            fd_ = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
            owned_ = true;
        }
        if (fd_ < 0) {
            throw Failure(kExitUsage,
                          *path + ": cannot open the control file (" + std::strerror(errno) + ")");
        }
    }
    ~LineInput() {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    int Fd() const { return open_ ? fd_ : -1; }
    // Reads what is there; each complete line goes to `line`.
    template <class F>
    void Read(F line) {
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            open_ = false;
            return;
        }
        if (n == 0) {
            open_ = false;  // end of the lines; a last one without its newline still counts
            if (!pending_.empty()) line(pending_);
            pending_.clear();
            return;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0, nl;
        while ((nl = pending_.find('\n', start)) != std::string::npos) {
            line(pending_.substr(start, nl - start));
            start = nl + 1;
        }
        pending_.erase(0, start);
    }

  private:
    int fd_ = -1;
    bool owned_ = false;
    bool open_ = true;
    std::string pending_;
};

// The outputs' names as ports: "module.pin", or the pin the patch falls back on.
std::vector<std::string> OutputNames(const PatchPlan& plan, Engine& engine) {
    std::vector<std::string> names;
    for (const PatchPin& o : plan.outputs) names.push_back(o.module + "." + o.pin);
    if (names.empty()) {
        const int32_t last = engine.NodeCount() - 1;
        for (const PinInfo& p : engine.Node(last).Pins()) {
            if (p.dsp_index >= 0 && p.IsOutput() && p.datatype == DT_FSAMPLE) {
                names.push_back(engine.GetPatch().Order().back() + "." + p.name);
                break;
            }
        }
    }
    names.resize(static_cast<std::size_t>(engine.Channels()), "out");
    return names;
}

class Session {
  public:
    explicit Session(const PlayOptions& options) : opt_(options) {}
    int Run();

  private:
    void Load();
    // One turn of the main thread: control lines (waiting for them at most `wait_ms`), what
    // the audio thread reported, the status. False when playing is to end.
    bool Turn(int wait_ms);
    int Stop();
    std::string StatusText();
    std::string StatusJson(bool final);
    void Say(const std::string& text, bool error);
    void ReadInput();

    const PlayOptions& opt_;
    PatchPlan plan_;
    std::string patch_text_;
    int wake_[2] = {-1, -1};
    // Declared so that, whatever way the session ends, the client goes first (no period
    // runs any more), then the GUI sides before the patch.
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<GuiSides> guis_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Control> control_;
    std::unique_ptr<PlayPanel> panel_;
    std::unique_ptr<JackClient> client_;
    std::unique_ptr<LineInput> input_;
    std::unique_ptr<Screen> screen_;
    std::vector<float> line_peaks_, json_peaks_;
    bool show_status_ = false;
    bool typing_ended_ = false;  // the terminal's input ended (Ctrl-D)
    Clock::time_point started_;
    Clock::time_point next_status_{}, next_json_{}, quit_at_{};
    int end_code_ = kExitOk;
    std::string end_message_;
};

void Session::Say(const std::string& text, bool error) {
    const std::string line = error ? "kvhost: " + text : text;
    if (screen_) {
        screen_->Say(line, error);
    } else {
        std::fprintf(error ? stderr : stdout, "%s\n", line.c_str());
        std::fflush(error ? stderr : stdout);
    }
}

// Control lines typed on the terminal (kept and redrawn by the screen) or read from standard
// input or --control.
void Session::ReadInput() {
    const auto line = [this](const std::string& l) { control_->Line(l); };
    if (screen_->Editing()) {
        typing_ended_ = !screen_->Read(line);  // Ctrl-D: no more lines, as at an end of file
    } else {
        input_->Read(line);
    }
}

void Session::Load() {
    patch_text_ = Staged(kExitPatch, [&] { return ReadWholeFile(opt_.patch, "patch file"); });
    const auto slash = opt_.patch.find_last_of('/');
    plan_ = Staged(kExitPatch, [&] {
        return ParsePatch(patch_text_, opt_.patch,
                          slash == std::string::npos ? "." : opt_.patch.substr(0, slash));
    });
    if (opt_.loop && opt_.hold) throw Failure(kExitUsage, "--loop and --hold: give one of them");
    if (opt_.seconds && !(*opt_.seconds > 0.0 && *opt_.seconds <= 86400.0)) {
        throw Failure(kExitUsage, "--seconds must be above 0 and at most 86400");
    }
    if (!(opt_.record_buffer > 0.0 && opt_.record_buffer <= 600.0)) {
        throw Failure(kExitUsage, "--record-buffer must be above 0 and at most 600 seconds");
    }
}

int Session::Run() {
    Load();
    if (opt_.check_rt) rt::StartChecking();  // kvhost runs again with the counters loaded
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Failure(kExitInternal, "cannot make a pipe");
    }
    g_wake_write = wake_[1];
    // Threads started from here on (JACK's, the disk thread) never take the signals: only
    // the main thread does, so the audio thread is never interrupted by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);  // the terminal closed: playing ends as on Ctrl-C
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    client_ =
        std::make_unique<JackClient>(opt_.name.value_or("kvhost"), opt_.name.has_value(), wake_[1]);
    const double rate = client_->SampleRate();
    if (plan_.sample_rate_given && plan_.sample_rate != rate) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "%s plays at %g Hz but JACK server \"%s\" runs at %g Hz; restart the "
                      "server with -r %g, or leave \"sample_rate\" out of the patch to play at "
                      "the server's rate",
                      opt_.patch.c_str(), plan_.sample_rate, JackClient::ServerName().c_str(), rate,
                      plan_.sample_rate);
        throw Failure(kExitAudioSystem, text);
    }
    plan_.sample_rate = rate;

    Engine::Config config;
    if (const auto midi_path = MidiFilePath(plan_, opt_.midi)) {
        config.midi = Staged(kExitMidi, [&] { return ReadMidiFile(*midi_path, rate); });
        config.loop = opt_.loop;
    }
    if (opt_.seconds) config.length = static_cast<uint64_t>(std::llround(*opt_.seconds * rate));
    try {
        engine_ = std::make_unique<Engine>(plan_, std::move(config));
        guis_ = std::make_unique<GuiSides>(*engine_, plan_);
    } catch (const LoadError& e) {
        throw Failure(kExitPlugin, e.what());
    } catch (const Error& e) {
        const std::string what = e.what();
        if (plan_.outputs.empty() && what.find("no \"audio\" outputs") != std::string::npos) {
            throw Failure(kExitAudioSystem, opt_.patch +
                                                " has no audio output to play: list sample outputs "
                                                "under \"audio\": {\"outputs\": [...]}");
        }
        throw Failure(kExitPatch, what);
    }
    if (!opt_.seconds && !opt_.loop && !opt_.hold && engine_->GetPatch().HasMidiFile()) {
        // Like render: the MIDI file and its tail, unless asked to go on.
        engine_->SetLength(engine_->GetPatch().DefaultLength());
    }
    if (opt_.record) {
        SampleFormat format = plan_.sample_format && *plan_.sample_format == "pcm24"
                                  ? SampleFormat::kPcm24
                                  : SampleFormat::kFloat;
        try {
            recorder_ = std::make_unique<Recorder>(
                *opt_.record, engine_->Channels(), static_cast<int32_t>(std::lround(rate)),
                FormatFor(*opt_.record, format), opt_.record_buffer);
        } catch (const Error& e) {
            throw Failure(kExitOutput, e.what());
        }
        engine_->Record(&recorder_->Ring());
    }
    input_ = std::make_unique<LineInput>(opt_.control);
    // After the recorder: the screen's handlers of fatal signals pass them on to the one that
    // removes the unfinished recording.
    show_status_ = !opt_.json_status && isatty(STDERR_FILENO) != 0;
    screen_ = std::make_unique<Screen>(show_status_, !opt_.control.has_value());
    control_ = std::make_unique<Control>(
        *engine_, *guis_, plan_, opt_.patch, patch_text_,
        Control::Output{[this](const std::string& t) { Say(t, false); },
                        [this](const std::string& t) { Say(t, true); },
                        [this] { return opt_.json_status ? StatusJson(false) : StatusText(); }});

    const std::vector<std::string> outputs = OutputNames(plan_, *engine_);
    if (opt_.panel.shown) {
        panel_ = std::make_unique<PlayPanel>(*engine_, *guis_, *control_, plan_, outputs);
    }
    client_->AddPorts(outputs);
    if (recorder_) recorder_->Start();
    client_->Start(*engine_);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    started_ = Clock::now();
    if (!engine_->TakesLiveMidi()) {
        // Said once, so that notes sent to "midi_in" are not silently lost.
        Say("the patch takes no live MIDI (\"midi\": \"live\"); \"midi_in\" is not used", true);
    }
    const uint32_t period = client_->Period();
    char banner[512];
    std::snprintf(banner, sizeof banner,
                  "playing %s as \"%s\" on JACK server \"%s\": %g Hz, period %u, block %d, "
                  "latency %u frames; %s",
                  opt_.patch.c_str(), client_->Name().c_str(), JackClient::ServerName().c_str(),
                  rate, period, engine_->BlockSize(), engine_->Latency(period),
                  opt_.seconds ? "stops at the end of --seconds or on Ctrl-C" : "Ctrl-C stops");
    Say(banner, true);
    if (opt_.connect) {
        const auto made = client_->ConnectPhysical();
        for (const std::string& c : made) Say("connected " + c, true);
        if (made.empty()) Say("--connect: no physical ports to connect to", true);
    }
    line_peaks_.assign(static_cast<std::size_t>(engine_->Channels()), 0.0f);
    json_peaks_ = line_peaks_;

    next_status_ = Clock::now();
    next_json_ = Clock::now() + std::chrono::seconds(1);
    if (panel_) {
        ServePanel(*panel_, opt_.panel, [this] { return Turn(0); });
    } else {
        while (Turn(20)) {
        }
    }
    return Stop();
}

bool Session::Turn(int wait_ms) {
    const int input = typing_ended_ ? -1 : screen_->Editing() ? STDIN_FILENO : input_->Fd();
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {input, POLLIN, 0}};
    ::poll(fds, input >= 0 ? 2 : 1, wait_ms);
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    if (input >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadInput();
    control_->Exchange();
    const auto now = Clock::now();
    if (now >= next_status_) {
        const std::vector<float> peaks = engine_->TakePeaks();
        for (std::size_t c = 0; c < peaks.size(); ++c) {
            line_peaks_[c] = std::max(line_peaks_[c], peaks[c]);
            json_peaks_[c] = std::max(json_peaks_[c], peaks[c]);
        }
        if (show_status_) {
            screen_->Status(StatusText());
            std::fill(line_peaks_.begin(), line_peaks_.end(), 0.0f);
        }
        guis_->Trim();
        next_status_ = now + std::chrono::milliseconds(250);
    }
    if (opt_.json_status && now >= next_json_) {
        Say(StatusJson(false), false);
        next_json_ += std::chrono::seconds(1);
    }
    const Engine::Stats& stats = engine_->GetStats();
    if (g_signal != 0 || stats.finished) return false;
    if (control_->QuitAsked()) {
        // The lines before `quit` are answered first (for a while, should playing stall).
        if (quit_at_ == Clock::time_point{}) quit_at_ = now;
        if (control_->Waiting() == 0 || now - quit_at_ > std::chrono::seconds(2)) return false;
    }
    if (client_->ShutDown()) {
        end_code_ = kExitAudioSystem;
        const std::string why = client_->ShutdownReason();
        end_message_ = "JACK server \"" + JackClient::ServerName() + "\" shut down" +
                       (why.empty() ? "" : " (" + why + ")");
        return false;
    }
    if (client_->RateChanged()) {
        end_code_ = kExitAudioSystem;
        end_message_ = "JACK server \"" + JackClient::ServerName() +
                       "\" changed its sample rate; the patch plays at one rate only";
        return false;
    }
    if (stats.oversized) {
        end_code_ = kExitAudioSystem;
        end_message_ = "JACK's period grew beyond " + std::to_string(Engine::kMaxPeriod) +
                       " frames; the output went silent";
        return false;
    }
    if (stats.failed) {
        end_code_ = kExitInternal;
        end_message_ = "the patch failed while playing: " + engine_->Failure();
        return false;
    }
    if (recorder_ && recorder_->Failed()) {
        end_code_ = kExitOutput;
        return false;  // Finish says why
    }
    return true;
}

int Session::Stop() {
    // Every note ends first (heard, and recorded); then the audio thread ends, the answers
    // and values it left are taken, the recording completed, the ports and instances closed.
    if (!client_->ShutDown()) {
        engine_->EndNotes();
        const auto give_up = Clock::now() + std::chrono::seconds(1);
        const Engine::Stats& s = engine_->GetStats();
        while (!engine_->NotesEnded() && !s.finished && !s.failed && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    client_->Stop();
    control_->Exchange();
    if (control_->Waiting() > 0) {
        Say(std::to_string(control_->Waiting()) + " command(s) were not answered: playing ended",
            true);
    }
    screen_->Clear();  // the terminal given back; what follows stays on it
    const Engine::Stats& stats = engine_->GetStats();
    if (!end_message_.empty()) Say(end_message_, true);
    bool record_failed = false;
    if (recorder_) {
        try {
            recorder_->Finish();
        } catch (const Error& e) {
            Say(e.what(), true);
            end_code_ = kExitOutput;
            record_failed = true;
        }
    }
    if (opt_.json_status) Say(StatusJson(true), false);
    const double seconds = static_cast<double>(stats.frames) / plan_.sample_rate;
    char summary[512];
    std::snprintf(summary, sizeof summary, "played %.2f s (%llu frames), %llu xrun%s", seconds,
                  static_cast<unsigned long long>(stats.frames.load()),
                  static_cast<unsigned long long>(client_->Xruns()),
                  client_->Xruns() == 1 ? "" : "s");
    std::string text = summary;
    if (record_failed) {
        text += "; nothing recorded: " + recorder_->Path() + " is as it was";
    } else if (recorder_) {
        text += "; recorded " + std::to_string(recorder_->FramesWritten()) + " frames to " +
                recorder_->Path();
    }
    Say(text, true);
    if (stats.lost > 0 && !record_failed) {
        Say(std::to_string(stats.lost.load()) +
                " frames were lost from the recording: the disk was late (--record-buffer gives "
                "it more room)",
            true);
        if (end_code_ == kExitOk) end_code_ = kExitOutput;
    }
    if (rt::Allocations() > 0 || rt::Locks() > 0) {  // counted with --check-rt only
        Say("warning: the audio thread allocated " + std::to_string(rt::Allocations()) +
                " time(s) and took " + std::to_string(rt::Locks()) + " lock(s)",
            true);
    }
    if (stats.midi_dropped > 0) {
        Say(std::to_string(stats.midi_dropped.load()) +
                " live MIDI message(s) were dropped: more than " +
                std::to_string(Engine::kLiveMidiPerPeriod) + " in one period",
            true);
    }
    if (stats.reports_lost > 0) {
        Say(std::to_string(stats.reports_lost.load()) +
                " value(s) for GUI sides or answers were lost: the main thread was late",
            true);
    }
    client_.reset();  // ports unregistered, client closed
    panel_.reset();
    control_.reset();
    guis_.reset();    // GUI_CLOSE
    engine_.reset();  // MOD_CLOSE
    recorder_.reset();
    return end_code_;
}

std::string Session::StatusText() {
    const Engine::Stats& s = engine_->GetStats();
    char head[128];
    std::snprintf(head, sizeof head, "%7.1f s  DSP %5.1f %%  xruns %llu  peak",
                  static_cast<double>(s.frames) / plan_.sample_rate, client_->DspLoad(),
                  static_cast<unsigned long long>(client_->Xruns()));
    std::string text = head;
    for (float p : line_peaks_) text += " " + Decibels(p);
    text += " dB";
    const int32_t note = s.last_note;
    if (note >= 0) text += "  note " + NoteName(note) + " (" + std::to_string(note) + ")";
    if (recorder_) {
        text += "  rec " + std::to_string(s.recorded.load()) + " frames";
        if (s.lost > 0) text += ", " + std::to_string(s.lost.load()) + " LOST";
    }
    return text;
}

std::string Session::StatusJson(bool final) {
    const Engine::Stats& s = engine_->GetStats();
    nlohmann::ordered_json j;
    j["seconds"] = static_cast<double>(s.frames) / plan_.sample_rate;
    j["frames"] = s.frames.load();
    j["period"] = s.period.load();
    j["dsp_load"] = client_->DspLoad();
    j["xruns"] = client_->Xruns();
    j["peaks"] = json_peaks_;
    std::fill(json_peaks_.begin(), json_peaks_.end(), 0.0f);
    j["last_note"] = s.last_note >= 0 ? nlohmann::ordered_json(s.last_note.load()) : nullptr;
    j["recorded"] = s.recorded.load();
    j["lost"] = s.lost.load();
    j["to_dsp"] = s.applied.load();
    j["to_gui"] = guis_->Received();
    j["from_gui"] = guis_->Sent();
    j["carried"] = s.carried.load();
    j["reports_lost"] = s.reports_lost.load();
    j["midi_ignored"] = s.midi_ignored.load();
    j["midi_dropped"] = s.midi_dropped.load();
    // Allocations and locks are counted with --check-rt only.
    j["audio_thread"] = {{"periods", s.periods.load()}, {"checked", rt::Checking()}};
    if (rt::Checking()) {
        j["audio_thread"]["allocations"] = rt::Allocations();
        j["audio_thread"]["locks"] = rt::Locks();
    }
    if (final) j["final"] = true;
    return j.dump();
}

}  // namespace

int Play(const PlayOptions& options) {
    Session session(options);
    return session.Run();
}

void AddPlayCommand(Tool& tool) {
    auto options = std::make_shared<PlayOptions>();
    auto seconds = std::make_shared<double>(0.0);
    auto seconds_opt = std::make_shared<CLI::Option*>(nullptr);
    CLI::App* cmd = tool.Add(
        "play",
        "play a patch live as a JACK client: one port per audio output, a MIDI input "
        "(\"midi_in\") for modules whose patch MIDI is \"live\", control lines on standard "
        "input (set MODULE.PIN VALUE, get MODULE.PIN, pins, status, save [--force] FILE, quit)",
        [options, seconds, seconds_opt] {
            if (**seconds_opt) options->seconds = *seconds;
            return Play(*options);
        });
    cmd->add_option("PATCH", options->patch, "patch file (JSON)")->required();
    cmd->add_option("--midi", options->midi, "Standard MIDI File played in real time");
    cmd->add_option("--record", options->record,
                    "audio file (.wav or .flac) that gets exactly what the outputs played");
    *seconds_opt = cmd->add_option("--seconds", *seconds, "play this long, then stop");
    cmd->add_flag("--loop", options->loop,
                  "play the MIDI file again and again (without it, play ends like render: at the "
                  "file's end plus one second)");
    cmd->add_flag("--hold", options->hold,
                  "go on playing after the MIDI file ends, until Ctrl-C or quit");
    cmd->add_flag("--connect", options->connect,
                  "connect the outputs to the playback ports and every physical MIDI output to "
                  "the MIDI input");
    cmd->add_option("--name", options->name,
                    "JACK client name (default: kvhost, numbered "
                    "by the server when taken)");
    cmd->add_option("--control", options->control,
                    "read the control lines from this file or FIFO instead of standard input");
    cmd->add_flag("--json-status", options->json_status,
                  "print one JSON object a second on standard output instead of a status line");
    cmd->add_flag("--check-rt", options->check_rt,
                  "count the audio thread's heap allocations and lock acquisitions (reported "
                  "by --json-status and at the end); kvhost then runs with its allocation and "
                  "lock functions replaced by counting ones");
    cmd->add_option("--record-buffer", options->record_buffer,
                    "seconds of audio the recording may fall behind before frames are lost")
        ->capture_default_str();
    AddPanelOptions(*cmd, options->panel);
}

}  // namespace kvhost
