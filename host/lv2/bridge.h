// One module instance behind an LV2 plugin instance: the host library's DSP instance driven
// from LV2 ports, its blocks cut from the host's run() calls.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvhost/host.h"
#include "port_layout.h"

namespace kvhost::lv2 {

// The block size an instance opens with when the host names none.
constexpr int32_t kDefaultBlockSize = 64;

// The block size from the host's buf-size options: the nominal block length, else the
// maximum block length. `note` says where it came from when no option named it (then the
// block is kDefaultBlockSize). An option that is present but unusable (not an integer,
// not positive, above 2^20) throws Error naming it.
struct BlockChoice {
    int32_t block = kDefaultBlockSize;
    std::string note;  // empty when an option gave the block size
};
BlockChoice ChooseBlockSize(const LV2_Options_Option* options, LV2_URID_Map* map);

// The URIDs the bridge reads MIDI with; all 0 when the host maps none.
struct MidiUrids {
    LV2_URID sequence = 0, midi_event = 0, frame_time = 0;
};

class Bridge {
  public:
    // Creates the DSP instance (sample rate and block size set, pins described). Throws
    // Error (with its reason) when the rate is unusable, the module cannot be driven or
    // has MIDI inputs but `urids` maps nothing.
    Bridge(std::shared_ptr<Plugin> plugin, double sample_rate, int32_t block_size, MidiUrids urids,
           bool keep_logs = false);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    const Layout& GetLayout() const { return layout_; }
    void ConnectPort(uint32_t port, void* data);
    // Opens the module (a fresh instance after Deactivate): every input starts at its
    // port's default and the module gets its initial statuses before its first block.
    void Activate();
    // Runs `frames` samples. Control inputs that changed since the last run reach the
    // module at frame 0 (EV_PIN_STATUS, PS_STILL); connecting or disconnecting a signal
    // input switches it between streaming and its volts port's value at frame 0; MIDI
    // events arrive at their frames. Allocates nothing and takes no lock.
    void Run(uint32_t frames);
    void Deactivate();  // closes the module

    // What went wrong inside Run (then the instance only writes silence), or empty.
    const std::string& Failure() const { return failure_; }
    // MIDI events that did not fit into the event queue and were dropped.
    std::size_t DroppedEvents() const {
        return dropped_events_ + (dsp_ ? dsp_->DroppedEvents() : 0);
    }
    DspInstance* Dsp() { return dsp_.get(); }  // for tests

  private:
    struct Control {  // a control input
        const Port* port;
        const float* data;  // the host's value, or `last` while the port is unconnected
        float last;         // the value last acted on
        int32_t signal;     // volts ports: their signal port in signals_
    };
    struct Output {  // a DT_FSAMPLE output's port
        const Port* port;
        void* const* data;  // its entry in data_
        float* current;     // the host's buffer the module writes into now, or null
        float last;         // the output's last sample, while `current` is the host's
        bool direct;        // the module can write into the host's buffers
    };
    struct Signal {  // a DT_FSAMPLE input's signal port
        const Port* port;
        int32_t volts;  // its volts port in controls_
        float* fed;     // the module's block buffer while the port streams into it, or null
    };

    void CreateInstance();
    void ApplyControl(Control& c, float v, uint32_t now);
    void Rewire(uint32_t now, bool connecting);
    void QueueMidi(const Port& port, uint32_t frames, uint32_t now);
    // Where the next sample falls in the module's block (0: a new block begins).
    uint32_t BlockPosition() const;
    void Silence(uint32_t frames);
    [[gnu::always_inline]] void RunBlock(uint32_t done);
    void RunPart(uint32_t done, uint32_t pos, uint32_t count);
    [[gnu::noinline]] void RunAny(uint32_t frames);  // any run: controls, MIDI, parts

    std::shared_ptr<Plugin> plugin_;
    double sample_rate_;
    int32_t block_size_;
    MidiUrids urids_;
    bool keep_logs_;
    Layout layout_;
    std::unique_ptr<DspInstance> dsp_;
    std::vector<void*> data_;          // per port: the host's buffer, or null
    std::vector<int32_t> control_of_;  // per port: its entry in controls_, or -1
    std::vector<Control> controls_;
    std::vector<Signal> signals_;
    std::vector<const Signal*> streaming_;  // the signal ports fed into the module now
    std::vector<Output> outputs_;
    std::vector<const Port*> control_out_, midi_in_;
    bool opened_ = false;
    bool quiet_ = false;    // no MIDI inputs and no control outputs: whole blocks can be short
    bool rewired_ = false;  // a signal port was connected since the last run
    std::string failure_;
    std::size_t dropped_events_ = 0;  // by instances closed since
};

}  // namespace kvhost::lv2
