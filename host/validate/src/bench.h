// The validator's own strict host: drives one DSP or GUI instance of a deliverable through
// its raw entry points and watches everything the instance does (unwritten or non-finite
// output samples, writes outside its buffers, changed inputs, events posted for the past,
// allocations on the audio path, requests for pins it does not have).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kv_abi.h"
#include "kvhost/host.h"

namespace kvhost::validate {

// printf-style formatting for findings' messages (at most 511 characters).
std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The two entry points of one deliverable, however they were obtained.
struct Entries {
    std::string name;
    KVGetModulePropertiesFn get = nullptr;
    KVMakeModuleFn make = nullptr;
};

// What a check found: failures make the deliverable fail, notes are only reported.
class Findings {
  public:
    void Fail(const std::string& check, const std::string& message);
    void Note(const std::string& check, const std::string& message);
    bool Failed() const { return failures_ > 0; }
    uint64_t Failures() const { return failures_; }
    struct Item {
        std::string check;
        bool failure;
        uint64_t count = 0;  // occurrences, each message kept once
        std::vector<std::string> messages;
    };
    const std::vector<Item>& Items() const { return items_; }
    void Merge(const Findings& other);
    void Add(const Item& item);

  private:
    void Record(const std::string& check, const std::string& message, bool failure);
    std::vector<Item> items_;
    uint64_t failures_ = 0;
};

// The bit pattern written into every output sample before a process call: a quiet NaN no
// arithmetic produces, so a sample still holding it was not written.
constexpr uint32_t kUnwrittenTag = 0x7FC0DEADu;
// Guard words around every host buffer: overwritten guards mean a write outside the buffer.
constexpr uint32_t kGuardTag = 0x7FBADBADu;
constexpr int32_t kGuardWords = 16;

// How a DT_FSAMPLE input behaves from a clock on.
struct SampleSource {
    bool stream = false;
    float constant = 0.0f;
    uint64_t seed = 0;     // stream: sample at clock t drawn from (seed, t)
    bool hostile = false;  // stream: may draw NaN, infinities and huge values
};

class DspBench {
  public:
    DspBench(const Entries& entries, Findings& findings, double sample_rate, int32_t block_size,
             int32_t repeat_pins = 0);
    ~DspBench();  // MOD_CLOSE
    DspBench(const DspBench&) = delete;
    DspBench& operator=(const DspBench&) = delete;

    // makeModule(kind 1), record checks, rate, block size, pin descriptions, host buffers,
    // default values. False when there is no instance to drive.
    bool Create();
    // MOD_OPEN, then an initial status for every input.
    void Open();
    void Close();
    bool IsOpen() const { return opened_; }

    const std::vector<PinInfo>& Descriptions() const { return descriptions_; }
    int32_t PinCount() const { return static_cast<int32_t>(pins_.size()); }
    const PinInfo& Describe(int32_t dsp_pin) const;
    std::vector<int32_t> Inputs() const;   // DSP pins a host writes
    std::vector<int32_t> Outputs() const;  // DT_FSAMPLE outputs

    // Input changes at absolute clock `at` (>= Clock()).
    void SetValue(int32_t dsp_pin, double value, uint32_t at);  // bound member + PS_STEP
    void SetSource(int32_t dsp_pin, const SampleSource& source, uint32_t at);  // DT_FSAMPLE
    void SendMidi(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2);
    // Any event as the host would deliver it (kind, value, value2, extra as given).
    void SendRaw(uint32_t at, int32_t kind, int32_t value, int32_t value2, intptr_t extra);
    // Marks the inputs as having carried a non-finite value: outputs may be non-finite.
    void InputsNotFinite() { inputs_finite_ = false; }

    void Run(uint32_t samples);
    uint32_t Clock() const { return clock_; }

    // Running hash of every output sample's bits, per DT_FSAMPLE output, and of the
    // statuses the instance announced; equal runs give equal hashes.
    uint64_t OutputHash(int32_t dsp_pin) const;
    uint64_t StatusHash() const { return status_hash_; }
    // The clock of the first block whose outputs hashed differently from `other`'s, or -1.
    int64_t FirstDifference(const DspBench& other) const;

    uint64_t ProcessCalls() const { return process_calls_; }
    uint64_t EventsDelivered() const { return events_delivered_; }
    uint64_t AudioPathAllocations() const { return audio_allocations_; }
    uint64_t UnwrittenSamples() const { return unwritten_; }  // while announced streaming
    uint64_t KeptSamples() const { return kept_; }            // left alone while announced still
    uint64_t NonFiniteSamples() const { return non_finite_; }
    bool IsDormant() const { return dormant_; }
    KVHostRecord* Record() const { return record_; }
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);

