// The validator's strict mode of the host core: watchers around every entry into a DSP or
// GUI instance that record what the instance did wrong as findings.
#include "strict_host.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "random_inputs.h"

namespace kvhost::validate {

namespace {

constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr size_t kMaxText = 8u << 20;  // a GUI text beyond this is a runaway
constexpr size_t kMaxQueued = 100000;  // a queue beyond this: posting without end
constexpr int32_t kGuard = DspInstance::kGuardWords;

uint32_t Bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float FromBits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
uint64_t Mix(uint64_t h, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        h = (h ^ ((v >> (8 * i)) & 0xFF)) * kFnvPrime;
    }
    return h;
}

}  // namespace

// ---- DSP side ------------------------------------------------------------------------------
StrictDsp::StrictDsp(std::shared_ptr<Plugin> plugin, Findings& findings, double sample_rate,
                     int32_t block_size, int32_t repeat_pins)
    : plugin_(std::move(plugin)),
      findings_(findings),
      sample_rate_(sample_rate),
      block_size_(block_size),
      repeat_pins_(repeat_pins) {}

StrictDsp::~StrictDsp() {
    Close();
}

std::string StrictDsp::Where() const {
    return Fmt("rate %g, block %d, clock %" PRIu32, sample_rate_, block_size_, Clock());
}

intptr_t StrictDsp::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    return dsp_ != nullptr ? dsp_->Dispatch(opcode, index, value, ptr, opt) : 0;
}

bool StrictDsp::Create() {
    try {
        int32_t repeats = 0;
        if (repeat_pins_ > 0) {
            // Extra pins only where the last description repeats.
            DspInstance probe(plugin_, sample_rate_, block_size_);
            const auto& pins = probe.Pins();
            if (!pins.empty() && pins.back().dsp_index >= 0 &&
                (pins.back().flags & IO_REPEAT_LAST) != 0) {
                repeats = repeat_pins_;
            }
        }
        dsp_ = std::make_unique<DspInstance>(plugin_, sample_rate_, block_size_, repeats);
    } catch (const LoadError& e) {
        findings_.Fail("records", e.what());
        return false;
    } catch (const Error& e) {
        findings_.Fail("pins", e.what());
        return false;
    }
    dsp_->SetRecording(false);
    dsp_->SetLogging(false);
    dsp_->ReserveEvents(4096);
    dsp_->SetWatcher(this);
    const KVHostRecord* r = dsp_->Record();
    if (r->reserved0 != 0 || r->reserved[0] != 0 || r->reserved[1] != 0 || r->reserved[2] != 0 ||
        r->reserved[3] != 0) {
        findings_.Fail("records", "DSP record's reserved words are not 0");
    }
    watched_.resize(static_cast<size_t>(dsp_->PinCount()));
    for (int32_t k = 0; k < dsp_->PinCount(); ++k) {
        Watched& w = watched_[static_cast<size_t>(k)];
        const PinInfo& info = Describe(k);
        w.output = info.IsOutput();
        w.variable = info.dsp_index == k ? info.variable : nullptr;  // repeats have none
        if (info.datatype != DT_FSAMPLE) continue;
        w.buffer = const_cast<float*>(dsp_->Buffer(k));
        std::fill(w.buffer - kGuard, w.buffer, FromBits(kGuardTag));
        std::fill(w.buffer + block_size_, w.buffer + block_size_ + kGuard, FromBits(kGuardTag));
        w.before.assign(static_cast<size_t>(block_size_), 0.0f);
    }
    return true;
}

std::vector<int32_t> StrictDsp::Inputs() const {
    std::vector<int32_t> out;
    for (int32_t k = 0; k < PinCount(); ++k) {
        if (!Describe(k).IsOutput() && Describe(k).datatype != DT_STRING) out.push_back(k);
    }
    return out;
}

void StrictDsp::Open() {
    if (dsp_ == nullptr || dsp_->IsOpen() || dsp_->Record() == nullptr) return;
    dsp_->Open();
}

void StrictDsp::Close() {
    if (dsp_ == nullptr || dsp_->Record() == nullptr) return;
    const intptr_t r = dsp_->Close();
    if (r != 1)
        findings_.Fail("records", Fmt("MOD_CLOSE answered %ld, not 1", static_cast<long>(r)));
}

