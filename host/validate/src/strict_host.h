// The host core in the validator's strict mode: one DSP or GUI instance driven by the core
// (kvhost_lib) with watchers that check everything the instance does: unwritten or
// non-finite output samples, writes outside its buffers, changed inputs, events posted for
// the past, allocations on the audio path, requests for pins it does not have.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "findings.h"
#include "kvhost/host.h"

namespace kvhost::validate {

// The bit pattern written into every output sample before a process call: a quiet NaN no
// arithmetic produces, so a sample still holding it was not written.
constexpr uint32_t kUnwrittenTag = 0x7FC0DEADu;
// Guard words in the slack around every host buffer: overwritten guards mean a write
// outside the buffer.
constexpr uint32_t kGuardTag = 0x7FBADBADu;

// How a DT_FSAMPLE input behaves from a clock on.
struct SampleSource {
    bool stream = false;
    float constant = 0.0f;
    uint64_t seed = 0;     // stream: sample at clock t drawn from (seed, t)
    bool hostile = false;  // stream: may draw NaN, infinities and huge values
};

class StrictDsp : public DspWatcher {
  public:
    StrictDsp(std::shared_ptr<Plugin> plugin, Findings& findings, double sample_rate,
              int32_t block_size, int32_t repeat_pins = 0);
    ~StrictDsp() override;  // MOD_CLOSE
    StrictDsp(const StrictDsp&) = delete;
    StrictDsp& operator=(const StrictDsp&) = delete;

    // The core's instance (makeModule, rate, block size, pin descriptions, buffers and
    // defaults), record checks and guard words. False when there is no instance to drive.
    // `repeat_pins` copies of a repeating last pin are added when the last pin repeats.
    bool Create();
    void Open();  // MOD_OPEN, then the core's initial statuses
    void Close();
    DspInstance& Core() { return *dsp_; }

    const std::vector<PinInfo>& Descriptions() const { return dsp_->Pins(); }
    int32_t PinCount() const { return dsp_->PinCount(); }
    const PinInfo& Describe(int32_t dsp_pin) const { return dsp_->DspPinInfo(dsp_pin); }
    std::vector<int32_t> Inputs() const;  // DSP pins a host writes

    // Input changes at absolute clock `at` (a clock already past means now).
    void SetValue(int32_t dsp_pin, double value, uint32_t at);  // bound member + PS_STEP
    void SetSource(int32_t dsp_pin, const SampleSource& source, uint32_t at);  // DT_FSAMPLE
    void SendMidi(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2);
    // Any event as the host would deliver it (kind, value, value2, extra as given).
    void SendRaw(uint32_t at, int32_t kind, int32_t value, int32_t value2, intptr_t extra);
    // Marks the inputs as having carried a non-finite value: outputs may be non-finite.
    void InputsNotFinite() { inputs_finite_ = false; }

    void Run(uint32_t samples);
    uint32_t Clock() const { return dsp_ != nullptr ? dsp_->Clock() : 0; }

    // Running hash of the statuses the instance announced; equal runs give equal hashes.
    uint64_t StatusHash() const { return status_hash_; }
    // The clock of the first block whose outputs hashed differently from `other`'s, or -1.
    int64_t FirstDifference(const StrictDsp& other) const;

    uint64_t ProcessCalls() const { return dsp_ != nullptr ? dsp_->ProcessCalls() : 0; }
    uint64_t EventsDelivered() const { return dsp_ != nullptr ? dsp_->EventsDelivered() : 0; }
    uint64_t AudioPathAllocations() const { return audio_allocations_; }
    uint64_t KeptSamples() const { return kept_; }  // left alone while announced still
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);

    // The watcher's side: checks around every entry into the module.
    intptr_t Request(DspInstance& dsp, int32_t opcode, int32_t index, int32_t value,
                     void* ptr) override;
    void BlockStart() override;
    void BeforeProcess(int32_t first, int32_t count) override;
    void AfterSlice(int32_t first, int32_t count, bool processed) override;
    void BeforeEvent(const KVTimedEvent& event) override;
    void AfterEvent(const KVTimedEvent& event) override;

  private:
    // What the strict mode keeps per DSP pin beside the core's own state.
    struct Watched {
        float* buffer = nullptr;   // the core's buffer (DT_FSAMPLE), guards around it
        void* variable = nullptr;  // the bound member (null for repeats)
        bool output = false;
        std::vector<float> before;  // outputs: the slice's samples; inputs: the whole block
        // outputs: the statuses announced, (clock, status) in the order sent; the host keeps a
        // buffer's samples across blocks, so a sample the module leaves alone keeps its value
        std::vector<std::pair<uint32_t, int32_t>> statuses;
        std::vector<uint64_t> block_hashes;      // running hash of the samples at each block end
        uint64_t hash = 1469598103934665603ull;  // running hash of every sample's bits
    };

    void CheckGuards(const char* when);
    void CountAllocations(const std::string& during);
    int32_t StatusAt(const Watched& pin, uint32_t clock) const;
    const std::string& Name(int32_t dsp_pin) const { return Describe(dsp_pin).name; }
    std::string Where() const;

    std::shared_ptr<Plugin> plugin_;
    Findings& findings_;
    double sample_rate_;
    int32_t block_size_;
    int32_t repeat_pins_;
    std::unique_ptr<DspInstance> dsp_;
    std::vector<Watched> watched_;
    std::optional<alloc::Window> window_;  // open during each process call and delivery
    bool in_process_ = false;
    uint32_t slice_end_ = 0;
    bool inputs_finite_ = true;
    uint64_t audio_allocations_ = 0;
    uint64_t kept_ = 0;
    uint64_t status_hash_ = 1469598103934665603ull;
};

class StrictGui : public GuiWatcher {
  public:
    // `pins`: the module's descriptions, as a DSP instance gave them.
    StrictGui(std::shared_ptr<Plugin> plugin, Findings& findings, std::vector<PinInfo> pins);
    ~StrictGui() override;  // GUI_CLOSE
    StrictGui(const StrictGui&) = delete;
    StrictGui& operator=(const StrictGui&) = delete;

    bool Create();  // the core's instance and record checks; false when it has no GUI side
    void Init(bool flag);
    void Close();
    const std::vector<PinInfo>& Pins() const { return pins_; }
    GuiInstance& Core() { return *gui_; }

    // A user edit: stores the value and notifies the module (GUI_PIN_CHANGED), changed or not.
    void EditText(int32_t index, const std::string& text);
    void EditFloat(int32_t index, float value);
    void EditInt(int32_t index, int32_t value);
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);

    std::string Snapshot() const;  // every pin value as text, for comparisons
    uint64_t Notifications() const { return gui_ != nullptr ? gui_->Notifications() : 0; }

    intptr_t Request(GuiInstance& gui, int32_t opcode, int32_t index, int32_t value, void* ptr,
                     float opt) override;
    void DepthLimit(int32_t index) override;

  private:
    bool Described(int32_t index, const char* what);

    std::shared_ptr<Plugin> plugin_;
    Findings& findings_;
    std::vector<PinInfo> pins_;
    std::unique_ptr<GuiInstance> gui_;
};

}  // namespace kvhost::validate
