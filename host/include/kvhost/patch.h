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

// A patch with its instances created, wired and opened.
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
    // The plan's length, or the MIDI's end plus one second, or five seconds.
    uint32_t DefaultLength() const;
    int32_t Channels() const { return static_cast<int32_t>(outputs_.size()); }
    double SampleRate() const { return plan_.sample_rate; }
    uint32_t Clock() const { return clock_; }
    // Runs `frames` samples of every module (in wiring order, block by block) and writes
    // the outputs, times the gain, interleaved.
    void Render(float* interleaved, uint32_t frames);
    DspInstance& Instance(const std::string& module);
    const std::vector<std::string>& Order() const { return order_names_; }

  private:
    struct Node {
        std::string name;
        std::unique_ptr<DspInstance> dsp;
    };
    struct Output {
        DspInstance* dsp;
        int32_t pin;
    };
    [[noreturn]] void Fail(const std::string& what) const;
    DspInstance& Find(const PatchPin& ref, const char* role);

    PatchPlan plan_;
    std::vector<Node> nodes_;  // in wiring order
    std::vector<std::string> order_names_;
    std::vector<Output> outputs_;
    DspInstance* midi_target_ = nullptr;
    int32_t midi_pin_ = -1;
    StatusObserver observer_;
    MidiSequence midi_;
    std::size_t next_midi_ = 0;
    uint32_t clock_ = 0;
};

}  // namespace kvhost
