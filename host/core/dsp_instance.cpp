// The DSP side as the host drives it: pin enumeration and binding, host buffers, the
// callback's DSP opcodes, the time-ordered event queue, the block loop cut at events, and
// output changes passed on to wired instances.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kvhost/host.h"
#include "values.h"

namespace kvhost {

namespace {

// A plug-in that keeps answering MOD_PIN_INFO is broken; stop asking here.
constexpr int32_t kMaxDescriptions = 4096;

bool CarriesValue(int32_t datatype) {
    return datatype == DT_CHOICE || datatype == DT_SWITCH || datatype == DT_REAL32 ||
           datatype == DT_WHOLE32;
}

uint32_t ClockOf(const void* ptr) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
}

// The later of two clocks (which wrap: the one less than half the clock's range ahead).
uint32_t LaterOf(uint32_t a, uint32_t b) {
    return ClockBefore(a, b) ? b : a;
}

}  // namespace

intptr_t DspWatcher::Request(DspInstance& dsp, int32_t opcode, int32_t index, int32_t value,
                             void* ptr) {
    return dsp.Answer(opcode, index, value, ptr);
}

DspInstance::DspInstance(std::shared_ptr<Plugin> plugin, double sample_rate, int32_t block_size,
                         int32_t repeat_pins)
    : block_size_(block_size), plugin_(std::move(plugin)), sample_rate_(sample_rate) {
    if (!plugin_) throw Error("DSP instance without a plug-in");
    const std::string who = QuoteName(plugin_->Name()) + " (" + plugin_->Path() + ")";
    if (!(sample_rate > 0.0) || !std::isfinite(sample_rate)) {
        throw Error(who + ": sample rate " + std::to_string(sample_rate) + " is not positive");
    }
    if (block_size <= 0 || block_size > (1 << 20)) {
        throw Error(who + ": block size " + std::to_string(block_size) + " is out of range");
    }
    if (repeat_pins < 0 || repeat_pins > 1024) {
        throw Error(who + ": repeat pin count " + std::to_string(repeat_pins) + " out of range");
    }
    void* made = plugin_->MakeModule()(0, KV_KIND_DSP, &DspInstance::Callback, this);
    if (made == nullptr) throw LoadError(who + ": makeModule refused a DSP instance");
    record_ = static_cast<KVHostRecord*>(made);
    if (record_->magic != KV_DSP_MAGIC || record_->format != KV_RECORD_FORMAT ||
        record_->dispatch == nullptr || record_->process == nullptr || record_->event == nullptr) {
        record_ = nullptr;  // not a record we can drive, nor close
        throw LoadError(who + ": makeModule answered something that is not a DSP record");
    }
    if (record_->host_reference != this) {
        record_ = nullptr;  // its requests could not reach this instance
        throw LoadError(who + ": the DSP record does not hold the host reference");
    }
    object_ = record_->object;
    process_ = record_->process;

    record_->dispatch(record_, MOD_SAMPLE_RATE, 0, 0, nullptr, static_cast<float>(sample_rate));
    record_->dispatch(record_, MOD_BLOCK_SIZE, 0, block_size, nullptr, 0.0f);

    for (int32_t d = 0;; ++d) {
        if (d >= kMaxDescriptions) {
            throw Error(who + ": describes more than " + std::to_string(kMaxDescriptions) +
                        " pins");
        }
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        if (record_->dispatch(record_, MOD_PIN_INFO, d, 0, &p, 0.0f) == 0) break;
        PinInfo info = DescribedPin(d, p);
        if (KVIsDspSidePin(p.flags, plugin_->Revision())) {
            info.dsp_index = static_cast<int32_t>(dsp_.size());
            dsp_.push_back(Pin{d, p.direction, p.datatype, p.variable});
        }
        pins_.push_back(std::move(info));
    }
    if (repeat_pins > 0) {
        if (pins_.empty() || pins_.back().dsp_index < 0 ||
            (pins_.back().flags & IO_REPEAT_LAST) == 0) {
            throw Error(who + ": extra pins asked for, but its last pin does not repeat");
        }
        const PinInfo& last = pins_.back();
        for (int32_t i = 0; i < repeat_pins; ++i) {
            dsp_.push_back(Pin{last.index, last.direction, last.datatype, nullptr});
        }
    }

    // Host buffers: one block per DT_FSAMPLE pin with kGuardWords of slack on each side,
    // pointed to by the bound members.
    const auto stride = static_cast<std::size_t>(block_size_ + 2 * kGuardWords);
    std::size_t sample_pins = 0;
    for (const Pin& pin : dsp_) sample_pins += pin.datatype == DT_FSAMPLE ? 1 : 0;
    storage_.assign(std::max<std::size_t>(1, sample_pins) * stride, 0.0f);
    std::size_t next = 0;
    for (std::size_t k = 0; k < dsp_.size(); ++k) {
        Pin& pin = dsp_[k];
        if (pin.datatype != DT_FSAMPLE) continue;
        pin.buffer = storage_.data() + next * stride + kGuardWords;
        pin.home = pin.buffer;
        ++next;
        if (pin.variable != nullptr) *static_cast<float**>(pin.variable) = pin.buffer;
        (pin.direction == DR_OUT ? sample_outputs_ : sample_inputs_)
            .push_back(static_cast<int32_t>(k));
    }

    // Default values, written into the bound members (DT_FSAMPLE: volts x 0.1 fills the
    // input buffer).
    for (Pin& pin : dsp_) {
        if (pin.direction == DR_OUT) continue;
        const PinInfo& info = pins_[static_cast<std::size_t>(pin.desc)];
        if (!info.default_value) continue;
        const double v = DefaultNumber(info);
        if (pin.datatype == DT_FSAMPLE) {
            Hold(pin, static_cast<float>(v * 0.1));
        } else {
            WriteMember(pin, v);
        }
    }
    for (int32_t k : sample_inputs_) dsp_[static_cast<std::size_t>(k)].constant_filled = true;
    queue_.reserve(1024);
    statuses_.reserve(256);
    pending_streams_.reserve(16);
}

