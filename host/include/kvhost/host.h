// The substitute host's core: loads a deliverable and drives its DSP and GUI instances
// exactly as the Kolvex host does (records, opcodes, sample clock, time-stamped events, pin
// values). Every front end (render, gui, plot, validate, play, the LV2 bridge) drives
// modules through these classes and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kv_abi.h"

namespace kvhost {

// Every failure the host reports; the message names the file, module, pin or value at fault.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A plug-in that cannot be used at all: missing, not a library, no entry points, refused
// instances, no GUI side where one is needed.
struct LoadError : Error {
    using Error::Error;
};
// A GUI instance asked of a plug-in that has none (makeModule answered null for kind 2).
struct NoGuiSide : LoadError {
    using LoadError::LoadError;
};

// A patch named a plug-in outside the plug-in search path: refused before any of its code
// was loaded. The message names the folder and the option that would allow it.
struct PluginRefused : Error {
    using Error::Error;
};

// The build tree's plug-in folder (compiled in).
std::string PluginDir();

// The plug-in search path, every folder as its canonical path, each once, in the order they
// are searched: the folders the user named (SetPluginFolders; kvhost's --plugin-path), those
// in KVHOST_PLUGIN_PATH (':' between them), the installed plug-in folder beside the program
// (KVHOST_INSTALLED_PLUGINS from the program's own folder), and PluginDir() when the program
// runs from that build tree. Folders that do not exist are left out.
std::vector<std::string> PluginSearchPath();
// A file or folder of the release: `installed`, relative to the program's folder, where it
// exists or the program runs from no build tree; else `built`, this build tree's.
std::string ReleaseFile(const std::string& installed, const std::string& built);
// The folders the user named, searched before all others.
void SetPluginFolders(std::vector<std::string> folders);
// Every deliverable (*.so) in the search path's folders, in name order; of several files of
// one name, the first folder's.
std::vector<std::string> PluginFiles();
// The file of a deliverable named by name ("ZOR Twin-Op", "ZOR Twin-Op.so") or id
// ("wy:VUDA2DU") on the search path, or nothing.
std::optional<std::string> FindPlugin(const std::string& name_or_id);

// One loaded deliverable. Instances keep their Plugin alive; the library is unloaded with it.
class Plugin {
  public:
    // A path (anything holding a '/' or ending in ".so"), loaded from wherever it lies (the
    // user named it), or a deliverable name or id found on the search path (FindPlugin).
    static std::shared_ptr<Plugin> Load(const std::string& path_or_name);
    // What a patch names: a deliverable name or id found on the search path, or a path to a
    // file inside one of its folders. Anything else is refused with PluginRefused before its
    // file is opened: opening a patch never runs code from elsewhere.
    static std::shared_ptr<Plugin> LoadFromSearchPath(const std::string& reference);
    // A module whose entry points are linked into this program (fuzz targets): nothing is
    // loaded or unloaded; `name` stands for the path in messages.
    static std::shared_ptr<Plugin> FromEntries(const std::string& name,
                                               KVGetModulePropertiesFn get_properties,
                                               KVMakeModuleFn make_module);
    // Links a module's entry points into this program under its deliverable name (the
    // WebAssembly build, which loads no files). Once any module is linked, Load finds modules
    // among the linked ones alone, by deliverable name or id.
    static void Link(const std::string& deliverable, KVGetModulePropertiesFn get_properties,
                     KVMakeModuleFn make_module);
    static std::vector<std::string> LinkedNames();  // deliverable names, in linking order
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& Path() const { return path_; }
    const KVModuleInfo& Info() const { return info_; }  // getModuleProperties(0)
    std::string Name() const;                           // Info().name, never null
    int32_t Revision() const { return info_.frame_revision; }
    KVGetModulePropertiesFn GetModuleProperties() const { return get_properties_; }
    KVMakeModuleFn MakeModule() const { return make_module_; }

  private:
    Plugin() = default;
    void ReadIdentity();  // getModuleProperties(0), checked
    // The linked module `name` names; null when none is linked, LoadError when it names none.
    static std::shared_ptr<Plugin> FindLinked(const std::string& name);