  private:
    struct Pin {
        int32_t desc = -1;
        PinInfo info;
        std::vector<float> storage;  // guards + block + guards (DT_FSAMPLE)
        float* buffer = nullptr;
        std::vector<float> input_copy;
        std::vector<std::pair<uint32_t, SampleSource>> timeline;  // DT_FSAMPLE inputs
        std::vector<float> saved;  // outputs: the slice's samples before the process call
        // outputs: the statuses announced, (clock, status) in the order sent; the host keeps a
        // buffer's samples across blocks, so a sample the module leaves alone keeps its value
        std::vector<std::pair<uint32_t, int32_t>> statuses;
        std::vector<uint64_t> block_hashes;
        uint64_t hash = 1469598103934665603ull;
    };
    struct Queued {
        uint32_t time;
        uint64_t seq;
        bool host_write;  // write `value` into the pin's member before the status
        int32_t pin;
        double value;
        KVTimedEvent event;
    };

    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    intptr_t HostRequest(int32_t opcode, int32_t index, int32_t value, void* ptr);
    void Push(const Queued& q);
    void DeliverDue();
    void Deliver(Queued q);
    void StartBlock();
    void FillInput(Pin& pin, int32_t from);
    void ProcessSlice(int32_t pos, int32_t count);
    void CheckSlice(int32_t pos, int32_t count, bool processed);
    void CheckGuards(const char* when);
    void WriteMember(Pin& pin, double value);
    bool ValidPin(int32_t dsp_pin, const char* what);
    std::string Where() const;

    Entries entries_;
    Findings& findings_;
    double sample_rate_;
    int32_t block_size_;
    int32_t repeat_pins_;
    KVHostRecord* record_ = nullptr;
    void* object_ = nullptr;
    KVProcessEntry process_ = nullptr;
    std::vector<PinInfo> descriptions_;
    std::vector<Pin> pins_;
    std::vector<Queued> queue_;
    uint64_t seq_ = 0;
    uint32_t clock_ = 0;
    uint32_t block_start_ = 0;
    bool block_started_ = false;
    uint32_t host_clock_ = 0;  // what HOST_CLOCK answers
    bool in_process_ = false;
    uint32_t slice_end_ = 0;
    bool opened_ = false;
    bool closed_ = false;
    bool dormant_ = false;
    bool inputs_finite_ = true;
    uint64_t process_calls_ = 0, events_delivered_ = 0, audio_allocations_ = 0;
    uint64_t unwritten_ = 0, kept_ = 0, non_finite_ = 0;
    int32_t StatusAt(const Pin& pin, uint32_t clock) const;
    uint64_t status_hash_ = 1469598103934665603ull;
};

class GuiBench {
  public:
    // `pins`: the module's descriptions, as a DSP instance gave them.
    GuiBench(const Entries& entries, Findings& findings, std::vector<PinInfo> pins);
    ~GuiBench();  // GUI_CLOSE
    GuiBench(const GuiBench&) = delete;
    GuiBench& operator=(const GuiBench&) = delete;

    bool Create();  // makeModule(kind 2) and record checks; false when it has no GUI side
    void Init(bool flag);
    void Close();
    const std::vector<PinInfo>& Pins() const { return pins_; }

    // A user edit: stores the value and notifies the module (GUI_PIN_CHANGED).
    void EditText(int32_t index, const std::string& text);
    void EditFloat(int32_t index, float value);
    void EditInt(int32_t index, int32_t value);
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);

    std::string Snapshot() const;  // every pin value as text, for comparisons
    const std::string& Text(int32_t index) const { return values_.at(index).text; }
    uint64_t Notifications() const { return notifications_; }

  private:
    struct Value {
        int32_t datatype = DT_WHOLE32;
        std::string text;
        int32_t whole = 0;
        float real = 0.0f;
        std::string shown;
    };
    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    intptr_t HostRequest(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
    Value* Checked(int32_t index, const char* what);
    void Notify(int32_t index);

    Entries entries_;
    Findings& findings_;
    std::vector<PinInfo> pins_;
    std::vector<Value> values_;
    KVGuiHostRecord* record_ = nullptr;
    bool closed_ = false;
    int32_t depth_ = 0;
    uint64_t notifications_ = 0;
};

// ---- Hostile and ordinary input values ---------------------------------------------
class Randomness {
  public:
    explicit Randomness(uint64_t seed) : rng_(seed) {}
    uint64_t Next() { return rng_(); }
    int64_t Int(int64_t lo, int64_t hi);  // inclusive
    double Real(double lo, double hi);
    bool Chance(double p) { return Real(0.0, 1.0) < p; }
    // A float for a signal or a number pin; `hostile` adds NaN, infinities and huge values.
    float Sample(bool hostile);
    // A value for a pin of the given description (choices outside the list included).
    double PinValue(const PinInfo& pin, bool hostile);
    // A text for a text pin: empty, long, non-ASCII, separators, number lists of all kinds.
    std::string Text();
    // One MIDI message packed as the EV_MIDI value word: any bytes, or plausible messages.
    int32_t Midi();

  private:
    std::mt19937_64 rng_;
};

// A deterministic sample for a stream input at clock t.
float StreamSample(uint64_t seed, uint32_t t, bool hostile);

}  // namespace kvhost::validate