DspInstance::~DspInstance() {
    Close();
}

intptr_t DspInstance::Close() {
    if (record_ == nullptr) return 0;
    KVHostRecord* record = record_;
    record_ = nullptr;
    opened_ = false;
    whole_blocks_ = false;
    return record->dispatch(record, MOD_CLOSE, 0, 0, nullptr, 0.0f);
}

intptr_t DspInstance::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    if (record_ == nullptr) return 0;
    return record_->dispatch(record_, opcode, index, value, ptr, opt);
}

void DspInstance::Fail(const std::string& what) const {
    throw Error(QuoteName(plugin_->Name()) + what);
}

void DspInstance::PinFail(int32_t dsp_pin, const std::string& what) const {
    Fail(": pin " + QuoteName(DspPinInfo(dsp_pin).name) + " " + what);
}

int32_t DspInstance::PinCount() const {
    return static_cast<int32_t>(dsp_.size());
}

int32_t DspInstance::DspPin(std::string_view name) const {
    for (const PinInfo& info : pins_) {
        if (info.name == name && info.dsp_index >= 0) return info.dsp_index;
    }
    for (const PinInfo& info : pins_) {
        if (info.name == name) {
            Fail(": pin " + QuoteName(name) + " belongs to the GUI side only");
        }
    }
    Fail(" has no pin " + QuoteName(name));
}

const PinInfo& DspInstance::DspPinInfo(int32_t dsp_pin) const {
    if (dsp_pin < 0 || dsp_pin >= PinCount()) {
        Fail(" has no DSP pin " + std::to_string(dsp_pin));
    }
    return pins_[static_cast<std::size_t>(dsp_[static_cast<std::size_t>(dsp_pin)].desc)];
}

