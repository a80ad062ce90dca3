// Patches: modules (by plug-in) with pin settings, wires from outputs to inputs, a MIDI
// source and the outputs that go to the audio file, read from JSON and run block by block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/midi.h"

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
    };
    std::vector<Voices> voices;
    std::optional<std::string> midi_file;  // relative to `folder`
    bool midi_live = false;                // "midi": "live": played live (render: no MIDI)
    std::optional<PatchPin> midi_to;       // default: the first MIDI input in the patch
    std::vector<PatchPin> outputs;         // one channel each
    double gain = 1.0;
    std::optional<std::string> sample_format;  // "float" or "pcm24"
};

// JSON text to a patch; syntax errors give "source:line:column: ...", other errors name
// the module and pin at fault.
PatchPlan ParsePatch(const std::string& json_text, const std::string& source,
                     const std::string& folder = ".");
PatchPlan LoadPatch(const std::string& path);

// A patch with its instances created, wired and opened. A module of a voice group runs in
// one copy per voice: wires within the group join copy to copy, wires from outside reach every
// copy, and an audio output on the group sums its copies. When the MIDI input lies in a group,
// each note-on goes to a free copy (the one released longest ago), or else takes the copy with
// the oldest note, which first hears that note's note-off; note-offs and key pressure go to
// the copy holding the key; every other message goes to every copy.
class Patch {
  public:
    explicit Patch(const PatchPlan& plan);
    // The same, with `observer` also told of every status a module announces (after the
    // patch's wires took it), opening included, closing not; `node` counts in Order().
    using StatusObserver = std::function<void(std::size_t node, const DspInstance& module,
                                              const DspInstance::StatusRecord& status)>;
    Patch(const PatchPlan& plan, StatusObserver observer);
    ~Patch();
    Patch(const Patch&) = delete;
    Patch& operator=(const Patch&) = delete;

    // The MIDI to play on the patch's MIDI input (the plan's target, or its first one).
    void SetMidi(MidiSequence sequence);
    // One message for the patch's MIDI input at clock `at` (not before Clock()), spread over
    // the voices as above. A note-on of velocity 0 is a note-on, as the modules take it.
    void SendMidi(uint32_t at, uint8_t status, uint8_t d1, uint8_t d2);
    bool HasMidiInput() const { return midi_node_ != nullptr; }
    // The plan's length, or the MIDI's end plus one second, or five seconds.
    uint32_t DefaultLength() const;
    int32_t Channels() const { return static_cast<int32_t>(outputs_.size()); }
    double SampleRate() const { return plan_.sample_rate; }
    uint32_t Clock() const { return clock_; }
    // Runs `frames` samples of every module (in wiring order, block by block) and writes
    // the outputs, times the gain, interleaved.
    void Render(float* interleaved, uint32_t frames);
    // A module's instance; in a voice group, copy `copy` (0 to Copies() - 1). Statuses reach
    // the observer from copy 0 alone.
    DspInstance& Instance(const std::string& module, int32_t copy = 0);
    int32_t Copies(const std::string& module);
    const std::vector<std::string>& Order() const { return order_names_; }

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
    // One copy of the MIDI input's module and the note it plays.
    struct Voice {
        DspInstance* dsp;
        int32_t key = -1;      // the key held, -1 when free
        uint8_t channel = 0;   // the held key's channel
        uint64_t since = 0;    // when (in messages routed) it took its note or was freed
        uint32_t last_at = 0;  // clock of the last message it was sent
    };
    [[noreturn]] void Fail(const std::string& what) const;
    Node& Find(const PatchPin& ref, const char* role);
    // A module's pin settings as (pin, value) for SetInitial; refusals name module and pin.
    std::vector<std::pair<int32_t, double>> CheckedSettings(const PatchPlan::Module& m,
                                                            const DspInstance& dsp) const;
    void Send(Voice& voice, uint32_t at, uint8_t status, uint8_t d1, uint8_t d2);
    Voice* Holding(uint8_t channel, int32_t key);
    Voice& TakeVoice();

    PatchPlan plan_;
    std::vector<Node> nodes_;  // in wiring order
    std::vector<std::string> order_names_;
    std::vector<Output> outputs_;
    Node* midi_node_ = nullptr;
    int32_t midi_pin_ = -1;
    std::vector<Voice> voices_;  // the MIDI input's copies
    uint64_t routed_ = 0;        // messages routed to voices so far
    StatusObserver observer_;
    MidiSequence midi_;
    std::size_t next_midi_ = 0;
    uint32_t clock_ = 0;
};

}  // namespace kvhost