void StrictDsp::SetValue(int32_t dsp_pin, double value, uint32_t at) {
    if (dsp_ == nullptr) return;
    at = std::max(at, Clock());
    if (Describe(dsp_pin).datatype == DT_FSAMPLE) {
        SampleSource s;
        s.constant = static_cast<float>(value);
        SetSource(dsp_pin, s, at);
        return;
    }
    if (Describe(dsp_pin).datatype == DT_REAL32 && !std::isfinite(static_cast<float>(value))) {
        inputs_finite_ = false;
    }
    dsp_->SetValue(dsp_pin, value, at);
}

void StrictDsp::SetSource(int32_t dsp_pin, const SampleSource& source, uint32_t at) {
    if (dsp_ == nullptr) return;
    const PinInfo& info = Describe(dsp_pin);
    if (info.datatype != DT_FSAMPLE || info.IsOutput()) return;
    at = std::max(at, Clock());
    if ((!source.stream && !std::isfinite(source.constant)) || (source.stream && source.hostile)) {
        inputs_finite_ = false;
    }
    if (source.stream) {
        dsp_->SetStream(
            dsp_pin,
            [seed = source.seed, hostile = source.hostile](uint32_t t) {
                return StreamSample(seed, t, hostile);
            },
            at);
    } else {
        dsp_->SetConstant(dsp_pin, source.constant, at);
    }
}

void StrictDsp::SendMidi(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2) {
    if (dsp_ != nullptr) dsp_->SendMidiWord(dsp_pin, std::max(at, Clock()), message, value2);
}

void StrictDsp::SendRaw(uint32_t at, int32_t kind, int32_t value, int32_t value2, intptr_t extra) {
    if (dsp_ != nullptr)
        dsp_->PostEvent({std::max(at, Clock()), kind, value, value2, extra, nullptr});
}

void StrictDsp::Run(uint32_t samples) {
    if (dsp_ != nullptr && dsp_->IsOpen()) dsp_->Run(samples);
}

intptr_t StrictDsp::Request(DspInstance& dsp, int32_t opcode, int32_t index, int32_t value,
                            void* ptr) {
    alloc::Pause pause;                // the host's own bookkeeping is not the module's allocation
    const uint32_t now = dsp.Clock();  // what HOST_CLOCK answers
    const bool valid = index >= 0 && index < dsp.PinCount();
    switch (opcode) {
        case HOST_OUT_STATUS: {
            const auto clock = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
            if (!valid) {
                findings_.Fail("host requests", Fmt("status for pin %d, which does not exist (%d "
                                                    "pins)",
                                                    index, dsp.PinCount()));
                return 0;
            }
            if (value < PS_STILL || value > PS_STREAM) {
                findings_.Fail("host requests", Fmt("pin \"%s\": status %d is not a status",
                                                    Name(index).c_str(), value));
            }
            if (!Describe(index).IsOutput()) {
                findings_.Note("host requests",
                               Fmt("status announced on input pin \"%s\"", Name(index).c_str()));
            }
            status_hash_ = Mix(
                Mix(Mix(status_hash_, static_cast<uint64_t>(index)), static_cast<uint64_t>(value)),
                clock);
            auto& st = watched_[static_cast<size_t>(index)].statuses;
            // Only the latest status before the current block still matters.
            while (st.size() > 64 && st[1].first <= dsp.BlockStart()) st.erase(st.begin());
            st.emplace_back(clock, value);
            break;
        }
        case HOST_PIN_AT_TIME: {
            const auto clock = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
            if (!valid) {
                findings_.Fail("host requests",
                               Fmt("value at time for pin %d, which does not exist", index));
            } else if (clock < now) {
                findings_.Fail("host requests",
                               Fmt("value at time for a past clock %" PRIu32 " (now %" PRIu32 ")",
                                   clock, now));
            }
            status_hash_ = Mix(Mix(status_hash_, static_cast<uint64_t>(value)), clock);
            break;
        }
        case HOST_PIN_BUFFER:
            if (!valid || watched_[static_cast<size_t>(index)].buffer == nullptr) {
                findings_.Fail("host requests", Fmt("buffer of pin %d, which has none", index));
                return 0;
            }
            break;
        case HOST_POST_EVENT: {
            if (ptr == nullptr) {
                findings_.Fail("events", "HOST_POST_EVENT without an event");
                return 0;
            }
            KVTimedEvent e;
            std::memcpy(&e, ptr, sizeof e);
            if (e.time_stamp < now) {
                findings_.Fail("events", Fmt("event of kind %d posted for the past: clock %" PRIu32
                                             ", now %" PRIu32 " (%s)",
                                             e.kind, e.time_stamp, now, Where().c_str()));
                e.time_stamp = now;
            }
            if (in_process_ && e.time_stamp < slice_end_) {
                findings_.Note("events",
                               "event posted for a clock inside the slice being "
                               "processed; delivered at the slice's end");
                e.time_stamp = slice_end_;
            }
            if (dsp.QueuedEvents() > kMaxQueued) {
                findings_.Fail("events",
                               "more than 100,000 events queued: the module posts "
                               "events without end");
                return 0;
            }
            dsp.PostEvent(e);
            return 0;
        }
        case HOST_PROCESS_CHANGED:
            if (dsp.Record() != nullptr && dsp.Record()->process == nullptr) {
                findings_.Fail("records", "process entry set to null");
                return 0;
            }
            break;
        case HOST_PIN_QUERY:
        case HOST_CLOCK:
        case HOST_PIN_BLOCK_START:
        case HOST_DORMANT:
        case HOST_PIN_COUNT:
            break;
        default:
            findings_.Note("host requests", Fmt("unknown host opcode %d", opcode));
            break;
    }
    return dsp.Answer(opcode, index, value, ptr);
}