DspInstance::Pin& DspInstance::CheckedPin(int32_t dsp_pin, const char* what) {
    if (dsp_pin < 0 || dsp_pin >= PinCount()) {
        Fail(" has no DSP pin " + std::to_string(dsp_pin));
    }
    Pin& pin = dsp_[static_cast<std::size_t>(dsp_pin)];
    if (what != nullptr && pin.direction == DR_OUT) {
        PinFail(dsp_pin, "is an output; cannot " + std::string(what));
    }
    return pin;
}

void DspInstance::CheckTime(uint32_t at, int32_t dsp_pin) const {
    if (ClockBefore(at, clock_)) {
        Fail(": change of pin " + QuoteName(DspPinInfo(dsp_pin).name) + " at sample " +
             std::to_string(at) + " lies before the current sample " + std::to_string(clock_));
    }
}

// Queues `q` in time order (equal times in posting order). In real-time use the queue keeps
// the room it was given: a full queue refuses the event, which is counted.
void DspInstance::Push(const Queued& q) {
    whole_blocks_ = false;
    if (real_time_ && queue_.size() == queue_.capacity()) {
        ++dropped_events_;
        return;
    }
    if (q.action == Action::kSetStream) ++streams_queued_;
    queue_.push_back(q);
    std::push_heap(queue_.begin(), queue_.end(), Later{});
}

void DspInstance::SetRealTime(bool on) {
    real_time_ = on;
    if (on) {
        SetRecording(false);
        SetLogging(false);
    }
}

void DspInstance::ReserveEvents(std::size_t events) {
    std::vector<Queued> room;
    room.reserve(std::max(events, queue_.size()));
    room.assign(queue_.begin(), queue_.end());
    queue_.swap(room);
}

void DspInstance::SetWatcher(DspWatcher* watcher) {
    watcher_ = watcher;
    whole_blocks_ = false;
}

void DspInstance::Open() {
    if (opened_) Fail(": opened twice");
    if (record_ == nullptr) Fail(": opened after it was closed");
    record_->dispatch(record_, MOD_OPEN, 0, 0, nullptr, 0.0f);
    opened_ = true;
    process_ = record_->process;
    // Every input's status, before anything else queued for this clock, so the module
    // sees its inputs before its first block.
    for (std::size_t k = 0; k < dsp_.size(); ++k) {
        const Pin& pin = dsp_[k];
        if (pin.direction == DR_OUT) continue;
        const int32_t status =
            pin.datatype == DT_FSAMPLE && pin.source == Source::kStream ? PS_STREAM : PS_STEP;
        Queued q{clock_, k, Action::kDeliver, static_cast<int32_t>(k), 0.0, {}};
        q.event = KVTimedEvent{clock_, EV_PIN_STATUS, status, 0, static_cast<intptr_t>(k), nullptr};
        Push(q);
    }
    if (failed_) RaiseDeferred();
}

void DspInstance::SetStartClock(uint32_t clock) {
    if (opened_) Fail(": start clock given after it was opened");
    clock_ = clock;
    block_start_ = clock;
}

void DspInstance::SetInitial(int32_t dsp_pin, double value) {
    Pin& pin = CheckedPin(dsp_pin, "set its value");
    if (opened_) {
        Fail(": starting value of pin " + QuoteName(DspPinInfo(dsp_pin).name) +
             " given after it was opened");
    }
    if (pin.datatype == DT_FSAMPLE) {
        Hold(pin, static_cast<float>(value));
    } else {
        WriteMember(pin, value);
    }
    pin.connected = true;
}