    std::string path_;
    void* handle_ = nullptr;
    KVGetModulePropertiesFn get_properties_ = nullptr;
    KVMakeModuleFn make_module_ = nullptr;
    KVModuleInfo info_{};
};

// One pin description as MOD_PIN_INFO answered it.
struct PinInfo {
    int32_t index = 0;       // description index (GUI side addresses pins by it)
    int32_t dsp_index = -1;  // PinAt position on the DSP side; -1: GUI-only
    std::string name;
    int32_t direction = 0, datatype = 0, flags = 0;
    std::optional<std::string> default_value, choices;
    void* variable = nullptr;  // the bound member of the instance that described it

    bool IsOutput() const { return direction == DR_OUT; }
    bool IsGuiSide() const { return (flags & IO_UI_COMMUNICATION) != 0; }
    bool IsDspVisible() const { return (flags & IO_DSP_VISIBLE) != 0; }
};

// Description `index` as a module answered MOD_PIN_INFO, copied out of its record (no DSP
// position yet; a null name reads as empty). KVIsDspSidePin (kv_abi.h) decides which
// descriptions get a DSP position.
PinInfo DescribedPin(int32_t index, const KVPinProperties& p);

// Whether a wire may join output `from` to input `to`: samples to samples, or a value
// (choice, switch, real, integer) to a value.
bool Wireable(const PinInfo& from, const PinInfo& to);

// A "choices" text in any of its three forms: "A=1,B=0", "A,B,C" or "range lo,hi".
struct ChoiceList {
    bool is_range = false;
    int32_t low = 0, high = 0;                             // range form
    std::vector<std::pair<std::string, int32_t>> entries;  // label forms
    // The value a label (or a number within the list or range) names.
    std::optional<int32_t> Find(std::string_view text) const;
};
ChoiceList ParseChoices(std::string_view choices);

// A pin value from a user's text: a number, a choice label (or value), on/off for a switch.
// Nothing when the text fits none of them. Sample pins: the number as written (volts).
std::optional<double> ValueFromText(const PinInfo& pin, std::string_view text);

// The value an input holds once `value` is written into it, narrowed as the host writes pin
// members: a choice or whole number truncated and limited to its width, a switch 0 or 1,
// reals and samples in single precision (NaN gives 0 where the type has no NaN).
double HeldValue(int32_t datatype, double value);

// A value a user gives for a pin (a patch setting, a value on the command line, a control
// line, a panel message, a value play saves), held to what the pin offers: a choice takes a
// label, or a value in its list or inside its range; any number stays finite once narrowed
// to the pin's type (a sample pin's volts as volts x 0.1); a text is at most kMaxTextValue
// bytes; a MIDI input takes no value. Every front end checks users' values here alone, so
// that what one refuses all refuse. The host library itself writes any value.
constexpr std::size_t kMaxTextValue = 8192;
struct UserValue {
    std::optional<double> value;  // a number pin's value, as ValueFromText reads it
    std::string refusal;          // why not, e.g. "\"7\" is not one of: Start=0,End=1"
    bool Accepted() const { return refusal.empty(); }
};
UserValue CheckUserValue(const PinInfo& pin, std::string_view text);

// A whole input file (`what` names its kind: "patch file"). A path that is missing, names a
// folder or cannot be read throws Error naming it and saying which.
std::string ReadWholeFile(const std::string& path, const std::string& what);
// Writes a file so that it is either complete or untouched: a temporary file in the same
// folder, flushed to the disk, renamed over the target. Errors name the file.
void WriteFileAtomically(const std::string& path, const std::string& text);

// The shortest text of `v` that reads back to a number `good` accepts (without `good`: `v`
// itself): plain decimals in the range people write, exponents only beyond it.
std::string ShortestNumber(double v, const std::function<bool(double)>& good = {});

// A user's text quoted for a message: at most 60 characters of it, "..." marking a cut.
std::string QuoteText(std::string_view text);

// A name or path quoted whole for a message: the names a user must find again (modules,
// pins, plug-ins, files) are never cut.
std::string QuoteName(std::string_view name);

// The pins a user's name means: those with that name (several pins may share one), or for
// "#N" the pin with description index N. Empty when none.
std::vector<int32_t> PinsNamed(const std::vector<PinInfo>& pins, std::string_view name);
// The one pin a user's name means. Error naming `owner` (a module, a plug-in) and the pin when
// none does, or when several share the name (listing their "#N", one of which to give).
int32_t PinNamed(const std::vector<PinInfo>& pins, std::string_view owner, std::string_view name);

// Text names of the codes, for messages and listings.
const char* DataTypeName(int32_t datatype);
const char* DirectionName(int32_t direction);
std::string FlagNames(int32_t flags);

class DspInstance;

// Whether sample clock `a` lies before `b`. The modules' clock is 32 bits and wraps; two
// clocks are ordered as the nearer way round (serial-number arithmetic), which holds for
// every pair of times an instance has queued at once.
constexpr bool ClockBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// What a strict driver (the validator) watches: a DspInstance with a watcher calls it around
// every entry into its module, on the thread that drives the instance. The defaults do
// nothing more than the host does.
class DspWatcher {
  public:
    virtual ~DspWatcher() = default;
    // Every request of the module passes here; the default answers it as the host does
    // (DspInstance::Answer). A watcher may check it first, or refuse it (answer 0).
    virtual intptr_t Request(DspInstance& dsp, int32_t opcode, int32_t index, int32_t value,
                             void* ptr);
    virtual void BlockStart() {}  // a block begins: its input buffers hold their samples
    virtual void BeforeProcess(int32_t /*first*/, int32_t /*count*/) {}
    // A slice has ended: processed by the module, or held while it is dormant.
    virtual void AfterSlice(int32_t /*first*/, int32_t /*count*/, bool /*processed*/) {}
    virtual void BeforeEvent(const KVTimedEvent& /*event*/) {}
    virtual void AfterEvent(const KVTimedEvent& /*event*/) {}
};

// One DSP-side instance, driven as the real host does: pins counted by the frame revision,
// defaults and values written into bound members, one host buffer per sample pin, a
// time-ordered event queue, blocks cut at event times with HOST_CLOCK at each event's stamp,
// dormancy with held outputs, statuses passed on to wired instances.
//
// Threads: one thread drives an instance at a time. Real-time use (a JACK process callback,
// an LV2 run()): set up, wire and SetRealTime(true) (and ReserveEvents if 1024 queued events
// may not do) before Open. From then on Run, SetValue, SetConstant, PostStatus, PostEvent,
// SendMidi, SendMidiWord, Buffer, ReadValue and every request of the module allocate nothing
// and take no lock: the queue never grows (a full queue drops the event and counts it) and
// nothing is recorded or logged. Errors (a wrong pin, a clock in the past) still throw, so a
// real-time caller passes pins and clocks it has checked. SetStream, Connect, ConnectBuffer,
// the listener and the recording and logging switches belong to set-up.
class DspInstance {
  public:
    // makeModule(kind 1), MOD_SAMPLE_RATE, MOD_BLOCK_SIZE, MOD_PIN_INFO until refused, host
    // buffers allocated and default values written into the bound members. `repeat_pins`
    // adds that many copies of a last description flagged IO_REPEAT_LAST to HOST_PIN_COUNT.
    DspInstance(std::shared_ptr<Plugin> plugin, double sample_rate = 44100.0,
                int32_t block_size = 1024, int32_t repeat_pins = 0);
    ~DspInstance();  // MOD_CLOSE, unless Close() sent it
    DspInstance(const DspInstance&) = delete;
    DspInstance& operator=(const DspInstance&) = delete;