void StrictDsp::BlockStart() {
    for (int32_t k = 0; k < PinCount(); ++k) {
        Watched& w = watched_[static_cast<size_t>(k)];
        if (w.buffer == nullptr || w.variable == nullptr) continue;
        if (*static_cast<float**>(w.variable) != w.buffer) {
            findings_.Fail("buffers", Fmt("pin \"%s\": the module changed the buffer address the "
                                          "host gave it (%s)",
                                          Name(k).c_str(), Where().c_str()));
            *static_cast<float**>(w.variable) = w.buffer;
        }
    }
}

void StrictDsp::BeforeProcess(int32_t first, int32_t count) {
    for (Watched& w : watched_) {
        if (w.buffer == nullptr) continue;
        if (w.output) {
            // The slice's samples are kept aside and tagged: a tag left after the call is a
            // sample the module did not write.
            std::copy(w.buffer + first, w.buffer + first + count, w.before.begin() + first);
            std::fill(w.buffer + first, w.buffer + first + count, FromBits(kUnwrittenTag));
        } else {
            std::copy(w.buffer, w.buffer + block_size_, w.before.begin());
        }
    }
    in_process_ = true;
    slice_end_ = Clock() + static_cast<uint32_t>(count);
    alloc::ResetWindowCount();
    window_.emplace();
}

void StrictDsp::CountAllocations(const std::string& during) {
    window_.reset();
    const uint64_t n = alloc::WindowCount();
    if (n == 0) return;
    audio_allocations_ += n;
    findings_.Fail("audio-path allocations",
                   Fmt("%" PRIu64 " allocation(s) %s (%s)", n, during.c_str(), Where().c_str()));
}

void StrictDsp::AfterSlice(int32_t pos, int32_t count, bool processed) {
    if (processed) {
        in_process_ = false;
        window_.reset();
        if (alloc::WindowCount() > 0) {
            CountAllocations(Fmt("in a process call of %d samples", count));
        }
    }
    const uint32_t block_start = Clock() - static_cast<uint32_t>(pos);
    for (int32_t k = 0; k < PinCount(); ++k) {
        Watched& w = watched_[static_cast<size_t>(k)];
        if (w.buffer == nullptr) continue;
        float* b = w.buffer;
        if (!w.output) {
            if (processed && std::memcmp(b, w.before.data(),
                                         sizeof(float) * static_cast<size_t>(block_size_)) != 0) {
                findings_.Fail("inputs unchanged",
                               Fmt("input \"%s\": its buffer was changed by the module (%s)",
                                   Name(k).c_str(), Where().c_str()));
                std::copy(w.before.begin(), w.before.end(), b);
            }
            continue;
        }
        if (processed) {
            int64_t first_unwritten = -1, first_bad = -1;
            uint64_t unwritten = 0, bad = 0;
            for (int32_t i = pos; i < pos + count; ++i) {
                if (Bits(b[i]) == kUnwrittenTag) {
                    // Left alone: the buffer keeps its sample. Allowed only while the
                    // module has announced the output as not streaming.
                    b[i] = w.before[static_cast<size_t>(i)];
                    if (StatusAt(w, block_start + static_cast<uint32_t>(i)) == PS_STREAM) {
                        if (first_unwritten < 0) first_unwritten = i;
                        ++unwritten;
                    } else {
                        ++kept_;
                    }
                } else if (inputs_finite_ && !std::isfinite(b[i])) {
                    if (first_bad < 0) first_bad = i;
                    ++bad;
                }
            }
            if (unwritten > 0) {
                findings_.Fail(
                    "unwritten samples",
                    Fmt("output \"%s\": %" PRIu64 " of %d samples not written by "
                        "the process call while the output is announced as "
                        "streaming, first at clock %" PRIu32 " (%s)",
                        Name(k).c_str(), unwritten, count,
                        block_start + static_cast<uint32_t>(first_unwritten), Where().c_str()));
            }
            if (bad > 0) {
                findings_.Fail(
                    "finite outputs",
                    Fmt("output \"%s\": %" PRIu64 " non-finite sample(s) from "
                        "finite inputs, first %g at clock %" PRIu32 " (%s)",
                        Name(k).c_str(), bad, static_cast<double>(b[first_bad]),
                        block_start + static_cast<uint32_t>(first_bad), Where().c_str()));
            }
        }
        uint64_t h = w.hash;
        for (int32_t i = pos; i < pos + count; ++i) h = Mix(h, Bits(b[i]));
        w.hash = h;
        if (pos + count == block_size_ && w.block_hashes.size() < (1u << 20)) {
            w.block_hashes.push_back(h);
        }
    }
    if (processed) CheckGuards("a process call");
}

