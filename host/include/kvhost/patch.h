// Patches: modules (by plug-in) with pin settings, wires from outputs to inputs, a MIDI
// source and the outputs that go to the audio file, read from JSON and run block by block.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/voices.h"

namespace kvhost {

struct PatchPin {
    std::string module, pin;
};

struct PatchPlan {
    std::string source;  // file name, for messages
    std::string folder;  // where relative file names in the patch are taken from
    double sample_rate = 44100.0;
    bool sample_rate_given = false;  // the patch names its rate (else the default above)
    int32_t block_size = 64;
    std::optional<double> seconds;
    struct Setting {
        std::string pin;
        std::string text;  // a number, a choice label or on/off; sample inputs in volts
    };
    struct Module {
        std::string name, plugin;
        std::vector<Setting> settings;
        // "stored": values a live host keeps beyond the DSP settings (GUI-side pins, pins
        // flagged IO_PATCH_STORE); `render` has no GUI sides and leaves them.
        std::vector<Setting> stored;
    };
    std::vector<Module> modules;
    struct Wire {
        PatchPin from, to;
    };
    std::vector<Wire> wires;
    // A voice group: modules that run in `count` copies, each copy playing one note at a
    // time (see Patch). A module belongs to one group at most; the others run once.
    struct Voices {
        int32_t count = 1;                 // copies, 1-128
        std::vector<std::string> modules;  // names from `modules`, each once
        // Silent copies sleep: a copy whose group outputs
        // were silent for a whole block and whose instances have no event due in the next
        // block is not run until a block in which an event falls due for it (Patch::RunBlock).
        bool sleep = false;
    };
    std::vector<Voices> voices;
    std::optional<std::string> midi_file;  // relative to `folder`
    bool midi_live = false;                // "midi": "live": played live (render: no MIDI)
    std::optional<PatchPin> midi_to;       // default: the first MIDI input in the patch
    std::vector<PatchPin> outputs;         // one channel each
    double gain = 1.0;
    std::optional<std::string> sample_format;  // "float" or "pcm24"
    // What another host shows of the patch when it plays it as an instrument (kvhost lv2
    // --patch): its name and id (the plug-in URI comes from them), and the pins it offers as
    // controls, each with an optional label and range (default: the pin's own).
    std::optional<std::string> name, id;
    struct Control {
        PatchPin pin;
        std::optional<std::string> label;
        std::optional<double> minimum, maximum;
    };
    std::optional<std::vector<Control>> controls;
    // "midi_map": controllers (CC) of the MIDI input that drive input pins. Each message of
    // controller `cc` (on `channel`, 1-16, or any channel for 0) sets the pin to
    // min + value/127 * (max - min); min and max default to the pin's own range.
    struct MidiMapping {
        int32_t cc = 0;
        int32_t channel = 0;
        PatchPin pin;
        std::optional<double> minimum, maximum;
    };
    std::vector<MidiMapping> midi_map;
};

// JSON text to a patch; syntax errors give "source:line:column: ...", other errors name
// the module and pin at fault.
PatchPlan ParsePatch(const std::string& json_text, const std::string& source,
                     const std::string& folder = ".");
PatchPlan LoadPatch(const std::string& path);

// The MIDI file a patch plays: `override` (a user's --midi) if given, else the patch's own
// "midi" file taken from the patch's folder; nothing for live or no MIDI.
std::optional<std::string> MidiFilePath(const PatchPlan& plan,
                                        const std::optional<std::string>& override = {});

// The range a controller sweeps by default: the values an input pin offers. A choice from its
// lowest to its highest value, a switch 0 to 1, a sample input in volts as the module
// documents it (pitch inputs and depths 0 to 10 V), else the signal scale's -10 to 10 V,
// widened to hold the default. Reals and whole numbers declare none (nothing).
struct PinRange {
    double low, high;
};
std::optional<PinRange> OwnRange(const PinInfo& pin, std::string_view module_id);
// The volts a module documents for a sample input (nothing where it documents none).
std::optional<PinRange> DocumentedVolts(std::string_view module_id, std::string_view pin_name);
// The id a module is known by (its record's id, else its deliverable's name).
std::string ModuleIdOf(const Plugin& plugin);

class Patch;
// Told of every status a module announces (after the patch's wires took it), opening
// included, closing not; `node` counts in Patch::Order().
using PatchStatusObserver = std::function<void(std::size_t node, const DspInstance& module,
                                               const DspInstance::StatusRecord& status)>;

struct PatchOptions {
    // Live use (play, the LV2 bridge): every instance of every voice copy in real-time mode,
    // nothing recorded or logged, event queues sized from the patch that never grow. A full
    // queue refuses the event and counts it (DroppedEvents()).
    bool real_time = false;
    // Live MIDI messages (and pin changes) one MIDI-input copy must hold room for between two
    // blocks, beyond what the patch itself posts (real time only).
    std::size_t live_events = 512;
    // The host clock's first sample. Modules see its lower 32 bits, which wrap; tests start
    // near 2^32 to run a patch across the wrap.
    uint64_t start_clock = 0;
    // kHost: a note-on of velocity 0 reaches modules as a note-off; kRaw: as it is. Voice
    // bookkeeping takes it as a release either way.
    MidiDelivery delivery = MidiDelivery::kHost;
    PatchStatusObserver observer;
    // Called after every block the patch runs, before its frames are handed out.
    std::function<void()> after_block;
    // Told of every controller message (channel 0-15, controller, value) that LiveMidi cuts
    // from a live source, before it takes effect (play's MIDI learn maps it here).
    std::function<void(uint8_t channel, uint8_t cc, uint8_t value)> live_controller;
    // Where a module's "plugin" is loaded from (default: Plugin::Load). Hosts that carry
    // their deliverables with them (an LV2 bundle) give their own.
    std::function<std::shared_ptr<Plugin>(const std::string& plugin)> load_plugin;
};

// A patch with its instances created, wired and opened: the one path by which every front end
// (render, plot, play, the panel, the LV2 bridge) runs modules.
//
// Blocks. The modules always run whole blocks of the patch's size on one grid counted from
// the start: Render hands out any number of frames and keeps the rest of a block for the next
// call, so a patch sounds the same however it is fed.
//
// Voices. A module of a voice group runs in one copy per voice: wires within the group join
// copy to copy, wires from outside reach every copy, and an audio output on the group sums its
// copies. When the MIDI input lies in a group, VoiceRouter decides which copies hear a message.
//
// Clock. The host clock is 64 bits and never wraps; the modules' clock is its lower 32 bits.
// Times given to the patch are host clocks; one before RunClock() is moved to it.
class Patch {
  public:
    using StatusObserver = PatchStatusObserver;
    explicit Patch(const PatchPlan& plan, PatchOptions options = {});
    Patch(const PatchPlan& plan, StatusObserver observer);
    ~Patch();
    Patch(const Patch&) = delete;
    Patch& operator=(const Patch&) = delete;