    const std::shared_ptr<Plugin>& GetPlugin() const { return plugin_; }
    const std::vector<PinInfo>& Pins() const { return pins_; }  // every description
    int32_t PinCount() const;                                   // HOST_PIN_COUNT
    int32_t DspPin(std::string_view name) const;       // DSP pin index by name (throws if none)
    const PinInfo& DspPinInfo(int32_t dsp_pin) const;  // its description (repeats: the last)
    double SampleRate() const { return sample_rate_; }
    int32_t BlockSize() const { return block_size_; }

    // Before Open: the sample clock the instance starts at (0 unless given).
    void SetStartClock(uint32_t clock);
    // Before Open: an input's starting value (DT_FSAMPLE: the constant it holds, in signal
    // units), as if it were the pin's default.
    void SetInitial(int32_t dsp_pin, double value);

    // MOD_OPEN, then an initial EV_PIN_STATUS at the current clock for every input pin
    // (MIDI inputs included; PS_STREAM for an input given a stream, PS_STEP otherwise).
    void Open();
    bool IsOpen() const { return opened_; }
    // MOD_CLOSE now; answers the module's result (1). Nothing is called after it.
    intptr_t Close();

    // Input changes, each taking effect at absolute sample clock `at` (>= Clock()).
    // DT_CHOICE/SWITCH/REAL32/WHOLE32: the bound member is written at `at` (a value
    // outside the member's range is limited to it, NaN gives 0), then EV_PIN_STATUS(PS_STEP)
    // delivered. A DT_FSAMPLE pin takes the value as a constant.
    void SetValue(std::string_view pin, double value, uint32_t at) {
        SetValue(DspPin(pin), value, at);
    }
    void SetValue(int32_t dsp_pin, double value, uint32_t at, int32_t status = PS_STEP);
    // A DT_FSAMPLE input holds `value` from `at` on (announced with `status`).
    void SetConstant(std::string_view pin, float value, uint32_t at) {
        SetConstant(DspPin(pin), value, at);
    }
    void SetConstant(int32_t dsp_pin, float value, uint32_t at, int32_t status = PS_STEP);
    // A DT_FSAMPLE input follows f from `at` on (PS_STREAM). Before Open, a stream from
    // the current clock is the input's starting source, announced by its initial status.
    void SetStream(std::string_view pin, std::function<float(uint32_t clock)> f, uint32_t at) {
        SetStream(DspPin(pin), std::move(f), at);
    }
    void SetStream(int32_t dsp_pin, std::function<float(uint32_t clock)> f, uint32_t at);
    // A DT_FSAMPLE input copies another instance's block buffer (a wire); statuses come
    // separately through PostStatus. Takes effect at once, without an event.
    void ConnectBuffer(int32_t dsp_pin, const float* block_buffer);
    // A DT_FSAMPLE input whose samples the caller writes itself into the block buffer this
    // answers (one block long): before each Run, the positions that Run covers, from
    // Clock() - BlockStart() on (from 0 when that is a whole block). The host stops filling
    // it until SetConstant, SetStream or ConnectBuffer gives it a source again. No event:
    // statuses come through PostStatus. For hosts whose calls bring their own sample
    // buffers (the LV2 bridge).
    float* FeedInput(int32_t dsp_pin);
    // Wires output `output` to input `input` of `to` (which runs after this instance in
    // each block): a sample output's buffer feeds the input and each status announced on
    // it follows at its clock; a value output's value is written into the input with each
    // status (HOST_OUT_STATUS or HOST_PIN_AT_TIME) at its clock, or at once if `to` is past it.
    void Connect(int32_t output, DspInstance& to, int32_t input);
    // From the next block on (called between blocks only), a DT_FSAMPLE output's block
    // buffer is `buffer`, BlockSize() floats of the caller's, which the module writes
    // straight into; null makes it the host's own again, its last sample set to `last`.
    // While the buffer is the caller's, the caller puts the output's last sample at its end
    // (index BlockSize() - 1) before each block: holding starts from there when the module
    // sleeps from that block on. False, nothing changed, for an output without a bound
    // member (the frame keeps the address it had at open). For hosts that bring their own
    // buffers (LV2), and only where the module writes every sample it outputs.
    bool UseOutputBuffer(int32_t dsp_pin, float* buffer, float last = 0.0f);
    // EV_PIN_STATUS(status) for an input at `at` (clamped to Clock()), value unchanged.
    void PostStatus(int32_t dsp_pin, int32_t status, uint32_t at);
    // An EV_MIDI event on a DT_MIDI_STREAM input.
    void SendMidi(std::string_view pin, uint32_t at, uint8_t status, uint8_t d1, uint8_t d2) {
        SendMidi(DspPin(pin), at, status, d1, d2);
    }
    void SendMidi(int32_t dsp_pin, uint32_t at, uint8_t status, uint8_t d1, uint8_t d2);
    // An EV_MIDI event with any message word and second datum.
    void SendMidiWord(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2);
    // Any event, queued as if the module had posted it (HOST_POST_EVENT): delivered at its
    // stamp, or at once if that is past (the stamp moved to the clock, counted as late).
    void PostEvent(const KVTimedEvent& event);

