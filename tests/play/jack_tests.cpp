// `kvhost play` on private JACK servers (the dummy backend, no sound card): recordings equal
// `kvhost render` whatever the period, live MIDI from another client, live pin changes, both
// sides of mxt_AnimVolts across the threads, an audio thread that neither allocates nor
// locks, and the failures a user meets.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "kvhost/patch.h"
#include "play_util.h"

namespace play_test {
namespace {

const std::string kNotes = KVHOST_EXAMPLES "/twin_op_notes.mid";

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void ExpectSameAudio(const Audio& got, const Audio& want) {
    ASSERT_EQ(got.channels, want.channels);
    ASSERT_EQ(got.rate, want.rate);
    ASSERT_EQ(got.samples.size(), want.samples.size());
    for (std::size_t i = 0; i < got.samples.size(); ++i) {
        ASSERT_EQ(got.samples[i], want.samples[i]) << "first difference at sample " << i;
    }
}

// The last JSON object a --json-status run printed.
nlohmann::json LastStatus(const std::string& out) {
    std::istringstream lines(out);
    std::string line, last;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '{') last = line;
    }
    return last.empty() ? nlohmann::json() : nlohmann::json::parse(last);
}

// The number after `key` in `text` ("... from sample 1234").
uint64_t NumberAfter(const std::string& text, const std::string& key) {
    const auto at = text.find(key);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size()));
}

// Asks a --json-status play for its status until it has played `frames`.
bool WaitForFrames(Kvhost& play, uint64_t frames) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const std::size_t seen = play.Out().size();
        play.Send("status");
        for (int i = 0; i < 100 && play.Out().size() == seen; ++i) Sleep(0.01);
        const nlohmann::json status = LastStatus(play.Out());
        if (status.contains("frames") && status["frames"].get<uint64_t>() >= frames) return true;
        Sleep(0.05);
    }
    return false;
}

// ---- Recording equals render ---------------------------------------------------------

class RecordingEqualsRender : public ::testing::TestWithParam<int> {};