void DspInstance::SetValue(int32_t dsp_pin, double value, uint32_t at, int32_t status) {
    Pin& pin = CheckedPin(dsp_pin, "set its value");
    if (pin.datatype == DT_FSAMPLE) {
        SetConstant(dsp_pin, static_cast<float>(value), at, status);
        return;
    }
    if (pin.datatype == DT_MIDI_STREAM || pin.datatype == DT_STRING) {
        PinFail(dsp_pin, "carries no number");
    }
    CheckTime(at, dsp_pin);
    Queued q{at, seq_++, Action::kSetValue, dsp_pin, value, {}};
    q.event = KVTimedEvent{at, EV_PIN_STATUS, status, 0, static_cast<intptr_t>(dsp_pin), nullptr};
    Push(q);
}

void DspInstance::SetConstant(int32_t dsp_pin, float value, uint32_t at, int32_t status) {
    Pin& pin = CheckedPin(dsp_pin, "set a constant");
    if (pin.datatype != DT_FSAMPLE) {
        SetValue(dsp_pin, value, at, status);
        return;
    }
    CheckTime(at, dsp_pin);
    Queued q{at, seq_++, Action::kSetConstant, dsp_pin, value, {}};
    q.event = KVTimedEvent{at, EV_PIN_STATUS, status, 0, static_cast<intptr_t>(dsp_pin), nullptr};
    Push(q);
}

void DspInstance::SetStream(int32_t dsp_pin, std::function<float(uint32_t)> f, uint32_t at) {
    Pin& pin = CheckedPin(dsp_pin, "stream into it");
    if (pin.datatype != DT_FSAMPLE || !f) {
        PinFail(dsp_pin, "takes no sample stream");
    }
    CheckTime(at, dsp_pin);
    if (!opened_ && at == clock_) {
        // Before Open, a stream from the opening clock is the input's starting source: its
        // initial status announces it (PS_STREAM), without an event of its own.
        pin.stream = std::move(f);
        pin.source = Source::kStream;
        pin.connected = true;
        refill_inputs_ = true;
        return;
    }
    // Slots are reused once no stream waits in the queue.
    if (streams_queued_ == 0) pending_streams_.clear();
    pending_streams_.push_back(std::move(f));
    Queued q{
        at, seq_++, Action::kSetStream, dsp_pin, static_cast<double>(pending_streams_.size() - 1),
        {}};
    q.event =
        KVTimedEvent{at, EV_PIN_STATUS, PS_STREAM, 0, static_cast<intptr_t>(dsp_pin), nullptr};
    Push(q);
}

void DspInstance::ConnectBuffer(int32_t dsp_pin, const float* block_buffer) {
    Pin& pin = CheckedPin(dsp_pin, "connect a wire to it");
    if (pin.datatype != DT_FSAMPLE || block_buffer == nullptr) {
        PinFail(dsp_pin, "takes no sample stream");
    }
    pin.source = Source::kBuffer;
    pin.external = block_buffer;
    refill_inputs_ = true;
    pin.connected = true;
    const int32_t pos = static_cast<int32_t>(clock_ - block_start_);
    if (pos < block_size_) {
        std::memcpy(pin.buffer + pos, block_buffer + pos,
                    static_cast<std::size_t>(block_size_ - pos) * sizeof(float));
    }
}

void DspInstance::Connect(int32_t output, DspInstance& to, int32_t input) {
    const Pin& from = CheckedPin(output, nullptr);
    const PinInfo& a = DspPinInfo(output);
    const PinInfo& b = to.DspPinInfo(input);
    if (from.direction != DR_OUT) {
        Fail(": pin " + QuoteName(a.name) + " is not an output");
    }
    to.CheckedPin(input, "connect a wire to it");
    if (!Wireable(a, b)) {
        Fail(std::string(": cannot connect ") + DataTypeName(a.datatype) + " pin " +
             QuoteName(a.name) + " to " + DataTypeName(b.datatype) + " pin " + QuoteName(b.name));
    }
    const bool samples = from.datatype == DT_FSAMPLE;
    if (links_.empty()) links_.resize(dsp_.size());
    links_[static_cast<std::size_t>(output)].push_back({output, &to, input, samples});
    if (samples) to.ConnectBuffer(input, from.buffer);
}