    // Advances the clock by `samples`, blocks cut at event times. A whole block with nothing
    // to deliver, record or watch is its inputs' refill and one process call (the short path).
    void Run(uint32_t samples) {
        if (whole_blocks_ && samples == static_cast<uint32_t>(block_size_)) {
            block_start_ = clock_;
            if (refill_inputs_) RefillInputs();
            process_(object_, 0, block_size_);
            clock_ += samples;
            ++process_calls_;
            if (failed_) [[unlikely]]
                RaiseDeferred();
        } else {
            RunSlices(samples);
        }
    }
    // Moves the clock on by `samples` without processing (a sleeping voice): the module
    // keeps its state and buffers, and resumes with the clock where the caller is. Only
    // with no event due in the samples skipped, which the caller checks.
    void Skip(uint32_t samples) { clock_ += samples; }
    // An event queued for a clock before `end` (the nearer way round).
    bool EventBefore(uint32_t end) const {
        return !queue_.empty() && ClockBefore(queue_.front().time, end);
    }
    uint32_t Clock() const { return clock_; }

    // Every sample of a DT_FSAMPLE output since Open, indexed by clock (held values
    // included while dormant). Empty when recording is off.
    const std::vector<float>& Output(std::string_view pin) const { return Output(DspPin(pin)); }
    const std::vector<float>& Output(int32_t dsp_pin) const;
    void SetRecording(bool on) {
        recording_ = on;
        whole_blocks_ = whole_blocks_ && !on;
    }
    // Whether Statuses(), PinAtTimes() and DormantRequests() keep growing (long runs and
    // benchmarks turn this off; the status listener is called either way).
    void SetLogging(bool on) { logging_ = on; }
    // Real-time use (see the class comment): recording and logging off, a queue that never
    // grows. Off again: the queue grows when full.
    void SetRealTime(bool on);
    // Room for `events` queued events (default 1024); set-up only.
    void ReserveEvents(std::size_t events);
    std::size_t QueuedEvents() const { return queue_.size(); }
    // Events refused because the queue was full in real-time use.
    std::size_t DroppedEvents() const { return dropped_events_; }
    // A strict driver's hooks (nullptr: none); the watcher must outlive its use here.
    void SetWatcher(DspWatcher* watcher);
    // The current block buffer of a DT_FSAMPLE pin and the clock of its first sample. Every
    // buffer has kGuardWords host-owned floats of slack before and after it, never used by
    // the host (a strict driver keeps guard words there).
    const float* Buffer(int32_t dsp_pin) const;
    static constexpr int32_t kGuardWords = 16;
    uint32_t BlockStart() const { return block_start_; }
    // The value in a pin's bound member (DT_FSAMPLE: the sample at Clock() - 1).
    double ReadValue(int32_t dsp_pin) const;