void StrictDsp::BeforeEvent(const KVTimedEvent&) {
    alloc::ResetWindowCount();
    window_.emplace();
}

void StrictDsp::AfterEvent(const KVTimedEvent& event) {
    window_.reset();
    if (alloc::WindowCount() > 0) {
        CountAllocations(Fmt("while an event of kind %d was delivered", event.kind));
    }
    CheckGuards("an event delivery");
}

void StrictDsp::CheckGuards(const char* when) {
    for (int32_t k = 0; k < PinCount(); ++k) {
        float* b = watched_[static_cast<size_t>(k)].buffer;
        if (b == nullptr) continue;
        bool intact = true;
        for (int32_t i = 0; i < kGuard; ++i) {
            if (Bits(b[i - kGuard]) != kGuardTag || Bits(b[block_size_ + i]) != kGuardTag) {
                intact = false;
            }
        }
        if (!intact) {
            findings_.Fail("buffer bounds",
                           Fmt("pin \"%s\": written outside its %d-sample buffer during %s (%s)",
                               Name(k).c_str(), block_size_, when, Where().c_str()));
            std::fill(b - kGuard, b, FromBits(kGuardTag));
            std::fill(b + block_size_, b + block_size_ + kGuard, FromBits(kGuardTag));
        }
    }
}

// The status an output was announced with for the sample at `clock`; an output that never
// announced one is taken as streaming (its every sample must be written).
int32_t StrictDsp::StatusAt(const Watched& pin, uint32_t clock) const {
    int32_t status = PS_STREAM;
    for (const auto& [at, s] : pin.statuses) {
        if (at <= clock) status = s;
    }
    return status;
}

int64_t StrictDsp::FirstDifference(const StrictDsp& other) const {
    int64_t first = -1;
    for (size_t p = 0; p < watched_.size() && p < other.watched_.size(); ++p) {
        const auto& a = watched_[p].block_hashes;
        const auto& b = other.watched_[p].block_hashes;
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            if (a[i] != b[i]) {
                const int64_t at = static_cast<int64_t>(i) * block_size_;
                if (first < 0 || at < first) first = at;
                break;
            }
        }
        if (watched_[p].hash != other.watched_[p].hash && first < 0) first = Clock();
    }
    return first;
}

// ---- GUI side ------------------------------------------------------------------------------
StrictGui::StrictGui(std::shared_ptr<Plugin> plugin, Findings& findings, std::vector<PinInfo> pins)
    : plugin_(std::move(plugin)), findings_(findings), pins_(std::move(pins)) {}

StrictGui::~StrictGui() {
    Close();
}

bool StrictGui::Create() {
    try {
        gui_ = std::make_unique<GuiInstance>(plugin_, pins_);
    } catch (const NoGuiSide&) {
        return false;
    } catch (const Error& e) {
        findings_.Fail("records", e.what());
        return false;
    }
    gui_->SetLogging(false);
    gui_->SetWatcher(this);
    for (int32_t w : gui_->Record()->reserved) {
        if (w != 0) findings_.Fail("records", "GUI record's reserved words are not 0");
    }
    return true;
}

