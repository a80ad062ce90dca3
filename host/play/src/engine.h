// The audio side of `kvhost play`: the patch run in whole blocks into a small output FIFO (so
// it keeps its block size whatever the period), live MIDI and pin changes placed at their
// clocks, and the queues that carry values to and from the main thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "spsc_queue.h"

namespace kvhost::play {

// A pin change or a question for the audio thread, from the main thread. Questions are
// answered once the period's blocks have run, so an answer follows whatever the changes
// before it caused (values carried to GUI sides included).
struct Command {
    // kSync: only the answer; kPanic: all notes and sound off, the voices freed.
    // kMap: controller `cc` on `channel` (0: any) drives the pin from `value` to `high`
    // (Patch::Map); kUnmap: controller `cc`'s mappings (to the pin, or all for node -1);
    // kLearn: the next live controller message maps its controller and channel to the pin
    // from `value` to `high`; kForget: no more learning.
    enum Kind : uint8_t { kSet, kGet, kSync, kPanic, kMap, kUnmap, kLearn, kForget };
    Kind kind = kSet;
    int32_t node = 0;    // module, counted in Patch::Order()
    int32_t pin = 0;     // DSP pin
    double value = 0.0;  // kSet: in the pin's own unit (sample inputs: signal units, not volts)
    uint32_t id = 0;     // echoed in the answer; 0: no answer wanted
    uint8_t cc = 0, channel = 0;
    double high = 0.0;
};

// What the audio thread tells the main thread.
struct Report {
    // kLearned: a live controller message made the mapping kLearn asked for (`value` to
    // `high`, `cc` on `channel`); `id` is kLearn's, 0 when the table was full.
    enum Kind : uint8_t { kCarry, kApplied, kValue, kLearned };
    Kind kind = kCarry;
    int32_t node = 0;
    int32_t pin = 0;     // kCarry: the GUI side's description index; otherwise the DSP pin
    uint64_t clock = 0;  // kCarry: the clock announced; kApplied: the clock the change took
    double value = 0.0;  // kCarry, kValue; kApplied: kMap 1 (0: the table was full), kUnmap
                         // the mappings removed
    uint32_t id = 0;     // kApplied, kValue: the command's id
    uint8_t cc = 0, channel = 0;
    double high = 0.0;
};

// A MIDI message (or what came of one) that arrived during the period being processed.
struct LiveMidi {
    uint32_t offset;  // frame within the period
    uint8_t status, d1, d2;
    // How many of {status, d1, d2} came (data alone under running status); 0: a whole
    // message, as long as its status says.
    uint8_t size = 0;
};

class Engine {
  public:
    // The largest period Process takes (JACK's own largest buffer size).
    static constexpr uint32_t kMaxPeriod = 8192;
    // Pin changes applied per period at most (the rest wait for the next period, in order),
    // so the instances' event queues never grow on the audio thread.
    static constexpr std::size_t kCommandsPerPeriod = 64;
    static constexpr std::size_t kLiveMidiPerPeriod = 256;

    struct Config {
        std::optional<MidiSequence> midi;  // a MIDI file played into the patch's MIDI target
        bool loop = false;                 // the MIDI file again from its end, without end
        uint64_t length = 0;               // frames to play before finishing; 0: no end
        MidiDelivery delivery = MidiDelivery::kHost;
        uint64_t start_clock = 0;  // the host clock of the first frame (tests of the wrap)
    };
    // Builds and opens the patch (kvhost::Error / LoadError as Patch throws them).
    Engine(const PatchPlan& plan, Config config);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // ---- Set-up, on the main thread before the audio thread starts -------------------
    Patch& GetPatch() { return *patch_; }
    DspInstance& Node(int32_t node) { return *nodes_[static_cast<std::size_t>(node)]; }
    int32_t NodeCount() const { return static_cast<int32_t>(nodes_.size()); }
    int32_t Channels() const { return channels_; }
    int32_t BlockSize() const { return block_; }
    // Whether live MIDI has somewhere to go ("midi": "live" in the patch).
    bool TakesLiveMidi() const { return live_midi_; }
    // The GUI pins each DSP pin of a node is carried to ([dsp pin] -> GUI indices); then the
    // statuses announced while the patch opened are carried as if they came now.
    void SetCarries(int32_t node, std::vector<std::vector<int32_t>> carries);
    void CarryOpeningStatuses();
    // Frames to play before finishing (0: no end); set-up only.
    void SetLength(uint64_t frames) { config_.length = frames; }
    // Where the played frames go, interleaved (the recorder's ring), if anywhere.
    void Record(SpscQueue<float>* ring) { record_ = ring; }
    // A second reader of the played frames (the panel's scopes and spectrum), fed as the
    // recording is; frames it has no room for are skipped, never waited for.
    void Monitor(SpscQueue<float>* ring) { monitor_ = ring; }

    // ---- The audio thread ------------------------------------------------------------
    // One period: pin changes and live MIDI placed `Latency(frames)` after the period's
    // start, whole blocks run until the FIFO holds the period, the period written to
    // `outputs` (one buffer per channel), its peaks taken and the frames recorded.
    // Allocates nothing, locks nothing and calls nothing of the system.
    void Process(uint32_t frames, float* const* outputs, const LiveMidi* midi,
                 std::size_t midi_count);
    // Frames between a change arriving at a period's start and its first sample out: 0 when
    // the block size divides the period, else block size - gcd(period, block size) (the
    // most the FIFO can hold ahead).
    uint32_t Latency(uint32_t period) const;