    struct StatusRecord {
        int32_t pin;
        int32_t status;
        uint32_t clock;        // the clock the module stamped it with
        uint32_t sent_during;  // HOST_CLOCK when it was sent
    };
    const std::vector<StatusRecord>& Statuses() const { return statuses_; }  // HOST_OUT_STATUS
    // Called for every output change of a pin (HOST_OUT_STATUS, and HOST_PIN_AT_TIME when
    // its value is set), after it is recorded and passed to wired instances (GUI carries).
    void SetStatusListener(std::function<void(const StatusRecord&)> listener);
    struct PinAtTimeRecord {
        int32_t pin;
        int32_t value;
        uint32_t clock;
    };
    // Every HOST_PIN_AT_TIME request, as asked (value outputs also take the value).
    const std::vector<PinAtTimeRecord>& PinAtTimes() const { return pin_at_times_; }
    const std::vector<uint32_t>& DormantRequests() const { return dormant_requests_; }
    bool IsDormant() const { return dormant_; }
    std::size_t ProcessCalls() const { return process_calls_; }
    std::size_t EventsDelivered() const { return events_delivered_; }
    // Events the module posted for a clock inside a slice already running: delivered at
    // the end of that slice with the stamp moved to it.
    std::size_t LateEvents() const { return late_events_; }
    KVHostRecord* Record() { return record_; }
    // A raw request to the module's dispatch entry (0 once closed).
    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);
    // The host's answer to a request of the module (the callback's body; watchers pass
    // requests on to it).
    intptr_t Answer(int32_t opcode, int32_t index, int32_t value, void* ptr);

