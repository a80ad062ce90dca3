// A whole patch behind one LV2 instrument: MIDI in, the patch's audio outputs out, a control
// port for each pin the patch offers. The same patch, the same modules and the same live path
// (Patch, real-time mode) as kvhost play, run in whole blocks on the patch's grid whatever
// lengths the host's run() calls have.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge.h"
#include "kvhost/patch.h"
#include "port_layout.h"

namespace kvhost::lv2 {

// A patch that cannot be played as an instrument; the message says why and names the
// modules, pins or presets at fault.
struct InstrumentRefused : Error {
    using Error::Error;
};

// The ports of a patch played as an instrument, in index order: the MIDI input, one audio
// output per output channel of the patch, the control inputs, and last the latency port
// (only for blocks longer than one frame: shorter ones never cost latency).
struct InstrumentLayout {
    std::string uri, name;
    std::vector<Port> ports;
    std::vector<int32_t> nodes;  // per port: the patch node a control input sets, else -1
};

// The patch's name for hosts: its "name", else `fallback` (the file name without extension).
std::string InstrumentName(const PatchPlan& plan, std::string_view fallback);
// "urn:kolvex:patch:" and the patch's "id", else its name, percent-encoded as module URIs
// are: the same patch gives the same URI in every build.
std::string InstrumentUri(const PatchPlan& plan, std::string_view fallback);

// The plan as an instrument plays it: at `sample_rate`, its MIDI live on the patch's MIDI
// input (a MIDI file the patch names gives way to the host's MIDI).
PatchPlan InstrumentPlan(PatchPlan plan, double sample_rate);

// The ports of `patch` (opened from `plan`): control inputs for the pins "controls" lists, or
// else for every input of a value type or of samples that no wire and no MIDI feeds, in
// module and pin order; defaults are the patch's values. Throws InstrumentRefused when the
// patch has no MIDI input, or a control names no pin, an output, a wired input or a pin no
// control port carries, or a range that leaves out the patch's value.
InstrumentLayout MakeInstrumentLayout(const PatchPlan& plan, Patch& patch,
                                      std::string_view fallback_name);

// The value a control input port holds in `patch` (opened from `plan`): the value pin's
// value, or a sample input's volts as the patch sets them (else the pin's default).
float ControlValue(const PatchPlan& plan, Patch& patch, int32_t node, const Port& port);

// The modules of `plan` whose plug-ins have a GUI side (there is no GUI thread in an LV2
// instance), by module name.
std::vector<std::string> GuiSideModules(
    const PatchPlan& plan, const std::function<std::shared_ptr<Plugin>(const std::string&)>& load);

class Instrument {
  public:
    // Opens a probe of the patch (never run) to lay out the ports. `load` gives the plug-ins
    // the patch names (a bundle's own copies). Throws Error when the patch cannot be opened,
    // InstrumentRefused as MakeInstrumentLayout, and Error when the host maps no URIDs.
    Instrument(const PatchPlan& plan, double sample_rate, MidiUrids urids, uint32_t latency,
               std::function<std::shared_ptr<Plugin>(const std::string&)> load,
               std::string_view fallback_name = "patch");
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    const InstrumentLayout& GetLayout() const { return layout_; }
    int32_t BlockSize() const { return plan_.block_size; }
    uint32_t Latency() const { return latency_; }
    void ConnectPort(uint32_t port, void* data);
    // A fresh patch in real-time mode, every control at its port's default.
    void Activate();
    // `frames` frames: controls that changed since the last run set their pins at the run's
    // first frame (PS_STILL), MIDI reaches the patch's live input at its frames, and the
    // outputs lie Latency() frames behind. Allocates nothing and takes no lock.
    void Run(uint32_t frames);
    void Deactivate();

    const std::string& Failure() const { return failure_; }
    std::size_t DroppedEvents() const {
        return dropped_events_ + (patch_ ? patch_->DroppedEvents() : 0);
    }
    Patch* GetPatch() { return patch_.get(); }  // for tests

  private:
    struct Control {
        const Port* port;
        int32_t node;
        const float* data;  // the host's value, or `last` while unconnected
        float last;
    };
    void QueueMidi(uint32_t frames, uint64_t now);
    void Silence(uint32_t frames, uint32_t from = 0);

    PatchPlan plan_;
    MidiUrids urids_;
    uint32_t latency_;
    std::function<std::shared_ptr<Plugin>(const std::string&)> load_;
    InstrumentLayout layout_;
    std::unique_ptr<Patch> patch_;
    std::vector<void*> data_;
    std::vector<Control> controls_;
    std::vector<int32_t> control_of_;   // per port: its entry in controls_, or -1
    std::vector<const Port*> outputs_;  // in channel order
    const Port* midi_port_ = nullptr;
    const Port* latency_port_ = nullptr;
    uint64_t frames_ = 0;   // host frames run since activation
    uint32_t silence_ = 0;  // frames of the latency not yet handed out
    uint32_t held_ = 0;     // frames of the last block not yet handed out
    std::string failure_;
    std::size_t dropped_events_ = 0;
};

}  // namespace kvhost::lv2
