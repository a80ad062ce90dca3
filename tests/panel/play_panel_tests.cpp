// The panel of a playing patch: its model over play's engine and control path, driven period
// by period on this thread, and the page in chromium playing three keys through `kvhost play
// --panel` on a private dummy JACK server.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "engine.h"
#include "gui_sides.h"
#include "jack_server.h"
#include "play_panel.h"
#include "play_util.h"

namespace {

using namespace kvhost;
using namespace kvhost::play;

double KeyHz(int key) {
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

// A gated Twin-Op voice on the live MIDI input, its engine, GUI sides, control and panel,
// run a period at a time as the audio and main threads would take turns.
struct Playing {
    Playing()
        : plan(ParsePatch(play_test::TwinOpPatch("2->1", "live", 48000), "voice.json",
                          KVHOST_EXAMPLES)),
          engine(plan, {}),
          guis(engine, plan),
          control(engine, guis, plan, "voice.json", "",
                  {[this](const std::string& t) { replies += t + "\n"; },
                   [this](const std::string& t) { errors += t + "\n"; }, [] { return ""; }}),
          panel(engine, guis, control, plan, {"osc.Output"}) {}

    // `n` periods of 256 frames, each followed by the main thread's turn.
    PanelUpdates Run(int n, bool frames = false) {
        PanelUpdates all;
        std::vector<float> out(256);
        float* outs[] = {out.data()};
        for (int i = 0; i < n; ++i) {
            engine.Process(256, outs, nullptr, 0);
            control.Exchange();
            PanelUpdates u;
            panel.Collect(u, frames && i == n - 1);
            all.pins.insert(all.pins.end(), u.pins.begin(), u.pins.end());
            all.scopes = u.scopes;
            if (u.spectrum) all.spectrum = u.spectrum;
        }
        return all;
    }
    // Runs until the panel has gathered the DSP values again (it asks every 30 ms).
    PanelUpdates Settle() {
        PanelUpdates all;
        for (int i = 0; i < 4; ++i) {
            usleep(35000);
            PanelUpdates u = Run(2);
            all.pins.insert(all.pins.end(), u.pins.begin(), u.pins.end());
        }
        return all;
    }
    int32_t PinIndex(int32_t module, const std::string& name) {
        const PanelLayout layout = panel.Layout();  // held: the loop reads into it
        for (const PanelPin& p : layout.modules[static_cast<std::size_t>(module)].pins) {
            if (p.name == name) return p.index;
        }
        return -1;
    }

    PatchPlan plan;
    Engine engine;
    GuiSides guis;
    std::string replies, errors;
    Control control;
    PlayPanel panel;
};

bool Changed(const PanelUpdates& u, int32_t module, int32_t pin, const std::string& value) {
    for (const PinChange& c : u.pins) {
        if (c.module == module && c.pin == pin && c.value == value) return true;
    }
    return false;
}

TEST(PlayPanel, SetsGoThroughTheControlPathAndReadBackWithoutPrinting) {
    Playing p;
    const PanelLayout layout = p.panel.Layout();
    ASSERT_EQ(layout.modules.size(), 2u);
    EXPECT_TRUE(layout.midi_input);
    EXPECT_EQ(layout.sample_rate, 48000.0);
    const int32_t level = p.PinIndex(1, "OP2 Level");
    const int32_t algorithm = p.PinIndex(1, "Algorithm");
    EXPECT_EQ(p.panel.Get("osc", "OP2 Level"), "0");

    p.panel.Set("osc", "OP2 Level", "3");
    EXPECT_EQ(p.panel.Get("osc", "OP2 Level"), "3") << "shown at once";
    p.panel.Set("osc", "Algorithm", "1->1");
    const PanelUpdates u = p.Settle();
    EXPECT_TRUE(Changed(u, 1, level, "3"));
    EXPECT_TRUE(Changed(u, 1, algorithm, p.panel.Get("osc", "Algorithm")));
    EXPECT_NE(p.panel.Get("osc", "Algorithm"), "1");  // its number, not its label
    // What the audio thread holds, asked as a control line asks it.
    p.control.Line("get osc.OP2 Level");
    p.Run(2);
    EXPECT_NE(p.replies.find("osc.OP2 Level = 3"), std::string::npos) << p.replies;
    EXPECT_EQ(p.replies, "osc.OP2 Level = 3\n") << "the panel's own sets print nothing";

    // Refusals change nothing: a bad value, an unknown pin, an output, a wired input.
    EXPECT_THROW(p.panel.Set("osc", "OP2 Level", "loud"), Error);
    EXPECT_THROW(p.panel.Set("osc", "Nope", "1"), Error);
    EXPECT_THROW(p.panel.Set("osc", "Output", "1"), Error);
    EXPECT_THROW(p.panel.Set("osc", "OP1 Pitch", "1"), Error);
    EXPECT_THROW(p.panel.Set("nobody", "OP2 Level", "1"), Error);
    p.Settle();
    EXPECT_EQ(p.panel.Get("osc", "OP2 Level"), "3");
    EXPECT_EQ(p.errors, "");
}

TEST(PlayPanel, KeysSoundAndTheSpectrumMarksTheirFundamental) {
    Playing p;
    const int32_t pitch = p.PinIndex(0, "Pitch");
    PanelUpdates u = p.Run(20, true);
    ASSERT_TRUE(u.spectrum.has_value());
    EXPECT_EQ(u.spectrum->fundamental_hz, 0.0) << "silence before any key";

    p.panel.Note(true, 64, 100);
    u = p.Run(40, true);
    ASSERT_EQ(u.scopes.size(), 1u);
    EXPECT_EQ(u.scopes[0].module, 1);
    float top = 0.0f;
    for (float v : u.scopes[0].volts) top = std::max(top, std::fabs(v));
    EXPECT_GT(top, 0.5f) << "the scope shows the note";
    ASSERT_TRUE(u.spectrum.has_value());
    EXPECT_NEAR(u.spectrum->fundamental_hz, KeyHz(64), KeyHz(64) * 0.005);
    EXPECT_EQ(p.engine.GetStats().last_note.load(), 64);
    // The read-out may come while the periods run (a slow build) or once they settle.
    const PanelUpdates settled = p.Settle();
    u.pins.insert(u.pins.end(), settled.pins.begin(), settled.pins.end());
    EXPECT_TRUE(std::any_of(u.pins.begin(), u.pins.end(), [&](const PinChange& c) {
        return c.module == 0 && c.pin == pitch;
    })) << "the converter's pitch read-out follows the key";
    p.panel.Note(false, 64, 0);

    EXPECT_THROW(p.panel.Note(true, 128, 100), Error);
    EXPECT_THROW(p.panel.Watch("keys", "Pitch"), Error) << "not an audio output";
    EXPECT_NO_THROW(p.panel.Watch("osc", "Output"));
}

// Learning through the panel's model: a controller from the page (Web MIDI) or the port is
// mapped to the pin waiting, moves it, is listed, and goes again; what may not be learned is
// refused and changes nothing.
TEST(PlayPanel, TheNextControllerIsLearnedListedAndRemoved) {
    Playing p;
    const PanelLayout layout = p.panel.Layout();
    EXPECT_TRUE(layout.learn);
    const int32_t op2 = p.PinIndex(1, "OP2 Pitch");
    std::vector<std::string> learnable;
    for (const PanelModule& m : layout.modules) {
        for (const PanelPin& pin : m.pins) {
            if (pin.learn) learnable.push_back(m.name + "." + pin.name);
        }
    }
    EXPECT_EQ(learnable, (std::vector<std::string>{"keys.Channel", "keys.Bend Range",
                                                   "keys.Retrigger", "osc.On/Off", "osc.Algorithm",
                                                   "osc.OP2 Pitch", "osc.OP2 Level"}));
    for (const char* pin : {"OP1 Pitch", "Output", "Nope"}) {
        EXPECT_THROW(p.panel.Learn("osc", pin), Error) << pin;
    }
    EXPECT_THROW(p.panel.Controller(0, 1, 1), Error);
    EXPECT_THROW(p.panel.Controller(1, 128, 1), Error);
    EXPECT_THROW(p.panel.Unmap(30, "osc", "OP2 Pitch"), Error) << "nothing mapped";

    p.panel.Learn("osc", "OP2 Pitch");
    PanelUpdates u;
    p.panel.Collect(u, false);
    ASSERT_TRUE(u.maps.has_value());
    EXPECT_EQ(u.maps->learn_module, 1);
    EXPECT_EQ(u.maps->learn_pin, op2);
    p.panel.Controller(4, 30, 127);
    p.Run(2);
    const PanelMaps maps = p.panel.Maps();
    ASSERT_EQ(maps.mappings.size(), 1u);
    const PanelMapping& m = maps.mappings[0];
    EXPECT_EQ(std::vector<int32_t>({m.cc, m.channel, m.module, m.pin}),
              std::vector<int32_t>({30, 4, 1, op2}));
    EXPECT_EQ(std::pair(m.low, m.high), std::pair(0.0, 10.0));
    EXPECT_EQ(maps.learn_module, -1);
    p.control.Line("get osc.OP2 Pitch");
    p.panel.Controller(4, 30, 0);
    p.Run(2);
    p.control.Line("get osc.OP2 Pitch");
    p.Run(2);
    EXPECT_EQ(p.replies,
              "learned cc 30 channel 4 -> osc.OP2 Pitch 0 10\nosc.OP2 Pitch = 10\n"
              "osc.OP2 Pitch = 0\n");
    p.panel.Unmap(30, "osc", "OP2 Pitch");
    p.Run(2);
    EXPECT_TRUE(p.panel.Maps().mappings.empty());
    EXPECT_EQ(p.errors, "");
}

// A browser test (`script`, node's test runner) against `kvhost play PATCH --panel --record`
// on the JACK server the caller started; the recording it leaves.
play_test::Audio PlayedFromTheBrowser(const char* script, const std::string& patch_text) {
    const std::string dir = play_test::Dir();
    const std::string patch = dir + "/voice.json", record = dir + "/played.wav";
    play_test::WriteFile(patch, patch_text);
    ::unlink(record.c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("KV_PLAY_PATCH", patch.c_str(), 1);
        ::setenv("KV_PLAY_RECORD", record.c_str(), 1);
        ::setenv("KVHOST_TOOL", KVHOST_TOOL, 1);
        ::setenv("KV_PANEL_SHOTS", KV_PANEL_SHOTS, 1);
        ::execlp(KV_NODE, KV_NODE, "--test", script, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the browser test failed";
    return play_test::ReadAudio(record);
}

// The page in chromium plays three keys through `kvhost play --panel`; the recording holds
// the three notes at their keys' pitches.
TEST(PlayPanel, ThreeKeysFromTheBrowserOnADummyJackServer) {
    JackServer server(256);
    const play_test::Audio audio =
        PlayedFromTheBrowser(KV_PLAY_BROWSER_TEST, play_test::TwinOpPatch("2->1", "live", 48000));
    ASSERT_FALSE(HasFailure());

    // Each key sounds at its pitch, in the order played. The recording's timeline is JACK's,
    // not the browser's (a busy machine may cost periods), so the notes are looked for by
    // pitch in short stretches rather than by the silences between them.
    ASSERT_EQ(audio.channels, 1);
    const std::size_t window = 1200, step = 600;  // 25 ms: six cycles of the lowest key
    const int keys[] = {60, 64, 67};
    std::size_t found[3] = {0, 0, 0};  // first stretch at each key's pitch, +1
    for (std::size_t at = 0; at + window <= audio.samples.size(); at += step) {
        const float* s = audio.samples.data() + at;
        if (*std::min_element(s, s + window) > -0.25f) continue;  // silent, or only starting
        const double hz = play_test::Frequency(s, window, audio.rate);
        for (std::size_t k = 0; k < 3; ++k) {
            if (found[k] == 0 && std::fabs(hz - KeyHz(keys[k])) < KeyHz(keys[k]) * 0.005) {
                found[k] = at / step + 1;
            }
        }
    }
    for (std::size_t k = 0; k < 3; ++k) EXPECT_GT(found[k], 0u) << "key " << keys[k];
    EXPECT_LT(found[0], found[1]);
    EXPECT_LT(found[1], found[2]);
}

// Notes always end: a page that reloads while a key is held, an octave change while the
// mouse holds a key, and the panic button under a held chord. The page holds each for about
// half a second; each sounds no longer than that and a period, then silence follows.
TEST(PlayPanel, NotesEndWhenThePageGoesTheKeyboardChangesOrPanicIsPressed) {
    JackServer server(256);
    const play_test::Audio audio =
        PlayedFromTheBrowser(KV_NOTES_END_TEST, play_test::TwinOpPatch("2->1", "live", 48000));
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(audio.channels, 1);
    // Stretches of sound, 5 ms at a time.
    const std::size_t window = 240;
    std::vector<std::pair<std::size_t, std::size_t>> sounding;  // first and last window
    for (std::size_t at = 0; at + window <= audio.samples.size(); at += window) {
        const auto [lo, hi] =
            std::minmax_element(audio.samples.begin() + static_cast<long>(at),
                                audio.samples.begin() + static_cast<long>(at + window));
        if (std::max(-*lo, *hi) < 0.01f) continue;
        if (!sounding.empty() && sounding.back().second + 1 == at / window) {
            sounding.back().second = at / window;
        } else {
            sounding.emplace_back(at / window, at / window);
        }
    }
    ASSERT_EQ(sounding.size(), 3u) << "a stretch for the reload, the octave change, the panic";
    for (const auto& [first, last] : sounding) {
        // Held 0.5 s at most (0.3 s before the octave change); the page's way to the server
        // and a period may add a little on a busy machine, never the rest of the play.
        EXPECT_LT((last - first + 1) * window, 48000u * 9 / 10);
    }
}

// One controller message from a JACK client of its own into `to`, once connected.
class ControllerSender {
  public:
    ControllerSender(uint8_t status, uint8_t cc, uint8_t value) : bytes_{status, cc, value} {
        jack_status_t status_code{};
        client_ = jack_client_open("kvtest_cc", JackNoStartServer, &status_code);
        if (client_ == nullptr) throw std::runtime_error("no test MIDI client");
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &ControllerSender::Process, this);
        jack_activate(client_);
    }
    ~ControllerSender() {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    bool Send(const std::string& to) {
        const std::string from = std::string(jack_get_client_name(client_)) + ":out";
        for (int attempt = 0; attempt < 100 && jack_connect(client_, from.c_str(), to.c_str()) != 0;
             ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // connected for a period
        go_ = true;
        for (int i = 0; i < 200 && !sent_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return sent_;
    }

  private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<ControllerSender*>(arg);
        void* buffer = jack_port_get_buffer(self->port_, frames);
        jack_midi_clear_buffer(buffer);
        if (self->go_ && !self->sent_) {
            jack_midi_event_write(buffer, 0, self->bytes_, 3);
            self->sent_ = true;
        }
        return 0;
    }

    jack_midi_data_t bytes_[3];
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::atomic<bool> go_{false}, sent_{false};
};

// MIDI learn from the page: the browser test arms learn on osc's "OP2 Pitch" knob, this test
// sends controller 21 from a JACK client, and the page checks the mapping, the pin's value,
// `save` and the remove button (learn.test.mjs).
TEST(PlayPanel, AKnobLearnsAControllerFromAnotherJackClient) {
    JackServer server(256);
    const std::string dir = play_test::Dir();
    const std::string patch = dir + "/voice.json", armed = dir + "/armed";
    play_test::WriteFile(patch, play_test::TwinOpPatch("2->1", "live", 48000));
    ::unlink(armed.c_str());
    ::unlink((dir + "/learned.json").c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("KV_PLAY_PATCH", patch.c_str(), 1);
        ::setenv("KV_LEARN_DIR", dir.c_str(), 1);
        ::setenv("KVHOST_TOOL", KVHOST_TOOL, 1);
        ::setenv("KV_PANEL_SHOTS", KV_PANEL_SHOTS, 1);
        ::execlp(KV_NODE, KV_NODE, "--test", KV_LEARN_TEST, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool sent = false;
    for (int i = 0; i < 1200; ++i) {
        if (::access(armed.c_str(), F_OK) == 0) {
            ControllerSender sender(0xB0, 21, 64);
            sent = sender.Send("learnplay:midi_in");
            break;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ADD_FAILURE() << "the browser test ended before learn was armed";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(sent) << "the controller was not sent";
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the browser test failed";
}

}  // namespace