void StrictGui::Init(bool flag) {
    if (gui_ != nullptr) gui_->Init(flag);
}

void StrictGui::Close() {
    if (gui_ == nullptr || gui_->Record() == nullptr) return;
    const intptr_t r = gui_->Close();
    if (r != 1)
        findings_.Fail("records", Fmt("GUI_CLOSE answered %ld, not 1", static_cast<long>(r)));
}

intptr_t StrictGui::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    return gui_ != nullptr ? gui_->Dispatch(opcode, index, value, ptr, opt) : 0;
}

bool StrictGui::Described(int32_t index, const char* what) {
    if (index >= 0 && static_cast<size_t>(index) < pins_.size()) return true;
    findings_.Fail("gui requests", Fmt("%s for pin %d, which is not described (%zu pins)", what,
                                       index, pins_.size()));
    return false;
}

void StrictGui::EditText(int32_t index, const std::string& text) {
    if (gui_ != nullptr && Described(index, "edit")) gui_->Receive(index, text, true);
}
void StrictGui::EditFloat(int32_t index, float value) {
    if (gui_ != nullptr && Described(index, "edit")) gui_->ReceiveFloat(index, value, true);
}
void StrictGui::EditInt(int32_t index, int32_t value) {
    if (gui_ != nullptr && Described(index, "edit")) gui_->ReceiveInt(index, value, true);
}

void StrictGui::DepthLimit(int32_t index) {
    findings_.Fail("gui notifications",
                   Fmt("pin %d: writes and notifications nest more than %d deep (the module "
                       "keeps rewriting pins from its own notifications)",
                       index, GuiInstance::kMaxDepth));
}

intptr_t StrictGui::Request(GuiInstance& gui, int32_t opcode, int32_t index, int32_t value,
                            void* ptr, float opt) {
    switch (opcode) {
        case GUIHOST_GET_TEXT:
            Described(index, "GUIHOST_GET_TEXT");
            break;
        case GUIHOST_PUT_TEXT:
            if (!Described(index, "GUIHOST_PUT_TEXT")) return 0;
            if (ptr == nullptr) {
                findings_.Fail("gui requests",
                               Fmt("GUIHOST_PUT_TEXT for pin %d without a text", index));
                return 0;
            }
            if (strnlen(static_cast<const char*>(ptr), kMaxText + 1) > kMaxText) {
                findings_.Fail("gui requests",
                               Fmt("pin %d: text of more than %zu bytes written", index, kMaxText));
                return 0;
            }
            break;
        case GUIHOST_GET_VALUE:
            Described(index, "GUIHOST_GET_VALUE");
            if (ptr == nullptr) {
                findings_.Fail("gui requests",
                               Fmt("GUIHOST_GET_VALUE for pin %d without a result address", index));
                return 0;
            }
            break;
        case GUIHOST_PUT_VALUE:
            if (!Described(index, "GUIHOST_PUT_VALUE")) return 0;
            break;
        case GUIHOST_GET_WTEXT:
            Described(index, "GUIHOST_GET_WTEXT");
            if (value > 0 && ptr == nullptr) {
                findings_.Fail("gui requests", "GUIHOST_GET_WTEXT without a buffer");
                return 0;
            }
            break;
        case GUIHOST_REGISTER:
        case GUIHOST_OP8:
        case GUIHOST_OP18:
        case GUIHOST_OP19:
        case GUIHOST_OP20:
            break;
        default:
            findings_.Note("gui requests", Fmt("unknown GUI host opcode %d", opcode));
            break;
    }
    return gui.Answer(opcode, index, value, ptr, opt);
}

std::string StrictGui::Snapshot() const {
    std::string s;
    for (size_t i = 0; i < pins_.size() && gui_ != nullptr; ++i) {
        const auto index = static_cast<int32_t>(i);
        s += std::to_string(i) + "=";
        switch (pins_[i].datatype) {
            case DT_STRING:
                s += gui_->Text(index);
                break;
            case DT_REAL32:
            case DT_FSAMPLE:
                s += Fmt("%08x", Bits(gui_->Float(index)));
                break;
            default:
                s += std::to_string(gui_->Int(index));
                break;
        }
        s += '\n';
    }
    return s;
}

}  // namespace kvhost::validate