float* DspInstance::FeedInput(int32_t dsp_pin) {
    Pin& pin = CheckedPin(dsp_pin, "feed samples into it");
    if (pin.datatype != DT_FSAMPLE) PinFail(dsp_pin, "takes no samples");
    pin.source = Source::kCaller;
    pin.connected = true;
    return pin.buffer;
}

bool DspInstance::UseOutputBuffer(int32_t dsp_pin, float* buffer, float last) {
    Pin& pin = CheckedPin(dsp_pin, nullptr);
    if (pin.datatype != DT_FSAMPLE || pin.direction != DR_OUT) {
        PinFail(dsp_pin, "is not a sample output");
    }
    if (block_started_ && clock_ - block_start_ < static_cast<uint32_t>(block_size_)) {
        PinFail(dsp_pin, "changes buffers inside a block");
    }
    if (pin.variable == nullptr) return false;
    if (buffer == nullptr) {
        buffer = pin.home;
        buffer[block_size_ - 1] = last;
    }
    pin.buffer = buffer;
    *static_cast<float**>(pin.variable) = buffer;
    return true;
}

void DspInstance::PostStatus(int32_t dsp_pin, int32_t status, uint32_t at) {
    CheckedPin(dsp_pin, "announce a status on it").connected = true;
    const uint32_t when = LaterOf(at, clock_);
    Queued q{when, seq_++, Action::kDeliver, dsp_pin, 0.0, {}};
    q.event = KVTimedEvent{when, EV_PIN_STATUS, status, 0, static_cast<intptr_t>(dsp_pin), nullptr};
    Push(q);
}

void DspInstance::SendMidi(int32_t dsp_pin, uint32_t at, uint8_t status, uint8_t d1, uint8_t d2) {
    SendMidiWord(dsp_pin, at, status | (d1 << 8) | (d2 << 16), 0);
}

void DspInstance::SendMidiWord(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2) {
    Pin& pin = CheckedPin(dsp_pin, "send MIDI to it");
    if (pin.datatype != DT_MIDI_STREAM) {
        PinFail(dsp_pin, "is not a MIDI input");
    }
    CheckTime(at, dsp_pin);
    pin.connected = true;
    Queued q{at, seq_++, Action::kDeliver, dsp_pin, 0.0, {}};
    q.event = KVTimedEvent{at, EV_MIDI, message, value2, 0, nullptr};
    Push(q);
}

void DspInstance::PostEvent(const KVTimedEvent& event) {
    Queued q{event.time_stamp, seq_++, Action::kDeliver, -1, 0.0, event};
    q.event.next = nullptr;
    Push(q);
}

void DspInstance::Hold(Pin& pin, float value) {
    pin.source = Source::kConstant;
    pin.constant = value;
    std::fill(pin.buffer, pin.buffer + block_size_, value);
    pin.constant_filled = true;
}

void DspInstance::WriteMember(Pin& pin, double v) {
    if (pin.variable == nullptr) return;
    switch (pin.datatype) {
        case DT_CHOICE:
            *static_cast<int16_t*>(pin.variable) = ClampTo<int16_t>(v);
            return;
        case DT_SWITCH:
            *static_cast<uint8_t*>(pin.variable) = v != 0.0 ? 1 : 0;
            return;
        case DT_REAL32:
            *static_cast<float*>(pin.variable) = static_cast<float>(v);
            return;
        case DT_WHOLE32:
            *static_cast<int32_t*>(pin.variable) = ClampTo<int32_t>(v);
            return;
        default:
            return;
    }
}