  private:
    enum class Source : uint8_t { kConstant, kStream, kBuffer, kCaller };
    enum class Action : uint8_t { kDeliver, kSetValue, kSetConstant, kSetStream, kSetOutput };
    struct Pin {
        Pin(int32_t d, int32_t dir, int32_t type, void* var)
            : desc(d), direction(dir), datatype(type), variable(var) {}
        int32_t desc;  // description index (repeats: the last description)
        int32_t direction, datatype;
        void* variable;
        float* buffer = nullptr;  // DT_FSAMPLE: one block of host storage
        float* home = nullptr;    // that storage, while `buffer` is the caller's
        Source source = Source::kConstant;
        float constant = 0.0f;
        bool constant_filled = false;
        std::function<float(uint32_t)> stream;
        const float* external = nullptr;
        float held = 0.0f;  // last output sample, repeated while dormant
        bool connected = false;
        std::vector<float> record;
    };
    // A wire from one of this instance's outputs (Connect).
    struct Link {
        int32_t from_pin;
        DspInstance* to;
        int32_t to_pin;
        bool samples;
    };
    struct Queued {
        uint32_t time;
        uint64_t seq;
        Action action;
        int32_t pin;
        double value;
        KVTimedEvent event;
    };
    struct Later {
        bool operator()(const Queued& a, const Queued& b) const {
            return a.time != b.time ? ClockBefore(b.time, a.time) : a.seq > b.seq;
        }
    };

    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    [[noreturn]] void Fail(const std::string& what) const;  // an Error naming the module
    [[noreturn]] void PinFail(int32_t dsp_pin, const std::string& what) const;
    void Hold(Pin& pin, float value);  // a DT_FSAMPLE input holds a constant from now on
    Pin& CheckedPin(int32_t dsp_pin, const char* what);
    void CheckTime(uint32_t at, int32_t dsp_pin) const;
    void Push(const Queued& q);
    void Deliver(Queued& q);
    void WriteMember(Pin& pin, double value);
    void Announce(const StatusRecord& s);  // an output change: wires, then the listener
    void AfterSlice(int32_t pos, int32_t count, bool processed);
    void RefillInputs();  // input buffers of the new block from their sources
    void DeliverDue();
    void RunSlices(uint32_t samples);
    [[noreturn]] void RaiseDeferred() const;

    // What every block touches, together: the short path reads nothing else.
    KVProcessEntry process_ = nullptr;
    void* object_ = nullptr;
    int32_t block_size_;
    uint32_t clock_ = 0;
    uint32_t block_start_ = 0;
    // The next block may take the short path: the clock sits at a block boundary, the
    // module ran the last slice, and nothing is queued, recorded, watched or failed. Every
    // change to one of those clears it; the slice loop sets it again.
    bool whole_blocks_ = false;
    bool refill_inputs_ = false;  // some input buffer takes new samples each block
    bool failed_ = false;
    std::size_t process_calls_ = 0;

