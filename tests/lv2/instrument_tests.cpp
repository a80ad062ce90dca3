// The built instrument bundles loaded through lilv, as a DAW loads them: fed MIDI in runs of
// random lengths, they sound exactly as kvhost render sounds the same patch, a block less a
// frame later, and run() allocates nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "apply_equals_render.h"
#include "instrument.h"
#include "jack_server.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "lilv_host.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMaxRun = 700;

// An instrument through lilv: MIDI port fed from a MidiBuffer, one output, controls at their
// defaults (values by symbol).
class Player {
  public:
    Player(kvhost::lv2::BundleWorld& world, const std::string& uri, double rate,
           kvhost::lv2::LilvHost& host)
        : world_(world), plugin_(world.Plugin(uri)), midi_(host) {
        if (plugin_ == nullptr) return;
        const uint32_t n = lilv_plugin_get_num_ports(plugin_);
        values_.assign(n, 0.0f);
        std::vector<float> low(n), high(n), def(n);
        lilv_plugin_get_port_ranges_float(plugin_, low.data(), high.data(), def.data());
        instance_ = lilv_plugin_instantiate(plugin_, rate, host.Features());
        if (instance_ == nullptr) return;
        for (uint32_t p = 0; p < n; ++p) {
            values_[p] = std::isnan(def[p]) ? 0.0f : def[p];
            lilv_instance_connect_port(instance_, p, &values_[p]);
        }
        out_.assign(kMaxRun, 0.0f);
        lilv_instance_connect_port(instance_, Port("midi_in"), midi_.Data());
        lilv_instance_connect_port(instance_, Port("voice_output"), out_.data());
        lilv_instance_activate(instance_);
    }
    ~Player() {
        if (instance_ != nullptr) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
        }
    }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    bool Ok() const { return instance_ != nullptr; }
    uint32_t Port(const char* symbol) {
        const int32_t p = world_.PortIndex(plugin_, symbol);
        EXPECT_GE(p, 0) << symbol;
        return static_cast<uint32_t>(std::max(p, 0));
    }
    float& Value(const char* symbol) { return values_[Port(symbol)]; }
    kvhost::lv2::MidiBuffer& Midi() { return midi_; }
    // One run; its output appended to `played`.
    void Run(uint32_t frames, std::vector<float>& played) {
        lilv_instance_run(instance_, frames);
        midi_.Clear();
        played.insert(played.end(), out_.begin(), out_.begin() + frames);
    }

  private:
    kvhost::lv2::BundleWorld& world_;
    const LilvPlugin* plugin_;
    LilvInstance* instance_ = nullptr;
    kvhost::lv2::MidiBuffer midi_;
    std::vector<float> values_, out_;
};

// A control change the host makes at the start of the run beginning at `frame`.
struct Change {
    uint64_t frame;
    const char* symbol;
    const char* pin;  // module "voice"
    float value;
};

// Plays `events` (raw, as a DAW sends them) and `changes` into the instrument in runs of
// random lengths (1 to kMaxRun frames, starting where a change falls), `length` frames and the
// latency; answers what it played, the latency taken off the front.
std::vector<float> PlayInRuns(const std::string& uri, double rate,
                              const std::vector<kvhost::MidiEvent>& events,
                              const std::vector<Change>& changes, uint64_t length, uint32_t seed) {
    kvhost::lv2::BundleWorld world(KVLV2_BUNDLES);
    kvhost::lv2::LilvHost host;
    host.SetBlockOptions(0, kMaxRun);  // no nominal length: runs of any length
    Player player(world, uri, rate, host);
    EXPECT_TRUE(player.Ok()) << host.LogText();
    if (!player.Ok()) return {};
    std::vector<float> played;
    played.reserve(length + 2 * kMaxRun);
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> run_length(1, kMaxRun);
    std::size_t next = 0, next_change = 0;
    const std::size_t allocations = kvbench::TotalAllocations();
    uint32_t latency = 0;
    for (uint64_t start = 0; start < length + latency;) {
        uint64_t end = start + run_length(random);
        if (next_change < changes.size()) {
            if (changes[next_change].frame == start) {
                player.Value(changes[next_change].symbol) = changes[next_change].value;
                ++next_change;
            }
            if (next_change < changes.size()) end = std::min(end, changes[next_change].frame);
        }
        for (; next < events.size() && events[next].sample < end; ++next) {
            const kvhost::MidiEvent& e = events[next];
            player.Midi().Add(static_cast<int64_t>(e.sample - start), e.status, e.d1, e.d2);
        }
        player.Run(static_cast<uint32_t>(end - start), played);
        latency = static_cast<uint32_t>(player.Value("latency"));
        start = end;
    }
    EXPECT_EQ(kvbench::TotalAllocations(), allocations) << "run() allocated";
    EXPECT_EQ(latency, 63u) << "a block of 64 less one frame, for runs of any length";
    EXPECT_EQ(host.LogText(), "");
    played.erase(played.begin(), played.begin() + latency);
    played.resize(length);
    return played;
}