double DspInstance::ReadValue(int32_t dsp_pin) const {
    const Pin& pin = const_cast<DspInstance*>(this)->CheckedPin(dsp_pin, nullptr);
    if (pin.datatype == DT_FSAMPLE) {
        const uint32_t pos = clock_ - block_start_;
        if (!block_started_) return pin.buffer[0];
        if (pos >= 1 && pos <= static_cast<uint32_t>(block_size_)) return pin.buffer[pos - 1];
        return pin.held;
    }
    if (pin.variable == nullptr) return 0.0;
    switch (pin.datatype) {
        case DT_CHOICE:
            return *static_cast<const int16_t*>(pin.variable);
        case DT_SWITCH:
            return *static_cast<const uint8_t*>(pin.variable);
        case DT_REAL32:
            return *static_cast<const float*>(pin.variable);
        case DT_WHOLE32:
            return *static_cast<const int32_t*>(pin.variable);
        default:
            return 0.0;
    }
}

void DspInstance::Announce(const StatusRecord& s) {
    if (!links_.empty()) {
        const DspInstance& self = *this;
        for (const Link& l : links_[static_cast<std::size_t>(s.pin)]) {
            if (l.samples) {
                l.to->PostStatus(l.to_pin, s.status, s.clock);
            } else {
                l.to->SetValue(l.to_pin, self.ReadValue(s.pin), LaterOf(s.clock, l.to->Clock()),
                               s.status);
            }
        }
    }
    if (status_listener_) status_listener_(s);
}

void DspInstance::Deliver(Queued& q) {
    Pin* pin = q.pin >= 0 && q.pin < PinCount() ? &dsp_[static_cast<std::size_t>(q.pin)] : nullptr;
    switch (q.action) {
        case Action::kDeliver:
            break;
        case Action::kSetValue:
            if (pin != nullptr) {
                WriteMember(*pin, q.value);
                pin->connected = true;
            }
            break;
        case Action::kSetConstant:
            if (pin != nullptr) {
                Hold(*pin, static_cast<float>(q.value));
                pin->connected = true;
            }
            break;
        case Action::kSetStream:
            --streams_queued_;
            if (pin != nullptr) {
                auto& f = pending_streams_[static_cast<std::size_t>(q.value)];
                pin->stream = std::move(f);
                pin->source = Source::kStream;
                pin->connected = true;
                refill_inputs_ = true;
                for (int32_t i = static_cast<int32_t>(clock_ - block_start_); i < block_size_;
                     ++i) {
                    pin->buffer[i] = pin->stream(block_start_ + static_cast<uint32_t>(i));
                }
            }
            break;
        case Action::kSetOutput:
            // HOST_PIN_AT_TIME come due: the host's change of an output, no event for the module.
            WriteMember(*pin, q.value);
            Announce({q.pin, PS_STEP, q.time, clock_});
            return;
    }
    if (q.event.time_stamp != clock_) {
        ++late_events_;
        q.event.time_stamp = clock_;
    }
    q.event.next = nullptr;
    dormant_ = false;  // an event for the instance wakes it
    ++events_delivered_;
    if (watcher_ != nullptr) watcher_->BeforeEvent(q.event);
    record_->event(object_, &q.event);
    if (watcher_ != nullptr) watcher_->AfterEvent(q.event);
}

void DspInstance::RefillInputs() {
    bool again = false;  // whether a later block needs this loop again
    for (int32_t k : sample_inputs_) {
        Pin& pin = dsp_[static_cast<std::size_t>(k)];
        switch (pin.source) {
            case Source::kConstant:
                if (!pin.constant_filled) {
                    std::fill(pin.buffer, pin.buffer + block_size_, pin.constant);
                    pin.constant_filled = true;
                }
                break;
            case Source::kStream:
                for (int32_t i = 0; i < block_size_; ++i) {
                    pin.buffer[i] = pin.stream(block_start_ + static_cast<uint32_t>(i));
                }
                again = true;
                break;
            case Source::kBuffer:
                std::memcpy(pin.buffer, pin.external,
                            static_cast<std::size_t>(block_size_) * sizeof(float));
                again = true;
                break;
            case Source::kCaller:  // written by the caller before each run
                break;
        }
    }
    refill_inputs_ = again;
}