// Both Twin-Op algorithms play twin_op_notes.mid at once, as two clients of one server; each
// recording is `kvhost render` of its patch, sample for sample (block size 64 whatever the
// period, a period of 48 included).
TEST_P(RecordingEqualsRender, TwinOpUnderTheNotesBothAlgorithms) {
    const int period = GetParam();
    JackServer server(period);
    const std::string seconds = "2.5";
    std::vector<std::unique_ptr<Kvhost>> plays;
    const std::vector<std::string> algorithms = {"1->1", "2->1"};
    for (std::size_t a = 0; a < algorithms.size(); ++a) {
        const std::string patch = Dir() + "/patch" + std::to_string(a) + ".json";
        WriteFile(patch, TwinOpPatch(algorithms[a], kNotes, 48000));
        plays.push_back(std::make_unique<Kvhost>(std::vector<std::string>{
            "play", patch, "--seconds", seconds, "--record", "rec" + std::to_string(a) + ".wav",
            "--name", "alg" + std::to_string(a)}));
    }
    for (std::size_t a = 0; a < algorithms.size(); ++a) {
        const Finished f = plays[a]->Wait();
        ASSERT_EQ(f.code, 0) << f.err;
        EXPECT_NE(f.err.find("period " + std::to_string(period) + ", block 64"), std::string::npos)
            << f.err;
        const std::string index = std::to_string(a);
        const Finished r = RunKvhost({"render", "patch" + index + ".json", "--seconds", seconds,
                                      "-o", "render" + index + ".wav"});
        ASSERT_EQ(r.code, 0) << r.err;
        SCOPED_TRACE("algorithm " + algorithms[a]);
        ExpectSameAudio(ReadAudio(Dir() + "/rec" + index + ".wav"),
                        ReadAudio(Dir() + "/render" + index + ".wav"));
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, RecordingEqualsRender, ::testing::Values(16, 48, 64, 256, 1024),
                         [](const auto& info) { return "Period" + std::to_string(info.param); });

// The server's period changes under a running play (64, then 48, then 256): the block size
// holds and the recording is still `render`'s, sample for sample; --connect finds the
// playback ports.
TEST(PeriodChanges, LeaveTheRecordingEqualToRender) {
    JackServer server(64);
    WriteFile(Dir() + "/patch.json", TwinOpPatch("2->1", kNotes, 48000));
    Kvhost play({"play", "patch.json", "--seconds", "2.5", "--record", "rec.wav", "--connect",
                 "--json-status"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    jack_status_t status{};
    jack_client_t* client = jack_client_open("kvtest_period", JackNoStartServer, &status);
    ASSERT_NE(client, nullptr);
    for (jack_nframes_t period : {48u, 256u}) {
        ASSERT_TRUE(WaitForFrames(play, period == 48 ? 24000 : 48000));
        EXPECT_EQ(jack_set_buffer_size(client, period), 0);
    }
    jack_client_close(client);
    const Finished f = play.Wait();
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_NE(f.err.find("connected kvhost:osc.Output -> system:playback_1"), std::string::npos)
        << f.err;
    for (const char* seen : {"\"period\":48,", "\"period\":256,"}) {
        EXPECT_NE(f.out.find(seen), std::string::npos) << seen;
    }
    ASSERT_EQ(RunKvhost({"render", "patch.json", "--seconds", "2.5", "-o", "render.wav"}).code, 0);
    ExpectSameAudio(ReadAudio(Dir() + "/rec.wav"), ReadAudio(Dir() + "/render.wav"));
}

// ---- Live MIDI -----------------------------------------------------------------------

// A JACK client with one MIDI output that plays notes from its own start: each key held for
// `hold` seconds, then `gap` seconds of silence.
class NoteSender {
  public:
    NoteSender(const std::vector<uint8_t>& keys, double hold, double gap) {
        jack_status_t status{};
        client_ = jack_client_open("kvtest_keys", JackNoStartServer, &status);
        if (client_ == nullptr) throw std::runtime_error("no test MIDI client");
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        const double rate = jack_get_sample_rate(client_);
        uint64_t at = static_cast<uint64_t>(0.2 * rate);
        for (uint8_t key : keys) {
            events_.push_back({at, 0x90, key, 100});
            at += static_cast<uint64_t>(hold * rate);
            events_.push_back({at, 0x80, key, 0});
            at += static_cast<uint64_t>(gap * rate);
        }
        jack_set_process_callback(client_, &NoteSender::Process, this);
        jack_activate(client_);
    }
    ~NoteSender() {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    bool Connect(const std::string& to) {
        const std::string from = std::string(jack_get_client_name(client_)) + ":out";
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (jack_connect(client_, from.c_str(), to.c_str()) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Go() { going_ = true; }
    bool Done() const { return next_.load() == events_.size(); }

  private:
    struct Event {
        uint64_t frame;
        uint8_t status, key, velocity;
    };
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<NoteSender*>(arg);
        void* buffer = jack_port_get_buffer(self->port_, frames);
        jack_midi_clear_buffer(buffer);
        if (!self->going_) return 0;
        std::size_t next = self->next_;
        while (next < self->events_.size() && self->events_[next].frame < self->pos_ + frames) {
            const Event& e = self->events_[next++];
            const jack_midi_data_t bytes[3] = {e.status, e.key, e.velocity};
            jack_midi_event_write(buffer, static_cast<jack_nframes_t>(e.frame - self->pos_), bytes,
                                  3);
        }
        self->next_ = next;
        self->pos_ += frames;
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::vector<Event> events_;
    uint64_t pos_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> going_{false};
};

TEST(PlayLive, NotesFromAnotherClientSoundAtTheirKeys) {
    JackServer server(64);
    WriteFile(Dir() + "/live.json", TwinOpPatch("2->1", "live", 0));
    Kvhost play({"play", "live.json", "--record", "live.wav", "--name", "livekeys"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    const std::vector<uint8_t> keys = {57, 60, 64, 67, 72, 62};
    NoteSender sender(keys, 0.2, 0.1);
    ASSERT_TRUE(sender.Connect("livekeys:midi_in"));
    sender.Go();
    for (int i = 0; i < 3000 && !sender.Done(); ++i) Sleep(0.02);
    ASSERT_TRUE(sender.Done());
    Sleep(0.3);
    play.Signal(SIGINT);
    const Finished f = play.Wait();
    ASSERT_EQ(f.code, 0) << f.err;

    // Each note is a stretch of sound between stretches of silence (the gate closes).
    const Audio rec = ReadAudio(Dir() + "/live.wav");
    ASSERT_EQ(rec.rate, 48000);
    std::vector<std::pair<std::size_t, std::size_t>> notes;
    std::size_t quiet = 1000, start = 0;
    for (std::size_t i = 0; i < rec.samples.size(); ++i) {
        if (rec.samples[i] != 0.0f) {
            if (quiet >= 1000) start = i;
            quiet = 0;
        } else if (++quiet == 1000) {
            notes.emplace_back(start, i - 1000 + 1);
        }
    }
    ASSERT_EQ(notes.size(), keys.size());
    for (std::size_t n = 0; n < keys.size(); ++n) {
        const auto [from, to] = notes[n];
        const std::size_t edge = (to - from) / 10;
        const double hz = Frequency(rec.samples.data() + from + edge, to - from - 2 * edge, 48000);
        const double expected = 440.0 * std::pow(2.0, (keys[n] - 69) / 12.0);
        EXPECT_NEAR(hz / expected, 1.0, 0.005) << "key " << int(keys[n]) << ": " << hz << " Hz";
        EXPECT_NEAR(static_cast<double>(to - from) / 48000, 0.2, 0.01);  // held 0.2 s
    }
}

// ---- Live control --------------------------------------------------------------------

const char* const kOsc = R"({
  "sample_rate": 48000, "block_size": 64,
  "modules": [{"name": "osc", "plugin": "ZOR Twin-Op",
               "pins": {"Algorithm": "1->1", "OP1 FB/Level": 5, "OP2 Level": 2}}],
  "audio": {"outputs": ["osc.Output"]}
})";

// `set` lines change a running oscillator's pitch, then its algorithm: each reply names the
// sample the change took effect at, the start of a period, and the recording is the patch
// with those changes made at those samples. A wrong line changes nothing.
TEST(PlayLive, SetLinesChangeAtThePeriodAfterTheLine) {
    JackServer server(64);
    WriteFile(Dir() + "/osc.json", kOsc);
    Kvhost play({"play", "osc.json", "--record", "osc.wav"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    Sleep(0.4);
    play.Send("set osc.OP1 Pitch 6");
    play.Send("set osc.OP1 Pich 7");
    play.Send("set osc.Algorithm 4->4");
    ASSERT_TRUE(play.WaitForOutput("osc.OP1 Pitch = 6 from sample ", 10)) << play.Out();
    Sleep(0.3);
    play.Send("set osc.Algorithm 2->1");
    ASSERT_TRUE(play.WaitForOutput("osc.Algorithm = 2->1 from sample ", 10)) << play.Out();
    play.Send("get osc.Algorithm");
    play.Send("quit");
    const Finished f = play.Wait();
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_NE(f.out.find("osc.Algorithm = 2->1\n"), std::string::npos) << f.out;
    EXPECT_NE(f.err.find("kvhost: line 2: module \"osc\" has no pin \"OP1 Pich\""),
              std::string::npos)
        << f.err;
    EXPECT_NE(f.err.find("kvhost: line 3: \"osc.Algorithm\": \"4->4\" is not one of: "),
              std::string::npos)
        << f.err;

    const uint64_t pitch_at = NumberAfter(f.out, "osc.OP1 Pitch = 6 from sample ");
    const uint64_t algorithm_at = NumberAfter(f.out, "osc.Algorithm = 2->1 from sample ");
    EXPECT_EQ(pitch_at % 64, 0u);
    EXPECT_EQ(algorithm_at % 64, 0u);
    ASSERT_LT(pitch_at, algorithm_at);
    const Audio rec = ReadAudio(Dir() + "/osc.wav");
    ASSERT_GT(rec.samples.size(), algorithm_at);
    ASSERT_EQ(rec.samples.size() % 64, 0u);  // whole periods, up to `quit`

    kvhost::Patch model(kvhost::ParsePatch(kOsc, "osc.json"));
    std::vector<float> want(rec.samples.size());
    for (uint32_t done = 0; done < want.size(); done += 64) {
        if (done == pitch_at) model.Instance("osc").SetConstant("OP1 Pitch", 0.6f, done);
        if (done == algorithm_at) model.Instance("osc").SetValue("Algorithm", 1.0, done);
        model.Render(want.data() + done, 64);
    }
    ExpectSameAudio(rec, {1, 48000, want});
}

// Both sides of mxt_AnimVolts, the GUI side on the main thread and the DSP side on the audio
// thread: a still "Volts In" moves the control, the control sets "Volts Out", and 10,000
// rapid changes each way all arrive, in order.
TEST(PlayLive, AnimVoltsBothSidesAcrossTheThreads) {
    JackServer server(64);
    WriteFile(Dir() + "/av.json", R"({
      "modules": [{"name": "av", "plugin": "mxt_AnimVolts"}],
      "audio": {"outputs": ["av.Volts Out"]}
    })");
    Kvhost play({"play", "av.json", "--record", "av.wav", "--json-status"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    ASSERT_TRUE(WaitForFrames(play, 4800));  // the first tick has cleared the hold on reports

    // Voltage to control: the first report after the GUI side's start is the one it drops.
    play.Send("set av.Volts In 1");
    play.Send("set av.Volts In 2.5");
    ASSERT_TRUE(play.WaitForOutput("av.Volts In = 2.5 from sample", 10));
    Sleep(0.1);
    play.Send("get av.Anim Position");
    ASSERT_TRUE(play.WaitForOutput("av.Anim Position = 0.25\n", 10)) << play.Out();

    // Control to voltage.
    play.Send("set av.Anim Position 0.75");
    Sleep(0.1);
    play.Send("get av.Volts Out");
    ASSERT_TRUE(play.WaitForOutput("av.Volts Out = 7.5\n", 10)) << play.Out();

    constexpr int kChanges = 10000;
    for (int i = 1; i <= kChanges; ++i) play.Send("set av.Volts In " + std::to_string(i * 0.0005));
    play.Send("get av.Anim Position");
    ASSERT_TRUE(play.WaitForOutput("av.Anim Position = 0.5\n", 30)) << play.Out().size();
    const std::string before = play.Out();
    for (int i = 1; i <= kChanges; ++i) {
        play.Send("set av.Anim Position " + std::to_string(i / 20000.0));
    }
    play.Send("get av.Volts Out");
    ASSERT_TRUE(play.WaitForOutput("av.Volts Out = 5\n", 30));
    Sleep(0.2);
    play.Send("quit");
    const Finished f = play.Wait();
    ASSERT_EQ(f.code, 0) << f.err;

    const nlohmann::json status = LastStatus(f.out);
    ASSERT_TRUE(status.contains("final")) << f.out.substr(f.out.size() - 2000);
    EXPECT_EQ(status["reports_lost"], 0);
    EXPECT_EQ(status["carried"], status["to_gui"]);
    EXPECT_GE(status["to_gui"].get<int>(), kChanges + 2);
    EXPECT_GE(status["from_gui"].get<int>(), kChanges + 1);
    // Every value the GUI side sent, and every line's change, reached the DSP side.
    EXPECT_EQ(status["to_dsp"].get<int>(), status["from_gui"].get<int>() + kChanges + 2);

    // The recording of "Volts Out" once the last "Volts In" change has passed through (one
    // block): only the control's values, rising to the last.
    const uint64_t controlled = NumberAfter(before, "av.Volts In = 5 from sample ") + 64;
    const Audio rec = ReadAudio(Dir() + "/av.wav");
    ASSERT_GT(rec.samples.size(), controlled);
    std::size_t i = controlled;
    while (i < rec.samples.size() && rec.samples[i] == 0.5f) ++i;
    float last = -1.0f;
    int steps = 0;
    for (; i < rec.samples.size(); ++i) {
        if (rec.samples[i] == last) continue;
        ASSERT_GT(rec.samples[i], last) << "at sample " << i;
        last = rec.samples[i];
        ++steps;
    }
    EXPECT_EQ(last, 0.5f);
    EXPECT_GT(steps, 10);
}

// ---- The audio thread's discipline ----------------------------------------------------

TEST(PlayDemo, AudioThreadNeitherAllocatesNorLocksInTenSeconds) {
    JackServer server(64, 44100);
    const Finished f = RunKvhost(
        {"play", KVHOST_EXAMPLES "/demo.json", "--seconds", "10", "--json-status", "--check-rt"},
        120);
    ASSERT_EQ(f.code, 0) << f.err;
    const nlohmann::json status = LastStatus(f.out);
    ASSERT_TRUE(status.contains("final")) << f.out;
    EXPECT_GE(status["frames"].get<int>(), 441000);
    EXPECT_GT(status["audio_thread"]["periods"].get<int>(), 441000 / 64 - 1);
    EXPECT_EQ(status["audio_thread"]["checked"], true);
    EXPECT_EQ(status["audio_thread"]["allocations"], 0);
    EXPECT_EQ(status["audio_thread"]["locks"], 0);
}

// ---- Stopping and failing ------------------------------------------------------------

// Ctrl-C in the middle of a recording: exit 0 and a complete file holding every frame played,
// those of `render` from the start. (The live demo patch, playing a MIDI file at the
// server's rate.)
TEST(PlayStop, SigintMidRecordingLeavesACompleteFile) {
    JackServer server(256, 44100);
    const std::string patch = KVHOST_EXAMPLES "/demo_live.json";
    Kvhost play({"play", patch, "--midi", kNotes, "--record", "notes.wav"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    Sleep(0.8);
    play.Signal(SIGINT);
    const Finished f = play.Wait();
    ASSERT_EQ(f.code, 0) << f.err;
    const uint64_t frames = NumberAfter(f.err, "recorded ");
    ASSERT_GT(frames, 0u) << f.err;
    const Audio rec = ReadAudio(Dir() + "/notes.wav");
    ASSERT_EQ(rec.samples.size(), frames);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.17g", static_cast<double>(frames) / 44100.0);
    const Finished r =
        RunKvhost({"render", patch, "--midi", kNotes, "--seconds", seconds, "-o", "r.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The same as render up to the last periods, where stopping ended the note: the gate
    // closed, so the last block is silence.
    Audio head = rec, want = ReadAudio(Dir() + "/r.wav");
    ASSERT_GT(frames, 4096u);
    head.samples.resize(frames - 2048);
    want.samples.resize(frames - 2048);
    ExpectSameAudio(head, want);
    for (std::size_t i = rec.samples.size() - 64; i < rec.samples.size(); ++i) {
        ASSERT_EQ(rec.samples[i], 0.0f) << "sample " << i << " after the notes ended";
    }
}

// With a MIDI file and no --seconds, play ends as render does (the file's end and a second),
// its recording render's frames; --hold plays on.
TEST(PlayStop, AMidiFileEndsPlayLikeRenderUnlessHeld) {
    JackServer server(256, 44100);
    const std::string patch = KVHOST_EXAMPLES "/demo_live.json";
    const Finished f = RunKvhost({"play", patch, "--midi", kNotes, "--record", "ended.wav"}, 60.0);
    ASSERT_EQ(f.code, 0) << f.err;
    const Finished r = RunKvhost({"render", patch, "--midi", kNotes, "-o", "whole.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectSameAudio(ReadAudio(Dir() + "/ended.wav"), ReadAudio(Dir() + "/whole.wav"));

    // Held, it plays on past render's length (counted in the frames it played, so a slow
    // machine takes longer but the same).
    const uint64_t frames = ReadAudio(Dir() + "/whole.wav").samples.size();
    Kvhost held({"play", patch, "--midi", kNotes, "--hold", "--json-status"});
    ASSERT_TRUE(held.WaitForError("playing", 20)) << held.Err();
    ASSERT_TRUE(WaitForFrames(held, frames + 44100)) << held.Err();
    held.Send("quit");
    const Finished h = held.Wait();
    ASSERT_EQ(h.code, 0) << h.err;
    const std::size_t played = h.err.find("played ");
    ASSERT_NE(played, std::string::npos) << h.err;
    EXPECT_GE(NumberAfter(h.err.substr(played), "s ("), frames + 44100) << h.err;
}

// --control: a FIFO takes lines from writers that come and go; a plain file is read to its
// end (its lines, then nothing more).
TEST(PlayStop, ControlLinesFromAFifoOrAFile) {
    JackServer server(256);
    WriteFile(Dir() + "/osc.json", kOsc);
    const std::string fifo = Dir() + "/control";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Kvhost play({"play", "osc.json", "--control", "control"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    WriteFile(fifo, "set osc.OP1 Pitch 6\n");
    ASSERT_TRUE(play.WaitForOutput("osc.OP1 Pitch = 6 from sample", 10)) << play.Out();
    WriteFile(fifo, "get osc.OP1 Pitch\nquit\n");
    Finished f = play.Wait(20);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_NE(f.out.find("osc.OP1 Pitch = 6\n"), std::string::npos) << f.out;

    WriteFile(Dir() + "/lines.txt", "get osc.Algorithm\nquit");
    f = RunKvhost({"play", "osc.json", "--control", "lines.txt"}, 20);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.out, "osc.Algorithm = 1->1\n");
}

TEST(PlayErrors, NoServer) {
    ::setenv("JACK_DEFAULT_SERVER", ("kvtest_absent_" + std::to_string(::getpid())).c_str(), 1);
    ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    WriteFile(Dir() + "/p.json", TwinOpPatch("1->1", "", 0));
    const Finished f = RunKvhost({"play", "p.json"});
    EXPECT_EQ(f.code, 8);
    EXPECT_NE(f.err.find("no JACK server \"kvtest_absent_"), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("jackd -d"), std::string::npos) << f.err;
}

// A taken client name, a patch without audio outputs, a rate the server does not run at,
// and the server going away under a running play: each exits 8 with its message.
TEST(PlayErrors, TheAudioSystemRefusesOrGoesAway) {
    JackServer server(64);
    WriteFile(Dir() + "/p.json", TwinOpPatch("1->1", "", 0));
    Kvhost first({"play", "p.json", "--name", "taken", "--record", "first.wav"});
    ASSERT_TRUE(first.WaitForError("playing", 20)) << first.Err();

    Finished f = RunKvhost({"play", "p.json", "--name", "taken"});
    EXPECT_EQ(f.code, 8);
    EXPECT_NE(f.err.find("the client name \"taken\" is taken"), std::string::npos) << f.err;

    WriteFile(Dir() + "/silent.json", R"({"modules": [{"name": "scale", "plugin": "jx_VecMul"}]})");
    f = RunKvhost({"play", "silent.json"});
    EXPECT_EQ(f.code, 8);
    EXPECT_NE(f.err.find("silent.json has no audio output"), std::string::npos) << f.err;

    WriteFile(Dir() + "/cd.json", TwinOpPatch("1->1", "", 44100));
    f = RunKvhost({"play", "cd.json"});
    EXPECT_EQ(f.code, 8);
    EXPECT_NE(f.err.find("plays at 44100 Hz but JACK server"), std::string::npos) << f.err;

    server.Stop();
    f = first.Wait(20);
    EXPECT_EQ(f.code, 8) << f.err;
    EXPECT_NE(f.err.find("shut down"), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("recorded "), std::string::npos) << f.err;
    EXPECT_EQ(ReadAudio(Dir() + "/first.wav").samples.size(), NumberAfter(f.err, "recorded "));
}

}  // namespace
}  // namespace play_test