    // ---- What goes in ---------------------------------------------------------------
    // The MIDI file to play on the patch's MIDI input (the plan's target, or its first one),
    // each message at the clock the patch started from plus its sample. `loop`: once the
    // file's end is reached it starts again from there.
    void SetMidi(MidiSequence sequence, bool loop = false);
    // One channel message for the MIDI input at host clock `at`, spread over the voices.
    void SendMidi(uint64_t at, uint8_t status, uint8_t d1, uint8_t d2);
    // Live MIDI bytes from source `source` (0-3: each keeps its own running status),
    // cut into channel messages (MidiParser), all at host clock `at`.
    static constexpr int kMidiSources = 4;
    void LiveMidi(uint64_t at, const uint8_t* bytes, std::size_t size, int source = 0);
    // All notes off and all sound off on every channel to every copy of the MIDI input, and
    // the voice bookkeeping cleared.
    void Panic(uint64_t at);
    // An input's new value at `at` for every copy of module `node` (sample inputs: in signal
    // units, held as a constant), announced with `status`.
    void Set(int32_t node, int32_t dsp_pin, double value, uint64_t at, int32_t status = PS_STEP);
    // ---- Controllers mapped to pins ("midi_map") --------------------------------------
    // A controller message reaching the MIDI input (SendMidi, LiveMidi, the MIDI file) also
    // sets each pin mapped to its controller and channel, at its clock, to
    // low + value/127 * (high - low) (double arithmetic; volts for sample inputs) when `set`
    // would take that value: whole numbers, switches and choices rounded to the nearest,
    // a choice that names no value left as it was. The message still reaches the MIDI input.
    struct Mapping {
        int32_t cc = 0;       // 0-127
        int32_t channel = 0;  // 1-16; 0: any channel
        int32_t node = 0;     // counted in Order()
        int32_t dsp_pin = 0;
        double low = 0.0, high = 0.0;  // in the unit `set` takes (volts for sample inputs)
    };
    // At most this many mappings at once: the table is made once, with the patch.
    static constexpr std::size_t kMaxMappings = 1024;
    // A mapping of controller `cc` (0-127) on `channel` (0: any) to `pin` of `node`, checked
    // as the patch's "midi_map" is: a DSP input that `set` takes a value for (not wired, not
    // the GUI side's), `low` and `high` (default: OwnRange) values `set` accepts inside the
    // pin's own range. Error saying what is wrong (the caller names where). Any thread.
    Mapping CheckMapping(int32_t cc, int32_t channel, int32_t node, const std::string& pin,
                         std::optional<double> low, std::optional<double> high) const;
    Mapping CheckMapping(int32_t cc, int32_t channel, int32_t node, int32_t dsp_pin,
                         std::optional<double> low, std::optional<double> high) const;
    // On the thread that runs the patch (allocates nothing, takes no lock): adds a mapping
    // or replaces the one of the same controller, channel and pin; false when the table is
    // full. Unmap removes the mappings of controller `cc` on every channel (to `node`'s
    // `dsp_pin` only, unless node is -1) and answers how many.
    bool Map(const Mapping& m);
    std::size_t Unmap(int32_t cc, int32_t node = -1, int32_t dsp_pin = -1);
    // The mappings in the order they apply (by controller, any channel first; then in the
    // order they were made). Allocates: not for the audio thread.
    std::vector<Mapping> MidiMap() const;
    // The value a controller value gives a mapping's pin, as `set` would take it (signal units
    // for sample inputs), or nothing when `set` would refuse it.
    std::optional<double> MappedValue(const Mapping& m, uint8_t value) const;