void ExpectSameSamples(const std::vector<float>& got, const std::vector<float>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    std::size_t differing = 0, first = got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(expected[i])) {
            ++differing;
            first = std::min(first, i);
        }
    }
    EXPECT_EQ(differing, 0u) << "first at frame " << first;
    float peak = 0.0f;
    for (const float x : expected) peak = std::max(peak, std::fabs(x));
    EXPECT_GT(peak, 0.01f) << "the patch was silent: nothing compared";
}

const std::string kPolyChords = "urn:kolvex:patch:poly_chords";

// The heart of the instrument: a MIDI file played by a DAW equals kvhost render of the same
// patch and file, bit for bit, for several patterns of run lengths.
TEST(Instrument, PlaysAMidiFileExactlyAsRenderDoes) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("kvinst_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string patch = std::string(KV_EXAMPLES) + "/poly_chords.json";
    const kvtest::ShellResult r = kvtest::RunShell(
        dir, kvtest::Quoted(KVHOST_TOOL) + " render " + kvtest::Quoted(patch) + " -o rendered.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<float> rendered = kvtest::ReadSound(dir / "rendered.wav");
    const kvhost::MidiSequence file = kvhost::ReadMidiFile(
        std::string(KV_EXAMPLES) + "/poly_chords.mid", 44100.0, kvhost::MidiDelivery::kRaw);
    for (const uint32_t seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        ExpectSameSamples(PlayInRuns(kPolyChords, 44100.0, file.events, {}, rendered.size(), seed),
                          rendered);
    }
    fs::remove_all(dir);
}

// Generated playing: more keys than voices (stealing), the sustain pedal, note-ons of
// velocity 0, and control changes; the reference is the patch given the same messages and
// values up front and rendered in one go.
TEST(Instrument, GeneratedPlayingAndControlsEqualThePatchRenderedInOneGo) {
    const double rate = 48000.0;
    std::mt19937 random(7);
    std::vector<kvhost::MidiEvent> events;
    uint32_t t = 100;
    for (int i = 0; i < 160; ++i) {
        t += random() % 900;
        const auto key = static_cast<uint8_t>(40 + random() % 40);
        switch (random() % 6) {
            case 0:
                events.push_back({t, 0xB0, 64, static_cast<uint8_t>(random() % 2 ? 127 : 0)});
                break;
            case 1:
                events.push_back({t, 0x90, key, 0});  // a release
                break;
            case 2:
                events.push_back({t, 0x80, key, 64});
                break;
            default:
                events.push_back({t, 0x90, key, static_cast<uint8_t>(1 + random() % 127)});
        }
    }
    const uint64_t length = t + 24000;
    const std::vector<Change> changes = {{20000, "voice_op2_level", "OP2 Level", 0.25f},
                                         {61234, "voice_algorithm", "Algorithm", 0.0f}};

    kvhost::PatchPlan plan = kvhost::LoadPatch(std::string(KV_EXAMPLES) + "/poly_chords.json");
    plan.midi_file.reset();
    plan.midi_live = true;
    plan.sample_rate = rate;
    kvhost::Patch patch(plan);
    for (const kvhost::MidiEvent& e : events) {
        const uint8_t bytes[] = {e.status, e.d1, e.d2};
        patch.LiveMidi(e.sample, bytes, 3);
    }
    const auto& order = patch.Order();
    const auto voice =
        static_cast<int32_t>(std::find(order.begin(), order.end(), "voice") - order.begin());
    for (const Change& c : changes) {
        const int32_t pin = patch.Instance(voice).DspPin(c.pin);
        // A sample input's control port is in volts, the pin in signal units.
        const double scale =
            patch.Instance(voice).DspPinInfo(pin).datatype == DT_FSAMPLE ? 0.1 : 1.0;
        patch.Set(voice, pin, static_cast<double>(c.value) * scale, c.frame, PS_STILL);
    }
    std::vector<float> expected(length);
    patch.Render(expected.data(), static_cast<uint32_t>(length));
    ExpectSameSamples(PlayInRuns(kPolyChords, rate, events, changes, length, 3), expected);
}

// A host that runs whole blocks of the patch (its promise of fixed run lengths): no latency,
// the file's notes at their frames as render plays them.
TEST(Instrument, RunsOfWholeBlocksCostNoLatency) {
    const std::string examples = KV_EXAMPLES;
    const kvhost::PatchPlan plan = kvhost::LoadPatch(examples + "/poly_chords.json");
    const kvhost::MidiSequence file =
        kvhost::ReadMidiFile(examples + "/poly_chords.mid", 44100.0, kvhost::MidiDelivery::kRaw);
    kvhost::Patch reference(plan);
    reference.SetMidi(kvhost::ReadMidiFile(examples + "/poly_chords.mid", 44100.0));
    const uint64_t length = reference.DefaultLength();
    std::vector<float> expected(length);
    reference.Render(expected.data(), static_cast<uint32_t>(length));

    kvhost::lv2::LilvHost host;
    kvhost::lv2::Instrument instrument(
        plan, 44100.0,
        {host.Map(LV2_ATOM__Sequence), host.Map(LV2_MIDI__MidiEvent),
         host.Map(LV2_ATOM__frameTime)},
        0, [](const std::string& p) { return kvhost::Plugin::LoadFromSearchPath(p); });
    kvhost::lv2::MidiBuffer midi(host);
    const uint32_t run = 256;
    std::vector<float> out(run), values(instrument.GetLayout().ports.size());
    for (const kvhost::lv2::Port& p : instrument.GetLayout().ports) {
        values[p.index] = p.default_value;
        instrument.ConnectPort(p.index, p.kind == kvhost::lv2::PortKind::kMidiIn ? midi.Data()
                                        : p.kind == kvhost::lv2::PortKind::kAudioOut
                                            ? out.data()
                                            : &values[p.index]);
    }
    instrument.Activate();
    std::vector<float> played;
    std::size_t next = 0;
    for (uint64_t start = 0; start < length; start += run) {
        midi.Clear();
        for (; next < file.events.size() && file.events[next].sample < start + run; ++next) {
            const kvhost::MidiEvent& e = file.events[next];
            midi.Add(static_cast<int64_t>(e.sample - start), e.status, e.d1, e.d2);
        }
        instrument.Run(run);
        played.insert(played.end(), out.begin(), out.end());
    }
    EXPECT_EQ(values.back(), 0.0f) << "the latency port";
    played.resize(length);
    ExpectSameSamples(played, expected);
    EXPECT_EQ(instrument.Failure(), "");
}

// A JACK client that plays notes on its MIDI output (each key `hold` seconds, then `gap`)
// and records its audio input meanwhile.
class KeysAndRecorder {
  public:
    KeysAndRecorder(const std::vector<uint8_t>& keys, double hold, double gap) {
        jack_status_t status{};
        client_ = jack_client_open("kvtest_keys", JackNoStartServer, &status);
        if (client_ == nullptr) throw std::runtime_error("no test JACK client");
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        rate_ = jack_get_sample_rate(client_);
        auto at = static_cast<uint64_t>(0.2 * rate_);
        for (const uint8_t key : keys) {
            events_.push_back({at, 0x90, key, 100});
            at += static_cast<uint64_t>(hold * rate_);
            events_.push_back({at, 0x80, key, 0});
            at += static_cast<uint64_t>(gap * rate_);
        }
        recording_.assign(at + static_cast<uint64_t>(rate_), 0.0f);
        jack_set_process_callback(client_, &KeysAndRecorder::Process, this);
        jack_activate(client_);
    }
    ~KeysAndRecorder() {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
    bool Connect(const std::string& from, const std::string& to) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (jack_connect(client_, from.c_str(), to.c_str()) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }
    void Go() { going_ = true; }
    bool Done() const { return pos_.load() >= recording_.size(); }
    double Rate() const { return rate_; }
    const std::vector<float>& Recording() const { return recording_; }

  private:
    struct Event {
        uint64_t frame;
        uint8_t status, key, velocity;
    };
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<KeysAndRecorder*>(arg);
        void* buffer = jack_port_get_buffer(self->out_, frames);
        jack_midi_clear_buffer(buffer);
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self->in_, frames));
        if (!self->going_) return 0;
        const uint64_t pos = self->pos_;
        for (;
             self->next_ < self->events_.size() && self->events_[self->next_].frame < pos + frames;
             ++self->next_) {
            const Event& e = self->events_[self->next_];
            const jack_midi_data_t bytes[3] = {e.status, e.key, e.velocity};
            jack_midi_event_write(buffer, static_cast<jack_nframes_t>(e.frame - pos), bytes, 3);
        }
        const uint64_t n = std::min<uint64_t>(
            frames, self->recording_.size() - std::min<uint64_t>(pos, self->recording_.size()));
        std::copy(in, in + n, self->recording_.begin() + static_cast<std::ptrdiff_t>(pos));
        self->pos_ = pos + frames;
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t *out_ = nullptr, *in_ = nullptr;
    double rate_ = 48000.0;
    std::vector<Event> events_;
    std::size_t next_ = 0;
    std::vector<float> recording_;
    std::atomic<uint64_t> pos_{0};
    std::atomic<bool> going_{false};
};