    // ---- The main thread -------------------------------------------------------------
    // Queues a command; never loses one (what the queue cannot take waits in order until
    // Flush finds room).
    void Submit(const Command& command);
    void Flush();
    // A MIDI message from the main thread (the panel's keyboard) for the live MIDI input,
    // placed at the start of the next period as if it came from a port of its own. False
    // when the queue is full (kLiveMidiPerPeriod waiting).
    bool SendLive(uint8_t status, uint8_t d1, uint8_t d2) {
        return sent_midi_.Push({0, status, d1, d2, 0});
    }
    std::size_t Waiting() const { return outbox_.size() + commands_.Size(); }
    // Before stopping: all notes and sound off at the next period; NotesEnded() once the
    // frames after it have been played.
    void EndNotes() { end_notes_.store(true); }
    bool NotesEnded() const { return notes_ended_.load(); }
    bool Poll(Report& report) { return reports_.Pop(report); }

    // Counters, written by the audio thread, readable anywhere.
    struct Stats {
        std::atomic<uint64_t> frames{0};  // frames played
        std::atomic<uint64_t> periods{0};
        std::atomic<uint64_t> recorded{0};        // frames handed to the recorder
        std::atomic<uint64_t> lost{0};            // frames the recorder had no room for
        std::atomic<uint64_t> applied{0};         // commands applied
        std::atomic<uint64_t> carried{0};         // values sent towards GUI sides
        std::atomic<uint64_t> reports_lost{0};    // reports the main thread had no room for
        std::atomic<uint64_t> midi_dropped{0};    // live messages beyond a period's share
        std::atomic<uint64_t> midi_ignored{0};    // live messages with nowhere to go
        std::atomic<uint64_t> events_dropped{0};  // events the modules' full queues refused
        std::atomic<int32_t> last_note{-1};       // last note-on key (live or file), -1: none
        std::atomic<uint32_t> period{0};          // the last period's frames
        std::atomic<bool> finished{false};        // the length was reached
        std::atomic<bool> failed{false};          // the patch failed; see Failure()
        std::atomic<bool> oversized{false};       // a period above kMaxPeriod was silenced
    };
    const Stats& GetStats() const { return stats_; }
    // The peak of each channel since the last call (main thread).
    std::vector<float> TakePeaks();
    // Heap allocations and lock acquisitions made inside Process (by any engine of the
    // process) since it started; what the audio thread must never do.
    static uint64_t Allocations();
    static uint64_t Locks();
    // What failed, once Stats().failed is set.
    std::string Failure() const;

  private:
    struct PendingCarry {
        int32_t node, dsp_pin, gui_index;
        uint64_t clock;
    };
    struct OpeningStatus {
        std::size_t node;
        DspInstance::StatusRecord status;
        double value;
    };
    // The last value a `set` gave an input, and when it takes effect: a `get` after it
    // answers it even before the modules ran to that clock.
    struct Shadow {
        double value = 0.0;
        uint64_t at = 0;
        bool set = false;
    };
    void OnStatus(std::size_t node, const DspInstance& module, const DspInstance::StatusRecord& s);
    void OnController(uint8_t channel, uint8_t cc);  // live: what kLearn waits for
    void Tell(const Report& r);
    uint32_t PeriodLatency(uint32_t period);  // Latency, computed once per period size
    void ApplyCommands(uint64_t at);
    double InputValue(const Command& c) const;
    void Answer();
    void PlaceLiveMidi(const LiveMidi* midi, std::size_t count, uint64_t at, int source);
    void AfterBlock();  // the carries of sample outputs whose values the block produced
    // `frames` of the outputs (the period's audible part) into the ports.
    void Emit(uint32_t frames, float* const* outputs);
    // `frames` played: peaks from the ports, the recording from the same frames interleaved.
    void Played(uint32_t frames, float* const* outputs, const float* interleaved);
    void Fail(const char* what);

    // What every period touches, together.
    std::unique_ptr<Patch> patch_;
    std::vector<DspInstance*> nodes_;  // in Order(); a voice group's module: its copy 0
    int32_t channels_ = 0;
    int32_t block_ = 0;
    SpscQueue<float>* record_ = nullptr;
    SpscQueue<float>* monitor_ = nullptr;
    uint64_t start_ = 0;   // the host clock of the first frame
    uint64_t played_ = 0;  // frames played so far (the next period starts at start_ + played_)
    uint32_t latency_period_ = 0, latency_ = 0;
    std::size_t question_count_ = 0;
    std::size_t pending_count_ = 0;
    bool live_midi_ = false;  // live MIDI goes to the patch's MIDI input
    int32_t last_note_ = -1;
    std::unique_ptr<std::atomic<float>[]> peaks_;
    Config config_;
    Stats stats_;
    SpscQueue<Command> commands_{1024};
    SpscQueue<Report> reports_{1 << 16};
    SpscQueue<LiveMidi> sent_midi_{kLiveMidiPerPeriod};
    std::vector<float> interleaved_;  // a period of several channels, interleaved
    Command learn_{};                 // the kLearn waiting for a controller
    bool learning_ = false;
    std::array<Command, kCommandsPerPeriod> questions_{};  // answered after the period's blocks
    std::array<PendingCarry, 256> pending_{};
    // [node][dsp pin] -> GUI indices, whether that pin is a sample output, its shadow.
    std::vector<std::vector<std::vector<int32_t>>> carries_;
    std::vector<std::vector<bool>> sample_pins_;
    std::vector<std::vector<Shadow>> shadows_;
    bool opened_ = false;  // the patch is open: statuses go by the carries
    std::vector<OpeningStatus> opening_;
    std::deque<Command> outbox_;  // main thread: commands waiting for room
    std::array<char, 512> failure_{};
    std::atomic<bool> end_notes_{false}, notes_ended_{false};
    uint64_t notes_end_at_ = UINT64_MAX;  // the clock of the panic that ends them
};

}  // namespace kvhost::play