void DspInstance::AfterSlice(int32_t pos, int32_t count, bool processed) {
    if (!processed) {
        if (ran_last_slice_) {
            // Entering dormancy: each output holds the last sample the module wrote, at
            // the end of the previous slice (the previous block's end when pos is 0).
            const int32_t last = (pos == 0 ? block_size_ : pos) - 1;
            for (int32_t k : sample_outputs_) {
                Pin& pin = dsp_[static_cast<std::size_t>(k)];
                pin.held = pin.buffer[last];
            }
            ran_last_slice_ = false;
        }
        for (int32_t k : sample_outputs_) {
            Pin& pin = dsp_[static_cast<std::size_t>(k)];
            std::fill(pin.buffer + pos, pin.buffer + pos + count, pin.held);
        }
    }
    if (!recording_) return;
    for (int32_t k : sample_outputs_) {
        Pin& pin = dsp_[static_cast<std::size_t>(k)];
        const float* out = pin.buffer + pos;
        pin.record.insert(pin.record.end(), out, out + count);
    }
}

void DspInstance::DeliverDue() {
    // Every event due now, including those the deliveries themselves post for now.
    while (!queue_.empty() && static_cast<int32_t>(queue_.front().time - clock_) <= 0) {
        std::pop_heap(queue_.begin(), queue_.end(), Later{});
        Queued q = queue_.back();
        queue_.pop_back();
        Deliver(q);
    }
    if (failed_) RaiseDeferred();
}

void DspInstance::RaiseDeferred() const {
    throw Error(deferred_error_);
}

void DspInstance::RunSlices(uint32_t samples) {
    if (!opened_) {
        Fail((record_ == nullptr ? ": run after it was closed" : ": run before it was opened"));
    }
    if (recording_) {
        for (int32_t k : sample_outputs_) {
            auto& r = dsp_[static_cast<std::size_t>(k)].record;
            r.reserve(r.size() + samples);
        }
    }
    const auto block = static_cast<uint32_t>(block_size_);
    uint32_t remaining = samples;
    while (remaining > 0) {
        if (clock_ - block_start_ >= block || !block_started_) {
            block_start_ = clock_;
            block_started_ = true;
            if (refill_inputs_) RefillInputs();
            if (watcher_ != nullptr) watcher_->BlockStart();
        }
        if (!queue_.empty() && static_cast<int32_t>(queue_.front().time - clock_) <= 0) {
            DeliverDue();
        }
        const uint32_t pos = clock_ - block_start_;
        uint32_t count = std::min(remaining, block - pos);
        if (!queue_.empty()) count = std::min(count, queue_.front().time - clock_);
        const bool processed = !dormant_;
        if (processed) {
            if (watcher_ != nullptr)
                watcher_->BeforeProcess(static_cast<int32_t>(pos), static_cast<int32_t>(count));
            process_(object_, static_cast<int32_t>(pos), static_cast<int32_t>(count));
            ++process_calls_;
            ran_last_slice_ = true;
            if (recording_)
                AfterSlice(static_cast<int32_t>(pos), static_cast<int32_t>(count), true);
        } else {
            AfterSlice(static_cast<int32_t>(pos), static_cast<int32_t>(count), false);
        }
        if (watcher_ != nullptr) {
            watcher_->AfterSlice(static_cast<int32_t>(pos), static_cast<int32_t>(count), processed);
        }
        clock_ += count;
        remaining -= count;
    }
    if (failed_) RaiseDeferred();
    whole_blocks_ = !recording_ && watcher_ == nullptr && ran_last_slice_ && !dormant_ &&
                    queue_.empty() && clock_ - block_start_ == block;
}

const std::vector<float>& DspInstance::Output(int32_t dsp_pin) const {
    const Pin& pin = const_cast<DspInstance*>(this)->CheckedPin(dsp_pin, nullptr);
    if (pin.datatype != DT_FSAMPLE || pin.direction != DR_OUT) {
        PinFail(dsp_pin, "is not a sample output");
    }
    return pin.record;
}