// The fundamental of a stretch of samples, from its rising zero crossings (interpolated).
double Fundamental(const std::vector<float>& x, std::size_t from, std::size_t to, double rate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0) first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0.0;
}

// jalv hosts the instrument on a private JACK server: notes from another client sound at their
// keys in a recording of jalv's output, with a control set through jalv's -c (operator 2
// silent, so operator 1's sine alone).
TEST(Instrument, JalvPlaysNotesFromAJackClient) {
    JackServer server(256);
    const std::vector<uint8_t> keys = {57, 64, 72};
    const double hold = 0.5, gap = 0.1;
    // jalv plays until its input ends: the test holds the FIFO it reads open while it listens.
    const std::string fifo = ::testing::TempDir() + "/jalv_in_" + std::to_string(::getpid());
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string env = "LV2_PATH=" + kvtest::Quoted(KVLV2_BUNDLES) + " JACK_NO_START_SERVER=1 ";
#ifdef KVLV2_PRELOAD
    env += "LD_PRELOAD=" + kvtest::Quoted(KVLV2_PRELOAD) + " ASAN_OPTIONS=detect_leaks=0 ";
#endif
    std::thread jalv([&] {
        const kvtest::ShellResult r =
            kvtest::RunShell(::testing::TempDir(), env + "jalv -n chords -c voice_op2_level=0 " +
                                                       kPolyChords + " < " + kvtest::Quoted(fifo));
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("voice_op2_level = 0.000000"), std::string::npos) << r.out;
    });
    const int input = ::open(fifo.c_str(), O_WRONLY);  // once jalv's shell opens it
    {
        KeysAndRecorder client(keys, hold, gap);
        const bool connected = client.Connect("kvtest_keys:out", "chords:midi_in") &&
                               client.Connect("chords:voice_output", "kvtest_keys:in");
        EXPECT_TRUE(connected);
        if (connected) client.Go();
        for (int i = 0; connected && i < 1000 && !client.Done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(client.Done());
        if (client.Done()) {
            const std::vector<float>& x = client.Recording();
            const double rate = client.Rate();
            for (std::size_t k = 0; k < keys.size(); ++k) {
                const double expected = 440.0 * std::pow(2.0, (keys[k] - 69) / 12.0);
                const auto from = static_cast<std::size_t>((0.2 + k * (hold + gap) + 0.1) * rate);
                const auto to = from + static_cast<std::size_t>(0.3 * rate);
                const double f = Fundamental(x, from, to, rate);
                EXPECT_NEAR(f / expected, 1.0, 0.005)
                    << "key " << int{keys[k]} << ": " << f << " Hz";
            }
        }
    }
    if (input >= 0) ::close(input);  // jalv's input ends: it quits
    jalv.join();
    ::unlink(fifo.c_str());
}

}  // namespace
