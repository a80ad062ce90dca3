// One module behind an LV2 plugin instance: a one-module patch of the host core, driven from
// LV2 ports, its blocks kept whole whatever lengths the host's run() calls have.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "atom_midi.h"
#include "kvhost/host.h"
#include "kvhost/patch.h"
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
    std::string note;      // empty when an option gave the block size
    bool nominal = false;  // the block is the host's nominal block length
};
BlockChoice ChooseBlockSize(const LV2_Options_Option* options, LV2_URID_Map* map);

// The frames the outputs lie behind the inputs. The module runs whole blocks only: when the
// host promises runs of a whole number of blocks (fixed or power-of-two run lengths whose
// nominal length is a multiple of the block) none; otherwise block - 1, the least that keeps
// every block whole whatever lengths the host's runs have (one frame at a time included).
uint32_t RunLatency(int32_t block, bool nominal_multiple_of_block, bool fixed_or_power_of_two);

class Bridge {
  public:
    // Describes the module (a probe instance, sample rate and block size set, pins described).
    // Throws Error (with its reason) when the rate is unusable, the module cannot be driven
    // or has a MIDI input but `urids` maps nothing.
    // `keep_logs`: the instance keeps its logs (statuses, requests) for tests, which then
    // allocate in Run.
    Bridge(std::shared_ptr<Plugin> plugin, double sample_rate, int32_t block_size, MidiUrids urids,
           uint32_t latency = 0, bool keep_logs = false);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    const Layout& GetLayout() const { return layout_; }
    uint32_t Latency() const { return latency_; }
    void ConnectPort(uint32_t port, void* data);
    // Opens the module (a fresh instance after Deactivate): every input starts at its
    // port's default and the module gets its initial statuses before its first block.
    void Activate();
    // Runs `frames` samples: what came in reaches the module at its frame, every output lies
    // Latency() frames behind its input. Control inputs that changed since the last run reach
    // the module at the run's first frame (EV_PIN_STATUS, PS_STILL); connecting or
    // disconnecting a signal input switches it between streaming and its volts port's value
    // there; MIDI events arrive at their frames. Allocates nothing and takes no lock.
    void Run(uint32_t frames);
    void Deactivate();  // closes the module

    // What went wrong inside Run (then the instance only writes silence), or empty.
    const std::string& Failure() const { return failure_; }
    // Events refused by the module's full queue (MIDI beyond what a block holds).
    std::size_t DroppedEvents() const {
        return dropped_events_ + (patch_ ? patch_->DroppedEvents() : 0);
    }
    // Output frames a host's run needed before the module had produced them (a host that
    // broke its promise of whole-block runs): they were silence.
    std::size_t LateFrames() const { return late_frames_; }
    DspInstance* Dsp() { return patch_ ? &patch_->Instance(0) : nullptr; }  // for tests

  private:
    struct Control {  // a control input
        const Port* port;
        const float* data;  // the host's value, or `last` while the port is unconnected
        float last;         // the value last acted on
        int32_t signal;     // volts ports: their signal port in signals_
    };
    struct Output {  // a DT_FSAMPLE output's port
        const Port* port;
        int32_t channel;             // its channel in the patch
        float* current;              // the host's buffer the module writes into now, or null
        float last;                  // the output's last sample, while `current` is the host's
        bool direct;                 // the module can write into the host's buffers
        std::vector<float> pending;  // frames produced beyond the last run's end
    };
    // A DT_FSAMPLE input's signal port. The bridge writes every sample of the input's block
    // buffer itself: the host's samples while the port is connected, else its volts port's
    // value, so both reach the module at their frames within a block.
    struct Signal {
        const Port* port;
        int32_t volts;          // its volts port in controls_
        float* fed = nullptr;   // the module's block buffer
        float constant = 0.0f;  // the volts port's value, in signal units
        bool streaming = false;
        bool filled = false;  // the buffer holds `constant` throughout
    };

    PatchPlan OnePatch(const std::string& module_path) const;
    void ApplyControl(Control& c, float v, uint64_t now);
    void Rewire(uint64_t now, bool connecting);
    void Feed(uint32_t done, uint32_t pos, uint32_t count);  // the inputs' samples of a run
    void QueueMidi(const Port& port, uint32_t frames, uint64_t now);
    void Silence(uint32_t frames);
    // Frames of this run from the frames produced before it.
    void TakePending(uint64_t now, uint32_t frames);
    // One block, its inputs complete: run, its frames placed at their host frames.
    void RunBlock(uint64_t now, uint32_t frames);
    void Place(uint64_t at, uint64_t now, uint32_t frames);
    void ZeroTo(uint64_t end, uint64_t now);  // silence where nothing was written yet
    [[gnu::noinline]] void RunAny(uint32_t frames);

    std::shared_ptr<Plugin> plugin_;
    double sample_rate_;
    int32_t block_size_;
    MidiUrids urids_;
    uint32_t latency_;
    bool keep_logs_;
    Layout layout_;
    std::unique_ptr<Patch> patch_;
    std::vector<void*> data_;          // per port: the host's buffer, or null
    std::vector<int32_t> control_of_;  // per port: its entry in controls_, or -1
    std::vector<Control> controls_;
    std::vector<Signal> signals_;
    std::vector<Output> outputs_;
    std::vector<const Port*> control_out_, midi_in_;
    const Port* latency_port_ = nullptr;
    uint64_t frames_ = 0;      // host frames run since activation (the patch's clock)
    uint64_t written_ = 0;     // output written up to this host frame in the current run
    uint64_t pending_at_ = 0;  // the host frame of each output's pending[0]
    uint32_t pending_count_ = 0;
    bool opened_ = false;
    bool quiet_ = false;      // no MIDI inputs and no control outputs: whole blocks can be short
    bool streaming_ = false;  // some signal port streams
    bool rewired_ = false;    // a signal port was connected since the last run
    std::string failure_;
    std::size_t dropped_events_ = 0;  // by instances closed since
    std::size_t late_frames_ = 0;
};

}  // namespace kvhost::lv2