const float* DspInstance::Buffer(int32_t dsp_pin) const {
    const Pin& pin = const_cast<DspInstance*>(this)->CheckedPin(dsp_pin, nullptr);
    return pin.buffer;
}

void DspInstance::SetStatusListener(std::function<void(const StatusRecord&)> listener) {
    status_listener_ = std::move(listener);
}

intptr_t DspInstance::Callback(void* record, int32_t opcode, int32_t index, int32_t value,
                               void* ptr, float) {
    if (record == nullptr) return 0;
    auto* rec = static_cast<KVHostRecord*>(record);
    if (rec->magic != KV_DSP_MAGIC || rec->host_reference == nullptr) return 0;
    auto* self = static_cast<DspInstance*>(rec->host_reference);
    // Nothing may unwind through the plug-in: a failure is kept and raised after its call.
    try {
        if (self->watcher_ != nullptr) {
            return self->watcher_->Request(*self, opcode, index, value, ptr);
        }
        return self->Answer(opcode, index, value, ptr);
    } catch (const std::exception& e) {
        if (!self->failed_) self->deferred_error_ = e.what();
        self->failed_ = true;
        self->whole_blocks_ = false;
    } catch (...) {
        if (!self->failed_) self->deferred_error_ = "unknown failure in the host";
        self->failed_ = true;
        self->whole_blocks_ = false;
    }
    return 0;
}

intptr_t DspInstance::Answer(int32_t opcode, int32_t index, int32_t value, void* ptr) {
    const bool valid = index >= 0 && index < PinCount();
    switch (opcode) {
        case HOST_OUT_STATUS: {
            const StatusRecord s{index, value, ClockOf(ptr), clock_};
            if (logging_) statuses_.push_back(s);
            if (valid) Announce(s);
            return 0;
        }
        case HOST_PIN_QUERY:
            return valid && dsp_[static_cast<std::size_t>(index)].connected ? 1 : 0;
        case HOST_CLOCK:
            return static_cast<intptr_t>(clock_);
        case HOST_PIN_AT_TIME: {
            const uint32_t at = ClockOf(ptr);
            if (logging_) pin_at_times_.push_back({index, value, at});
            if (!valid) return 0;
            Pin& pin = dsp_[static_cast<std::size_t>(index)];
            if (pin.direction != DR_OUT || !CarriesValue(pin.datatype)) return 0;
            if (static_cast<int32_t>(at - clock_) <= 0) {
                WriteMember(pin, value);
                Announce({index, PS_STEP, clock_, clock_});
            } else {
                Push(Queued{at, seq_++, Action::kSetOutput, index, static_cast<double>(value), {}});
            }
            return 0;
        }
        case HOST_PIN_BUFFER:
            if (!valid) return 0;
            return reinterpret_cast<intptr_t>(dsp_[static_cast<std::size_t>(index)].buffer);
        case HOST_PIN_BLOCK_START:
            return static_cast<intptr_t>(block_start_);
        case HOST_DORMANT:
            dormant_ = true;
            whole_blocks_ = false;
            if (logging_) dormant_requests_.push_back(clock_);
            return 0;
        case HOST_PIN_COUNT:
            return PinCount();
        case HOST_POST_EVENT:
            if (ptr != nullptr) PostEvent(*static_cast<const KVTimedEvent*>(ptr));
            return 0;
        case HOST_PROCESS_CHANGED:
            if (record_ == nullptr) return 0;
            if (record_->process == nullptr) {
                // Kept: the last entry stays in use, and the run that follows reports it.
                if (!failed_)
                    deferred_error_ = QuoteName(plugin_->Name()) + ": process entry set to null";
                failed_ = true;
                whole_blocks_ = false;
                return 0;
            }
            process_ = record_->process;
            return 0;
        default:  // a request the host does not know: nothing done
            return 0;
    }
}

}  // namespace kvhost