    std::shared_ptr<Plugin> plugin_;
    KVHostRecord* record_ = nullptr;
    double sample_rate_;
    std::vector<PinInfo> pins_;
    std::vector<Pin> dsp_;
    std::vector<int32_t> sample_inputs_, sample_outputs_;
    std::vector<float> storage_;
    std::vector<Queued> queue_;
    std::vector<std::function<float(uint32_t)>> pending_streams_;
    std::size_t streams_queued_ = 0;        // kSetStream entries waiting in the queue
    std::vector<std::vector<Link>> links_;  // per DSP pin: its wires (empty: none at all)
    std::vector<StatusRecord> statuses_;
    std::vector<PinAtTimeRecord> pin_at_times_;
    std::vector<uint32_t> dormant_requests_;
    std::function<void(const StatusRecord&)> status_listener_;
    DspWatcher* watcher_ = nullptr;
    uint64_t seq_ = uint64_t{1} << 40;
    bool block_started_ = false;
    bool opened_ = false;
    bool dormant_ = false;
    bool recording_ = true;
    bool logging_ = true;
    bool real_time_ = false;
    bool ran_last_slice_ = false;  // the module ran the previous slice (not dormant)
    std::size_t events_delivered_ = 0, late_events_ = 0;
    std::size_t dropped_events_ = 0;
    std::string deferred_error_;  // a failure inside a callback, raised after the call
};

class GuiInstance;

// What a strict driver watches on a GUI instance (see DspWatcher).
class GuiWatcher {
  public:
    virtual ~GuiWatcher() = default;
    // Every request of the GUI side passes here; the default answers it as the host does.
    virtual intptr_t Request(GuiInstance& gui, int32_t opcode, int32_t index, int32_t value,
                             void* ptr, float opt);
    // A notification for pin `index` not sent: writes nested GuiInstance::kMaxDepth deep.
    virtual void DepthLimit(int32_t /*index*/) {}
};

// One GUI-side instance. Pin values are held by description index, typed by the pin's
// datatype (texts for DT_STRING, floats for DT_REAL32 and DT_FSAMPLE, integers otherwise).
// Its entries and requests run on one thread (the user interface's).
class GuiInstance {
  public:
    // makeModule(kind 2); the pin descriptions come from a DSP instance of the same plug-in
    // (opened and closed again); values from the description defaults. NoGuiSide when the
    // plug-in has none.
    explicit GuiInstance(std::shared_ptr<Plugin> plugin);
    // The same with the descriptions given (as a DSP instance answered them).
    GuiInstance(std::shared_ptr<Plugin> plugin, std::vector<PinInfo> pins);
    ~GuiInstance();  // GUI_CLOSE, unless Close() sent it
    GuiInstance(const GuiInstance&) = delete;
    GuiInstance& operator=(const GuiInstance&) = delete;

    const std::shared_ptr<Plugin>& GetPlugin() const { return plugin_; }
    const std::vector<PinInfo>& Pins() const { return pins_; }
    int32_t PinIndex(std::string_view name) const;  // description index (throws if none)

    void Init(bool flag);  // GUI_INIT
    intptr_t Close();      // GUI_CLOSE now; answers the module's result (1)
    // Before Init: a value from a stored patch, kept without notifying anyone (GUI_INIT with
    // the flag set then finds it, as when the host restores a patch).
    void Restore(int32_t index, const std::string& text);
    // A user edit: stores the value and, when it changed, sends GUI_PIN_CHANGED.
    void SetText(int32_t index, const std::string& text);
    void SetText(std::string_view name, const std::string& text) { SetText(PinIndex(name), text); }
    void SetFloat(int32_t index, float value);
    void SetFloat(std::string_view name, float value) { SetFloat(PinIndex(name), value); }
    void SetInt(int32_t index, int32_t value);
    void SetInt(std::string_view name, int32_t value) { SetInt(PinIndex(name), value); }
    // A value arriving from elsewhere (the DSP side, a wire): stored, GUI_PIN_CHANGED sent
    // when it changed (always when `always_notify`), no carry back.
    void Receive(int32_t index, const std::string& text, bool always_notify = false);
    void ReceiveFloat(int32_t index, float value, bool always_notify = false);
    void ReceiveInt(int32_t index, int32_t value, bool always_notify = false);

    std::string Text(int32_t index) const;  // any pin as text
    std::string Text(std::string_view name) const { return Text(PinIndex(name)); }
    float Float(int32_t index) const;
    float Float(std::string_view name) const { return Float(PinIndex(name)); }
    int32_t Int(int32_t index) const;
    int32_t Int(std::string_view name) const { return Int(PinIndex(name)); }