    // A sample input of a one-copy module whose samples the caller writes into the block
    // buffer answered, for every block before RunBlock (DspInstance::FeedInput).
    float* FeedInput(int32_t node, int32_t dsp_pin);

    // ---- Running --------------------------------------------------------------------
    // One whole block: the file's MIDI that falls in it, every module in wiring order, the
    // audio outputs mixed (OutputBlock). For callers that take every block's output
    // themselves; Render runs blocks by itself.
    void RunBlock();
    // Channel `c` of the last block, the gain applied (BlockSize() samples).
    const float* OutputBlock(int32_t c) const { return mix_[static_cast<std::size_t>(c)]; }
    // `frames` frames of the outputs, interleaved: first those left from the last block run,
    // then as many whole blocks as needed (the rest kept for the next call).
    void Render(float* interleaved, uint32_t frames);

    // ---- Reading --------------------------------------------------------------------
    bool HasMidiInput() const { return midi_node_ != nullptr; }
    bool HasMidiFile() const { return !midi_.events.empty(); }
    // The plan's length, or the MIDI's end plus one second, or five seconds (in frames).
    uint64_t DefaultLength() const;
    int32_t Channels() const { return static_cast<int32_t>(outputs_.size()); }
    int32_t BlockSize() const { return plan_.block_size; }
    double SampleRate() const { return plan_.sample_rate; }
    const PatchPlan& Plan() const { return plan_; }
    // The host clock of the next frame Render hands out.
    uint64_t Clock() const { return run_clock_ - held_; }
    // The host clock the modules have run to (Clock() plus the frames Render keeps back).
    uint64_t RunClock() const { return run_clock_; }
    // A module's instance; in a voice group, copy `copy` (0 to Copies() - 1). Statuses reach
    // the observer from copy 0 alone.
    DspInstance& Instance(const std::string& module, int32_t copy = 0);
    DspInstance& Instance(int32_t node, int32_t copy = 0) {
        return *nodes_[static_cast<std::size_t>(node)].copies[static_cast<std::size_t>(copy)];
    }
    int32_t Copies(const std::string& module);
    int32_t Copies(int32_t node) const {
        return static_cast<int32_t>(nodes_[static_cast<std::size_t>(node)].copies.size());
    }
    int32_t NodeCount() const { return static_cast<int32_t>(nodes_.size()); }
    const std::vector<std::string>& Order() const { return order_names_; }
    // The output channels' names ("module.pin"), as the plan lists them or as chosen.
    const std::vector<PatchPin>& OutputPins() const { return output_pins_; }
    // Set-up: called after every block the patch runs (as PatchOptions::after_block).
    void SetAfterBlock(std::function<void()> f) { options_.after_block = std::move(f); }
    // Only copy `copy` of each voice group sounds in the outputs (-1: all of them).
    void SoloCopy(int32_t copy) { solo_ = copy; }
    // Events refused by full queues (real-time use), and live MIDI passed on to nobody.
    std::size_t DroppedEvents() const;
    std::size_t IgnoredMidi() const;
    const VoiceRouter* Voices() const { return router_ ? &*router_ : nullptr; }
    // The key of the last note-on the MIDI input was given (file or live), -1 before any.
    int32_t LastNote() const { return last_note_; }
    // Copies of the sleeping group asleep after the last block (0 without sleeping voices).
    int32_t SleepingCopies() const;

  private:
    struct Node {
        std::string name;
        std::vector<std::unique_ptr<DspInstance>> copies;  // one, or one per voice
        int32_t group = -1;                                // index in plan_.voices, or -1
    };
    struct Output {
        std::vector<const DspInstance*> copies;  // summed in this order
        int32_t pin;
    };
    // What a controller may set on a DSP input, made once so that applying a value needs no
    // text: its type and, for a choice with a list, the values `set` takes, in order.
    struct PinRule {
        int32_t datatype = 0;
        bool listed = false;  // a choice with a list: only its values
        bool range = false;   // that list is `low` to `high`
        int32_t low = 0, high = 0;
        std::vector<int32_t> values;  // otherwise its values, sorted
    };
    // One cell of the mapping table: a mapping and the next one of its chain.
    struct MapSlot {
        Mapping m;
        int32_t next = -1;
        bool used = false;
    };
    [[noreturn]] void Fail(const std::string& what) const;
    void MakeMidiMap();  // the rules, the table, the plan's "midi_map"
    void ApplyMapped(uint64_t at, uint8_t status, uint8_t cc, uint8_t value);
    int32_t& Chain(int32_t channel, int32_t cc) {
        return chains_[static_cast<std::size_t>(channel) * 128 + static_cast<std::size_t>(cc)];
    }
    Node& Find(const PatchPin& ref, const char* role);
    void Build();  // instances in wiring order, their settings
    void Wire();   // the plan's wires, copy to copy
    void PlaceOutputs();
    void FindMidiInput();
    void Start();  // real-time reserves, the start clock, every instance opened
    // A module's pin settings as (pin, value) for SetInitial; refusals name module and pin.
    std::vector<std::pair<int32_t, double>> CheckedSettings(const PatchPlan::Module& m,
                                                            const DspInstance& dsp) const;
    // Its "stored" values: pins that may be stored, values their pins take.
    void CheckStored(const PatchPlan::Module& m, const DspInstance& dsp) const;
    uint64_t Due(uint64_t at) const { return at < run_clock_ ? run_clock_ : at; }
    void Deliver(int32_t copy, uint64_t at, uint8_t status, uint8_t d1, uint8_t d2);
    void QueueFileMidi(uint64_t end);
    void Mix();
    void MixAwake(std::size_t channel, float* out);  // a sleeping group's output channel
    void PlanSleep();  // the sleeping group's copies, outputs and wake-up checks
    bool CopyQuiet(std::size_t copy, uint64_t end) const;  // no event due before `end`
    bool CopySilent(std::size_t copy) const;               // its group outputs all zero this block

    PatchPlan plan_;
    PatchOptions options_;
    std::vector<Node> nodes_;  // in wiring order
    std::vector<std::string> order_names_;
    std::vector<Output> outputs_;
    std::vector<PatchPin> output_pins_;
    std::vector<std::vector<float>> mix_store_;  // per channel, where a mix is needed
    std::vector<const float*> mix_;              // per channel: its last block
    uint32_t held_ = 0;  // frames of the last block Render has not handed out yet
    Node* midi_node_ = nullptr;
    int32_t midi_pin_ = -1;
    std::optional<VoiceRouter> router_;  // a MIDI input in a group of several copies
    std::vector<uint64_t> last_at_;      // per MIDI-input copy: the clock last sent to it
    std::array<MidiParser, kMidiSources> parsers_;
    MidiSequence midi_;
    std::size_t next_midi_ = 0;
    uint64_t midi_start_ = 0;  // the host clock of the file's sample 0
    bool midi_loop_ = false;
    int32_t solo_ = -1;
    int32_t last_note_ = -1;
    std::size_t ignored_midi_ = 0;  // system messages given to SendMidi
    uint64_t run_clock_ = 0;
    int32_t sleep_group_ = -1;                  // the group whose released copies sleep, or -1
    std::vector<uint8_t> asleep_;               // per copy of that group
    std::vector<uint64_t> slept_from_;          // per copy: the host clock it fell asleep at
    std::vector<const Output*> sleep_outputs_;  // that group's outputs
    std::vector<const Node*> sleep_nodes_;      // that group's modules
    // Per output channel of that group: its sleeping copies' outputs folded (MixAwake).
    std::vector<std::vector<float>> sleep_zero_;
    bool sleepers_changed_ = false;  // a copy fell asleep or woke since the last Mix
    // Controller mappings: per channel (0: any, 1-16) and controller, the first slot of its
    // chain (-1: none); the slots, made with the patch, and the free ones chained.
    std::vector<std::vector<PinRule>> rules_;  // [node][dsp pin]
    std::array<int32_t, 17 * 128> chains_{};
    std::vector<MapSlot> slots_;
    int32_t free_slot_ = -1;
    std::size_t mapped_ = 0;  // slots in use
    // The farthest ahead of the clock a change may lie: the modules' 32-bit clock orders
    // times within half its range.
    static constexpr uint64_t kFarthest = uint64_t{1} << 30;
};

}  // namespace kvhost