    intptr_t Dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                      float opt = 0.0f);
    // The host's answer to a request of the GUI side (the callback's body).
    intptr_t Answer(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);

    struct Request {
        int32_t opcode;
        int32_t index;
        int32_t value;
        float opt;
        std::string text;  // GUIHOST_PUT_TEXT: the text written
        int32_t depth;     // notification depth when the request was made
    };
    const std::vector<Request>& Log() const { return log_; }  // host requests, in order
    void ClearLog() { log_.clear(); }
    void SetLogging(bool on) { logging_ = on; }                   // whether Log() keeps growing
    std::size_t Notifications() const { return notifications_; }  // GUI_PIN_CHANGED sent
    std::size_t DepthLimitHits() const { return depth_limit_hits_; }
    static constexpr int32_t kMaxDepth = 16;
    // Called after the GUI itself wrote a pin (and its own notification returned).
    void SetWriteListener(std::function<void(int32_t index)> listener);
    void SetWatcher(GuiWatcher* watcher) { watcher_ = watcher; }
    KVGuiHostRecord* Record() { return record_; }

  private:
    struct Value {
        int32_t datatype = DT_WHOLE32;
        std::string text;
        int32_t whole = 0;
        float real = 0.0f;
        std::string shown;  // GUIHOST_GET_TEXT answer for a number pin
    };

    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    void Make();  // values from the defaults, then makeModule(kind 2)
    Value& CheckedValue(int32_t index);
    const Value& CheckedValue(int32_t index) const;
    bool StoreText(Value& v, const std::string& text);
    bool StoreFloat(Value& v, float f);
    bool StoreInt(Value& v, int32_t i);
    void Notify(int32_t index);
    void Written(int32_t index, bool changed);

    std::shared_ptr<Plugin> plugin_;
    KVGuiHostRecord* record_ = nullptr;
    std::vector<PinInfo> pins_;
    std::vector<Value> values_;
    std::vector<Request> log_;
    std::function<void(int32_t)> write_listener_;
    GuiWatcher* watcher_ = nullptr;
    int32_t depth_ = 0;
    bool logging_ = true;
    std::size_t notifications_ = 0;
    std::size_t depth_limit_hits_ = 0;
};

// Both sides of one module. Pins flagged IO_UI_COMMUNICATION are carried between them:
// a GUI write to a pin that is IO_DSP_VISIBLE too writes the DSP member and delivers
// EV_PIN_STATUS(PS_STEP) at the DSP clock; a status the DSP side announces on such a pin
// carries its value to the GUI (GUI_PIN_CHANGED) when the DSP run returns.
class ModuleInstance {
  public:
    explicit ModuleInstance(std::shared_ptr<Plugin> plugin, double sample_rate = 44100.0,
                            int32_t block_size = 1024);
    ~ModuleInstance();  // GUI_CLOSE, then MOD_CLOSE; nothing is carried while closing
    ModuleInstance(const ModuleInstance&) = delete;
    ModuleInstance& operator=(const ModuleInstance&) = delete;
    DspInstance& Dsp() { return *dsp_; }
    GuiInstance& Gui() { return *gui_; }
    // Also carry a DSP output (DT_FSAMPLE or a bound member) to a GUI pin: each status the
    // DSP side announces on it delivers the value at the announced clock.
    void Carry(std::string_view dsp_output, std::string_view gui_pin);
    void Open(bool gui_flag = true);  // GUI_INIT, then MOD_OPEN (carries delivered)
    void Run(uint32_t samples);       // DSP run, then pending carries to the GUI
    std::size_t Carried() const { return carried_; }

  private:
    struct PendingCarry {
        int32_t dsp_pin;
        int32_t gui_index;
        uint32_t clock;
        double value;
        bool from_buffer;
    };
    void OnStatus(const DspInstance::StatusRecord& s);
    void OnGuiWrite(int32_t index);
    void DeliverCarries(bool all);

    std::shared_ptr<Plugin> plugin_;
    std::unique_ptr<DspInstance> dsp_;
    std::unique_ptr<GuiInstance> gui_;
    std::vector<std::vector<int32_t>> dsp_to_gui_;  // per DSP pin: GUI indices fed by it
    std::vector<PendingCarry> pending_;
    bool carrying_to_gui_ = false;
    std::size_t carried_ = 0;
};

}  // namespace kvhost
