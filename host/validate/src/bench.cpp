// The validator's strict host: DSP and GUI drivers, and the generators of input values.
#include "bench.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "alloc_count.h"

namespace kvhost::validate {

std::string Fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

namespace {

constexpr size_t kMessagesPerCheck = 5;
constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr size_t kMaxText = 8u << 20;  // a GUI text beyond this is a runaway

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
uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
std::string Number(double v) {
    return Fmt("%.9g", v);
}

// The default text of a pin as the value a host writes (volts for DT_FSAMPLE).
double DefaultValue(const PinInfo& pin) {
    if (!pin.default_value) return 0.0;
    const std::string& text = *pin.default_value;
    if (pin.datatype == DT_CHOICE && pin.choices) {
        try {
            if (auto v = ParseChoices(*pin.choices).Find(text)) return *v;
        } catch (const std::exception&) {
        }
    }
    const double v = std::atof(text.c_str());
    return pin.datatype == DT_FSAMPLE ? v * 0.1 : v;
}

}  // namespace

// ---- Findings ------------------------------------------------------------------------
void Findings::Record(const std::string& check, const std::string& message, bool failure) {
    if (failure) ++failures_;
    for (Item& item : items_) {
        if (item.check == check && item.failure == failure) {
            ++item.count;
            if (item.messages.size() < kMessagesPerCheck &&
                std::find(item.messages.begin(), item.messages.end(), message) ==
                    item.messages.end()) {
                item.messages.push_back(message);
            }
            return;
        }
    }
    items_.push_back(Item{check, failure, 1, {message}});
}
void Findings::Fail(const std::string& check, const std::string& message) {
    alloc::Pause pause;
    Record(check, message, true);
}
void Findings::Note(const std::string& check, const std::string& message) {
    alloc::Pause pause;
    Record(check, message, false);
}
void Findings::Add(const Item& item) {
    for (const std::string& m : item.messages) Record(item.check, m, item.failure);
    for (Item& mine : items_) {
        if (mine.check == item.check && mine.failure == item.failure) {
            const uint64_t extra =
                item.count > item.messages.size() ? item.count - item.messages.size() : 0;
            mine.count += extra;
            if (item.failure) failures_ += extra;
        }
    }
}
void Findings::Merge(const Findings& other) {
    for (const Item& item : other.items_) Add(item);
}

// ---- Random values -------------------------------------------------------------------
int64_t Randomness::Int(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng_);
}
double Randomness::Real(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
}

float Randomness::Sample(bool hostile) {
    static const float kOrdinary[] = {0.0f,    -0.0f,   0.5f,    1.0f,   -1.0f,           0.1f,
                                      0.94f,   0.99f,   0.9f,    2.0f,   -2.0f,           10.0f,
                                      -10.0f,  1e-40f,  -1e-40f, 1e-45f, 1.17549435e-38f, 100.0f,
                                      -100.0f, 9999.31f /* the GUI side's request value */};
    static const float kHostile[] = {std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::max(),
                                     -std::numeric_limits<float>::max(),
                                     1e30f,
                                     -1e30f,
                                     1e10f,
                                     -1e10f,
                                     4294967296.0f,
                                     FromBits(0x7FA00001u) /* signalling NaN */};
    const int64_t pick = Int(0, 9);
    if (hostile && pick < 3) return kHostile[Int(0, std::size(kHostile) - 1)];
    if (pick < 6) return kOrdinary[Int(0, std::size(kOrdinary) - 1)];
    return static_cast<float>(Real(-2.0, 2.0));
}

double Randomness::PinValue(const PinInfo& pin, bool hostile) {
    switch (pin.datatype) {
        case DT_CHOICE: {
            std::vector<int32_t> listed;
            if (pin.choices) {
                try {
                    const ChoiceList list = ParseChoices(*pin.choices);
                    if (list.is_range) {
                        listed = {list.low, list.high, (list.low + list.high) / 2};
                    } else {
                        for (const auto& e : list.entries) listed.push_back(e.second);
                    }
                } catch (const std::exception&) {
                }
            }
            if (!listed.empty() && Chance(0.6)) return listed[Int(0, listed.size() - 1)];
            static const int32_t kOutside[] = {-1, -2, 32767, -32768, 100, 17, 255, 1000};
            return kOutside[Int(0, std::size(kOutside) - 1)];
        }
        case DT_SWITCH:
            return static_cast<double>(Int(0, 1));
        case DT_WHOLE32: {
            static const int32_t kEdges[] = {0,
                                             1,
                                             -1,
                                             2,
                                             31,
                                             32,
                                             33,
                                             127,
                                             128,
                                             std::numeric_limits<int32_t>::max(),
                                             std::numeric_limits<int32_t>::min()};
            if (Chance(0.5)) return kEdges[Int(0, std::size(kEdges) - 1)];
            return static_cast<double>(Int(-1000, 1000));
        }
        default:
            return Sample(hostile);
    }
}

std::string Randomness::Text() {
    auto number = [this]() -> std::string {
        switch (Int(0, 11)) {
            case 0:
                return Number(Real(-1e6, 1e6));
            case 1:
                return std::to_string(Int(-2147483648LL, 2147483647LL));
            case 2:
                return "99999999999999999999999999";
            case 3:
                return "-99999999999999999999999999";
            case 4:
                return "1e400";
            case 5:
                return "-1e-400";
            case 6:
                return "nan";
            case 7:
                return "-inf";
            case 8:
                return "0x1p3";
            case 9:
                return " \t7 ";
            case 10:
                return std::to_string(Int(-40, 40));
            default:
                return Number(Real(-10, 10));
        }
    };
    switch (Int(0, 9)) {
        case 0:
            return "";
        case 1:
            return std::string(static_cast<size_t>(Int(1000, 100000)), ',');
        case 2: {  // a very long list of numbers
            std::string s;
            const int64_t n = Int(33, 5000);
            for (int64_t i = 0; i < n; ++i) s += number() + ",";
            return s;
        }
        case 3: {  // non-ASCII and invalid UTF-8
            static const char* kPieces[] = {"\xC3\xA9",
                                            "\xE2\x82\xAC",
                                            "\xF0\x9F\x8E\xB5",
                                            "\xFF",
                                            "\x80",
                                            "\xC0\xAF",
                                            "\xEF\xBC\x8C" /* fullwidth comma */,
                                            "1",
                                            ","};
            std::string s;
            const int64_t n = Int(1, 300);
            for (int64_t i = 0; i < n; ++i) s += kPieces[Int(0, std::size(kPieces) - 1)];
            return s;
        }
        case 4: {  // raw bytes
            std::string s(static_cast<size_t>(Int(1, 200)), ' ');
            for (char& c : s) c = static_cast<char>(Int(1, 255));
            return s;
        }
        case 5:
            return std::string(static_cast<size_t>(Int(1, 5000)), '9');
        case 6:
            return ",-,+,.,e,E,--1,1..2,1e,";
        default: {  // an ordinary list of a plausible length
            std::string s;
            const int64_t n = Int(0, 40);
            for (int64_t i = 0; i < n; ++i) {
                if (i) s += Chance(0.1) ? ", " : ",";
                s += number();
            }
            if (Chance(0.3)) s += ",";
            return s;
        }
    }
}

int32_t Randomness::Midi() {
    auto pack = [](int64_t s, int64_t a, int64_t b) {
        return static_cast<int32_t>(s | (a << 8) | (b << 16));
    };
    const int64_t ch = Int(0, 15);
    switch (Int(0, 9)) {
        case 0:  // anything, data bytes above 127 included
            return static_cast<int32_t>(Next() & 0xFFFFFFFFu);
        case 1:
            return pack(Int(0, 255), Int(0, 255), Int(0, 255));
        case 2:
        case 3:
            return pack(0x90 | ch, Int(0, 127), Int(0, 127));  // note on (0: off)
        case 4:
            return pack(0x80 | ch, Int(0, 127), Int(0, 127));
        case 5:
            return pack(0xE0 | ch, Int(0, 127), Int(0, 127));  // bend
        case 6:
            return pack(0xB0 | ch, Int(0, 127), Int(0, 127));  // controllers
        case 7:
            return pack(0xB0 | ch, Int(120, 127), 0);  // channel mode messages
        case 8:
            return pack(Int(0xF0, 0xFF), Int(0, 127), Int(0, 127));
        default:
            return pack(0x90 | ch, Int(0, 127), Int(1, 127));
    }
}

float StreamSample(uint64_t seed, uint32_t t, bool hostile) {
    const uint64_t h = SplitMix(seed ^ (uint64_t{t} * 0x9E3779B97F4A7C15ull));
    if (hostile && (h & 0xFF) < 8) {
        static const float kBad[] = {std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(), 1e30f};
        return kBad[(h >> 8) & 3];
    }
    if ((h & 0xFF) < 12) return 1e-40f;  // denormal
    return static_cast<float>(static_cast<double>(h >> 11) * (4.0 / 9007199254740992.0) - 2.0);
}

// ---- DSP bench -------------------------------------------------------------------------
DspBench::DspBench(const Entries& entries, Findings& findings, double sample_rate,
                   int32_t block_size, int32_t repeat_pins)
    : entries_(entries),
      findings_(findings),
      sample_rate_(sample_rate),
      block_size_(block_size),
      repeat_pins_(repeat_pins) {
    queue_.reserve(4096);
}

DspBench::~DspBench() {
    Close();
}

std::string DspBench::Where() const {
    return Fmt("rate %g, block %d, clock %" PRIu32, sample_rate_, block_size_, clock_);
}

intptr_t DspBench::Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                            float) {
    if (record == nullptr) return 0;
    auto* self = static_cast<DspBench*>(static_cast<KVHostRecord*>(record)->host_reference);
    if (self == nullptr) return 0;
    alloc::Pause pause;  // the host's own bookkeeping is not the module's allocation
    return self->HostRequest(opcode, index, value, ptr);
}

intptr_t DspBench::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    if (record_ == nullptr || record_->dispatch == nullptr) return 0;
    return record_->dispatch(record_, opcode, index, value, ptr, opt);
}

bool DspBench::Create() {
    void* r = entries_.make(0, KV_KIND_DSP, &DspBench::Callback, this);
    if (r == nullptr) {
        findings_.Fail("records", "makeModule(0, 1) answered null: no DSP instance");
        return false;
    }
    record_ = static_cast<KVHostRecord*>(r);
    if (record_->magic != KV_DSP_MAGIC || record_->format != KV_RECORD_FORMAT) {
        findings_.Fail("records", Fmt("DSP record starts %08x %d, not %08x %d",
                                      static_cast<unsigned>(record_->magic), record_->format,
                                      KV_DSP_MAGIC, KV_RECORD_FORMAT));
    }
    if (record_->host_reference != this) {
        findings_.Fail("records", "DSP record does not hold the host reference at its place");
    }
    if (record_->object == nullptr || record_->dispatch == nullptr || record_->process == nullptr ||
        record_->event == nullptr) {
        findings_.Fail("records", "DSP record lacks its object, dispatch, process or event entry");
        record_ = nullptr;  // nothing can be driven safely
        return false;
    }
    if (record_->reserved0 != 0 || record_->reserved[0] != 0 || record_->reserved[1] != 0 ||
        record_->reserved[2] != 0 || record_->reserved[3] != 0) {
        findings_.Fail("records", "DSP record's reserved words are not 0");
    }
    object_ = record_->object;
    process_ = record_->process;
    Dispatch(MOD_SAMPLE_RATE, 0, 0, nullptr, static_cast<float>(sample_rate_));
    Dispatch(MOD_BLOCK_SIZE, 0, block_size_);

    // Descriptions until refused (a module describing thousands of pins is broken).
    for (int32_t d = 0;; ++d) {
        if (d >= 4096) {
            findings_.Fail("pins", "MOD_PIN_INFO never refuses (4096 pins described)");
            break;
        }
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        if (Dispatch(MOD_PIN_INFO, d, 0, &p) == 0) break;
        if (p.name == nullptr) findings_.Fail("pins", Fmt("pin %d has no name", d));
        PinInfo info = DescribedPin(d, p);
        const bool dsp_side = !info.IsGuiSide() || info.IsDspVisible();
        if (dsp_side) info.dsp_index = static_cast<int32_t>(pins_.size());
        descriptions_.push_back(info);
        if (dsp_side) {
            Pin pin;
            pin.desc = d;
            pin.info = info;
            pins_.push_back(std::move(pin));
        }
    }
    if (!descriptions_.empty() && (descriptions_.back().flags & IO_REPEAT_LAST) != 0 &&
        !pins_.empty() && pins_.back().desc == descriptions_.back().index) {
        for (int32_t i = 0; i < repeat_pins_; ++i) {
            Pin pin;
            pin.desc = pins_.back().desc;
            pin.info = pins_.back().info;
            pin.info.variable = nullptr;
            pin.info.dsp_index = static_cast<int32_t>(pins_.size());
            pins_.push_back(std::move(pin));
        }
    }
    for (Pin& pin : pins_) {
        if (pin.info.datatype == DT_FSAMPLE) {
            pin.storage.assign(block_size_ + 2 * kGuardWords, FromBits(kGuardTag));
            pin.buffer = pin.storage.data() + kGuardWords;
            std::fill(pin.buffer, pin.buffer + block_size_, 0.0f);
            if (pin.info.variable != nullptr) *static_cast<float**>(pin.info.variable) = pin.buffer;
            pin.saved.assign(block_size_, 0.0f);
            if (!pin.info.IsOutput()) {
                SampleSource s;
                s.constant = static_cast<float>(DefaultValue(pin.info));
                pin.timeline.emplace_back(0, s);
                pin.input_copy.assign(block_size_, 0.0f);
            }
        } else if (!pin.info.IsOutput() && pin.info.variable != nullptr) {
            WriteMember(pin, DefaultValue(pin.info));
        }
    }
    return true;
}

const PinInfo& DspBench::Describe(int32_t dsp_pin) const {
    return pins_.at(dsp_pin).info;
}

std::vector<int32_t> DspBench::Inputs() const {
    std::vector<int32_t> out;
    for (size_t i = 0; i < pins_.size(); ++i) {
        if (!pins_[i].info.IsOutput() && pins_[i].info.datatype != DT_STRING) {
            out.push_back(static_cast<int32_t>(i));
        }
    }
    return out;
}
std::vector<int32_t> DspBench::Outputs() const {
    std::vector<int32_t> out;
    for (size_t i = 0; i < pins_.size(); ++i) {
        if (pins_[i].info.IsOutput() && pins_[i].info.datatype == DT_FSAMPLE) {
            out.push_back(static_cast<int32_t>(i));
        }
    }
    return out;
}

void DspBench::WriteMember(Pin& pin, double value) {
    void* v = pin.info.variable;
    if (v == nullptr) return;
    switch (pin.info.datatype) {
        case DT_CHOICE: {
            const int16_t x = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
            std::memcpy(v, &x, sizeof x);
            break;
        }
        case DT_SWITCH: {
            const uint8_t x = value != 0.0 ? 1 : 0;
            std::memcpy(v, &x, sizeof x);
            break;
        }
        case DT_REAL32: {
            const float x = static_cast<float>(value);
            std::memcpy(v, &x, sizeof x);
            break;
        }
        case DT_WHOLE32: {
            const int32_t x = static_cast<int32_t>(std::clamp(value, -2147483648.0, 2147483647.0));
            std::memcpy(v, &x, sizeof x);
            break;
        }
        default:
            break;
    }
}

void DspBench::Open() {
    if (record_ == nullptr || opened_) return;
    {
        alloc::Pause none;  // opening may allocate
        Dispatch(MOD_OPEN);
    }
    opened_ = true;
    process_ = record_->process;
    for (int32_t i : Inputs()) {
        if (pins_[i].info.datatype == DT_MIDI_STREAM) continue;
        Queued q{clock_, seq_++, false, i, 0.0, {clock_, EV_PIN_STATUS, PS_STEP, 0, i, nullptr}};
        Push(q);
    }
}

void DspBench::Close() {
    if (record_ == nullptr || closed_) return;
    closed_ = true;
    const intptr_t r = Dispatch(MOD_CLOSE);
    if (r != 1)
        findings_.Fail("records", Fmt("MOD_CLOSE answered %ld, not 1", static_cast<long>(r)));
    record_ = nullptr;
}

bool DspBench::ValidPin(int32_t dsp_pin, const char* what) {
    if (dsp_pin >= 0 && dsp_pin < PinCount()) return true;
    findings_.Fail("host", Fmt("validator asked %s on pin %d of %d", what, dsp_pin, PinCount()));
    return false;
}

void DspBench::Push(const Queued& q) {
    queue_.push_back(q);
    std::push_heap(queue_.begin(), queue_.end(), [](const Queued& a, const Queued& b) {
        return a.time != b.time ? a.time > b.time : a.seq > b.seq;
    });
}

void DspBench::SetValue(int32_t dsp_pin, double value, uint32_t at) {
    if (!ValidPin(dsp_pin, "SetValue")) return;
    if (at < clock_) at = clock_;
    Pin& pin = pins_[dsp_pin];
    if (pin.info.datatype == DT_FSAMPLE) {
        SampleSource s;
        s.constant = static_cast<float>(value);
        SetSource(dsp_pin, s, at);
        return;
    }
    if (pin.info.datatype == DT_REAL32 && !std::isfinite(static_cast<float>(value))) {
        inputs_finite_ = false;
    }
    Push(Queued{
        at, seq_++, true, dsp_pin, value, {at, EV_PIN_STATUS, PS_STEP, 0, dsp_pin, nullptr}});
}

void DspBench::SetSource(int32_t dsp_pin, const SampleSource& source, uint32_t at) {
    if (!ValidPin(dsp_pin, "SetSource")) return;
    if (at < clock_) at = clock_;
    Pin& pin = pins_[dsp_pin];
    if (pin.info.datatype != DT_FSAMPLE || pin.info.IsOutput()) return;
    if ((!source.stream && !std::isfinite(source.constant)) || (source.stream && source.hostile)) {
        inputs_finite_ = false;
    }
    // Keep the timeline ordered; a later change at the same clock replaces an earlier one.
    auto it = std::upper_bound(pin.timeline.begin(), pin.timeline.end(), at,
                               [](uint32_t t, const auto& e) { return t < e.first; });
    pin.timeline.insert(it, {at, source});
    // Sanitise old entries: everything before the current block start can go, but one.
    while (pin.timeline.size() > 2 && pin.timeline[1].first <= block_start_) {
        pin.timeline.erase(pin.timeline.begin());
    }
    if (block_started_ && at < block_start_ + static_cast<uint32_t>(block_size_)) {
        FillInput(pin, static_cast<int32_t>(at - block_start_));
    }
    Push(Queued{at,
                seq_++,
                false,
                dsp_pin,
                0.0,
                {at, EV_PIN_STATUS, source.stream ? PS_STREAM : PS_STEP, 0, dsp_pin, nullptr}});
}

void DspBench::SendMidi(int32_t dsp_pin, uint32_t at, int32_t message, int16_t value2) {
    if (!ValidPin(dsp_pin, "SendMidi")) return;
    if (at < clock_) at = clock_;
    Push(Queued{at, seq_++, false, dsp_pin, 0.0, {at, EV_MIDI, message, value2, dsp_pin, nullptr}});
}

void DspBench::SendRaw(uint32_t at, int32_t kind, int32_t value, int32_t value2, intptr_t extra) {
    if (at < clock_) at = clock_;
    Push(Queued{at, seq_++, false, -1, 0.0, {at, kind, value, value2, extra, nullptr}});
}

void DspBench::FillInput(Pin& pin, int32_t from) {
    if (pin.timeline.empty()) return;
    size_t k = 0;
    for (int32_t i = from; i < block_size_; ++i) {
        const uint32_t t = block_start_ + static_cast<uint32_t>(i);
        while (k + 1 < pin.timeline.size() && pin.timeline[k + 1].first <= t) ++k;
        const SampleSource& s = pin.timeline[k].second;
        pin.buffer[i] = s.stream ? StreamSample(s.seed, t, s.hostile) : s.constant;
    }
    std::copy(pin.buffer + from, pin.buffer + block_size_, pin.input_copy.begin() + from);
}

void DspBench::StartBlock() {
    block_start_ = clock_;
    block_started_ = true;
    for (Pin& pin : pins_) {
        if (pin.info.datatype != DT_FSAMPLE) continue;
        if (pin.info.variable != nullptr &&
            *static_cast<float**>(pin.info.variable) != pin.buffer) {
            findings_.Fail("buffers",
                           Fmt("pin \"%s\": the module changed the buffer address the host "
                               "gave it (%s)",
                               pin.info.name.c_str(), Where().c_str()));
            *static_cast<float**>(pin.info.variable) = pin.buffer;
        }
        if (!pin.info.IsOutput()) FillInput(pin, 0);
    }
}

intptr_t DspBench::HostRequest(int32_t opcode, int32_t index, int32_t value, void* ptr) {
    switch (opcode) {
        case HOST_OUT_STATUS: {
            const auto clock = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
            if (index < 0 || index >= PinCount()) {
                findings_.Fail("host requests", Fmt("status for pin %d, which does not exist (%d "
                                                    "pins)",
                                                    index, PinCount()));
                return 0;
            }
            if (value < PS_STILL || value > PS_STREAM) {
                findings_.Fail("host requests", Fmt("pin \"%s\": status %d is not a status",
                                                    pins_[index].info.name.c_str(), value));
            }
            if (!pins_[index].info.IsOutput()) {
                findings_.Note("host requests", Fmt("status announced on input pin \"%s\"",
                                                    pins_[index].info.name.c_str()));
            }
            status_hash_ = Mix(
                Mix(Mix(status_hash_, static_cast<uint64_t>(index)), static_cast<uint64_t>(value)),
                clock);
            auto& st = pins_[index].statuses;
            // Only the latest status before the current block still matters.
            while (st.size() > 64 && st[1].first <= block_start_) st.erase(st.begin());
            st.emplace_back(clock, value);
            return 0;
        }
        case HOST_PIN_QUERY:
            return 0;
        case HOST_CLOCK:
            return static_cast<intptr_t>(host_clock_);
        case HOST_PIN_AT_TIME: {
            const auto clock = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
            if (index < 0 || index >= PinCount()) {
                findings_.Fail("host requests", Fmt("value at time for pin %d, which does not "
                                                    "exist",
                                                    index));
            } else if (clock < host_clock_) {
                findings_.Fail("host requests",
                               Fmt("value at time for a past clock %" PRIu32 " (now %" PRIu32 ")",
                                   clock, host_clock_));
            }
            status_hash_ = Mix(Mix(status_hash_, static_cast<uint64_t>(value)), clock);
            return 0;
        }
        case HOST_PIN_BUFFER:
            if (index < 0 || index >= PinCount() || pins_[index].buffer == nullptr) {
                findings_.Fail("host requests", Fmt("buffer of pin %d, which has none", index));
                return 0;
            }
            return reinterpret_cast<intptr_t>(pins_[index].buffer);
        case HOST_PIN_BLOCK_START:
            return static_cast<intptr_t>(block_start_);
        case HOST_DORMANT:
            dormant_ = true;
            return 0;
        case HOST_PIN_COUNT:
            return PinCount();
        case HOST_POST_EVENT: {
            if (ptr == nullptr) {
                findings_.Fail("events", "HOST_POST_EVENT without an event");
                return 0;
            }
            KVTimedEvent e;
            std::memcpy(&e, ptr, sizeof e);
            uint32_t at = e.time_stamp;
            if (at < host_clock_) {
                findings_.Fail("events", Fmt("event of kind %d posted for the past: clock %" PRIu32
                                             ", now %" PRIu32 " (%s)",
                                             e.kind, at, host_clock_, Where().c_str()));
                at = host_clock_;
            }
            if (in_process_ && at < slice_end_) {
                findings_.Note("events",
                               "event posted for a clock inside the slice being "
                               "processed; delivered at the slice's end");
                at = slice_end_;
            }
            if (queue_.size() > 100000) {
                findings_.Fail("events",
                               "more than 100,000 events queued: the module posts "
                               "events without end");
                return 0;
            }
            e.time_stamp = at;
            e.next = nullptr;
            Push(Queued{at, seq_++, false, -1, 0.0, e});
            return 0;
        }
        case HOST_PROCESS_CHANGED:
            if (record_ == nullptr) return 0;
            process_ = record_->process;
            if (process_ == nullptr) findings_.Fail("records", "process entry set to null");
            return 0;
        default:
            findings_.Note("host requests", Fmt("unknown host opcode %d", opcode));
            return 0;
    }
}

void DspBench::DeliverDue() {
    auto later = [](const Queued& a, const Queued& b) {
        return a.time != b.time ? a.time > b.time : a.seq > b.seq;
    };
    while (!queue_.empty() && queue_.front().time <= clock_) {
        std::pop_heap(queue_.begin(), queue_.end(), later);
        Queued q = queue_.back();
        queue_.pop_back();
        Deliver(q);
    }
}

void DspBench::Deliver(Queued q) {
    if (record_ == nullptr || !opened_) return;
    host_clock_ = clock_;
    q.event.time_stamp = clock_;
    if (q.host_write && q.pin >= 0 && q.pin < PinCount()) WriteMember(pins_[q.pin], q.value);
    dormant_ = false;
    ++events_delivered_;
    alloc::ResetWindowCount();
    {
        alloc::Window window;
        record_->event(object_, &q.event);
    }
    const uint64_t n = alloc::WindowCount();
    if (n > 0) {
        audio_allocations_ += n;
        findings_.Fail("audio-path allocations",
                       Fmt("%" PRIu64 " allocation(s) while an event of kind %d was delivered (%s)",
                           n, q.event.kind, Where().c_str()));
    }
    CheckGuards("an event delivery");
}

void DspBench::Run(uint32_t samples) {
    if (record_ == nullptr) return;
    const uint32_t end = clock_ + samples;
    while (clock_ < end) {
        if (!block_started_ || clock_ >= block_start_ + static_cast<uint32_t>(block_size_)) {
            StartBlock();
        }
        DeliverDue();
        if (record_ == nullptr) return;
        uint32_t stop = std::min(end, block_start_ + static_cast<uint32_t>(block_size_));
        if (!queue_.empty() && queue_.front().time > clock_ && queue_.front().time < stop) {
            stop = queue_.front().time;
        }
        ProcessSlice(static_cast<int32_t>(clock_ - block_start_),
                     static_cast<int32_t>(stop - clock_));
        clock_ = stop;
        host_clock_ = clock_;
    }
}

void DspBench::ProcessSlice(int32_t pos, int32_t count) {
    host_clock_ = clock_;
    bool processed = false;
    if (!dormant_ && opened_) {
        if (process_ == nullptr) {
            findings_.Fail("records", "no process entry to call");
        } else {
            for (Pin& pin : pins_) {
                if (pin.info.datatype != DT_FSAMPLE || !pin.info.IsOutput()) continue;
                std::copy(pin.buffer + pos, pin.buffer + pos + count, pin.saved.begin() + pos);
                std::fill(pin.buffer + pos, pin.buffer + pos + count, FromBits(kUnwrittenTag));
            }
            in_process_ = true;
            slice_end_ = clock_ + static_cast<uint32_t>(count);
            alloc::ResetWindowCount();
            {
                alloc::Window window;
                process_(object_, pos, count);
            }
            const uint64_t n = alloc::WindowCount();
            in_process_ = false;
            processed = true;
            ++process_calls_;
            if (n > 0) {
                audio_allocations_ += n;
                findings_.Fail("audio-path allocations",
                               Fmt("%" PRIu64 " allocation(s) in a process call of %d samples (%s)",
                                   n, count, Where().c_str()));
            }
        }
    }
    CheckSlice(pos, count, processed);
}

void DspBench::CheckSlice(int32_t pos, int32_t count, bool processed) {
    for (Pin& pin : pins_) {
        if (pin.info.datatype != DT_FSAMPLE) continue;
        if (pin.info.IsOutput()) {
            float* b = pin.buffer;
            if (processed) {
                int64_t first_unwritten = -1, first_bad = -1;
                uint64_t unwritten = 0, bad = 0;
                for (int32_t i = pos; i < pos + count; ++i) {
                    const uint32_t u = Bits(b[i]);
                    if (u == kUnwrittenTag) {
                        // Left alone: the buffer keeps its sample. Allowed only while the
                        // module has announced the output as not streaming.
                        b[i] = pin.saved[i];
                        const uint32_t t = block_start_ + static_cast<uint32_t>(i);
                        if (StatusAt(pin, t) == PS_STREAM) {
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
                    unwritten_ += unwritten;
                    findings_.Fail("unwritten samples",
                                   Fmt("output \"%s\": %" PRIu64 " of %d samples not written by "
                                       "the process call while the output is announced as "
                                       "streaming, first at clock %" PRIu32 " (%s)",
                                       pin.info.name.c_str(), unwritten, count,
                                       block_start_ + static_cast<uint32_t>(first_unwritten),
                                       Where().c_str()));
                }
                if (bad > 0) {
                    non_finite_ += bad;
                    findings_.Fail(
                        "finite outputs",
                        Fmt("output \"%s\": %" PRIu64 " non-finite sample(s) from "
                            "finite inputs, first %g at clock %" PRIu32 " (%s)",
                            pin.info.name.c_str(), bad, b[first_bad],
                            block_start_ + static_cast<uint32_t>(first_bad), Where().c_str()));
                }
            }
            uint64_t h = pin.hash;
            for (int32_t i = pos; i < pos + count; ++i) h = Mix(h, Bits(b[i]));
            pin.hash = h;
            if (pos + count == block_size_ && pin.block_hashes.size() < (1u << 20)) {
                pin.block_hashes.push_back(h);
            }
        } else if (!pin.input_copy.empty() &&
                   std::memcmp(pin.buffer, pin.input_copy.data(),
                               sizeof(float) * static_cast<size_t>(block_size_)) != 0) {
            findings_.Fail("inputs unchanged",
                           Fmt("input \"%s\": its buffer was changed by the module (%s)",
                               pin.info.name.c_str(), Where().c_str()));
            std::copy(pin.input_copy.begin(), pin.input_copy.end(), pin.buffer);
        }
    }
    CheckGuards("a process call");
}

void DspBench::CheckGuards(const char* when) {
    for (Pin& pin : pins_) {
        if (pin.buffer == nullptr) continue;
        bool intact = true;
        for (int32_t i = 0; i < kGuardWords; ++i) {
            if (Bits(pin.storage[i]) != kGuardTag ||
                Bits(pin.storage[kGuardWords + block_size_ + i]) != kGuardTag) {
                intact = false;
            }
        }
        if (!intact) {
            findings_.Fail("buffer bounds",
                           Fmt("pin \"%s\": written outside its %d-sample buffer during %s (%s)",
                               pin.info.name.c_str(), block_size_, when, Where().c_str()));
            std::fill(pin.storage.begin(), pin.storage.begin() + kGuardWords, FromBits(kGuardTag));
            std::fill(pin.storage.end() - kGuardWords, pin.storage.end(), FromBits(kGuardTag));
        }
    }
}

// The status an output was announced with for the sample at `clock`; an output that never
// announced one is taken as streaming (its every sample must be written).
int32_t DspBench::StatusAt(const Pin& pin, uint32_t clock) const {
    int32_t status = PS_STREAM;
    for (const auto& [at, s] : pin.statuses) {
        if (at <= clock) status = s;
    }
    return status;
}

uint64_t DspBench::OutputHash(int32_t dsp_pin) const {
    return pins_.at(dsp_pin).hash;
}

int64_t DspBench::FirstDifference(const DspBench& other) const {
    int64_t first = -1;
    for (size_t p = 0; p < pins_.size() && p < other.pins_.size(); ++p) {
        const auto& a = pins_[p].block_hashes;
        const auto& b = other.pins_[p].block_hashes;
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            if (a[i] != b[i]) {
                const int64_t at = static_cast<int64_t>(i) * block_size_;
                if (first < 0 || at < first) first = at;
                break;
            }
        }
        if (pins_[p].hash != other.pins_[p].hash && first < 0) first = clock_;
    }
    return first;
}

// ---- GUI bench ---------------------------------------------------------------------------
GuiBench::GuiBench(const Entries& entries, Findings& findings, std::vector<PinInfo> pins)
    : entries_(entries), findings_(findings), pins_(std::move(pins)) {
    values_.resize(pins_.size());
    for (size_t i = 0; i < pins_.size(); ++i) {
        Value& v = values_[i];
        const PinInfo& p = pins_[i];
        v.datatype = p.datatype;
        const std::string def = p.default_value.value_or("");
        if (p.datatype == DT_STRING) {
            v.text = def;
        } else if (p.datatype == DT_REAL32 || p.datatype == DT_FSAMPLE) {
            v.real = static_cast<float>(std::atof(def.c_str()));
        } else {
            v.whole = static_cast<int32_t>(DefaultValue(p));
        }
    }
}

GuiBench::~GuiBench() {
    Close();
}

intptr_t GuiBench::Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                            float opt) {
    if (record == nullptr) return 0;
    auto* self = static_cast<GuiBench*>(static_cast<KVGuiHostRecord*>(record)->host_reference);
    return self != nullptr ? self->HostRequest(opcode, index, value, ptr, opt) : 0;
}

intptr_t GuiBench::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    if (record_ == nullptr || closed_) return 0;
    return record_->dispatch(record_, opcode, index, value, ptr, opt);
}

bool GuiBench::Create() {
    void* r = entries_.make(0, KV_KIND_GUI, &GuiBench::Callback, this);
    if (r == nullptr) return false;
    record_ = static_cast<KVGuiHostRecord*>(r);
    if (record_->magic != KV_GUI_MAGIC || record_->format != KV_RECORD_FORMAT) {
        findings_.Fail("records", Fmt("GUI record starts %08x %d, not %08x %d",
                                      static_cast<unsigned>(record_->magic), record_->format,
                                      KV_GUI_MAGIC, KV_RECORD_FORMAT));
    }
    if (record_->host_reference != this) {
        findings_.Fail("records", "GUI record does not hold the host reference at its place");
    }
    if (record_->dispatch == nullptr || record_->object == nullptr) {
        findings_.Fail("records", "GUI record lacks its dispatch entry or object");
        record_ = nullptr;
        return false;
    }
    for (int32_t w : record_->reserved) {
        if (w != 0) findings_.Fail("records", "GUI record's reserved words are not 0");
    }
    return true;
}

void GuiBench::Init(bool flag) {
    Dispatch(GUI_INIT, flag ? 1 : 0);
}

void GuiBench::Close() {
    if (record_ == nullptr || closed_) return;
    const intptr_t r = Dispatch(GUI_CLOSE);
    closed_ = true;
    if (r != 1)
        findings_.Fail("records", Fmt("GUI_CLOSE answered %ld, not 1", static_cast<long>(r)));
    record_ = nullptr;
}

GuiBench::Value* GuiBench::Checked(int32_t index, const char* what) {
    if (index >= 0 && static_cast<size_t>(index) < values_.size()) return &values_[index];
    findings_.Fail("gui requests", Fmt("%s for pin %d, which is not described (%zu pins)", what,
                                       index, values_.size()));
    return nullptr;
}

void GuiBench::Notify(int32_t index) {
    if (depth_ >= 16) {
        findings_.Fail("gui notifications",
                       Fmt("pin %d: writes and notifications nest more than 16 deep (the module "
                           "keeps rewriting pins from its own notifications)",
                           index));
        return;
    }
    ++depth_;
    ++notifications_;
    Dispatch(GUI_PIN_CHANGED, index);
    --depth_;
}

intptr_t GuiBench::HostRequest(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    switch (opcode) {
        case GUIHOST_GET_TEXT: {
            Value* v = Checked(index, "GUIHOST_GET_TEXT");
            static const char kEmpty[] = "";
            if (v == nullptr) return reinterpret_cast<intptr_t>(kEmpty);
            if (v->datatype == DT_STRING) return reinterpret_cast<intptr_t>(v->text.c_str());
            v->shown = (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE)
                           ? Number(v->real)
                           : std::to_string(v->whole);
            return reinterpret_cast<intptr_t>(v->shown.c_str());
        }
        case GUIHOST_PUT_TEXT: {
            Value* v = Checked(index, "GUIHOST_PUT_TEXT");
            if (v == nullptr) return 0;
            if (ptr == nullptr) {
                findings_.Fail("gui requests",
                               Fmt("GUIHOST_PUT_TEXT for pin %d without a text", index));
                return 0;
            }
            const char* text = static_cast<const char*>(ptr);
            const size_t n = strnlen(text, kMaxText + 1);
            if (n > kMaxText) {
                findings_.Fail("gui requests",
                               Fmt("pin %d: text of more than %zu bytes written", index, kMaxText));
                return 0;
            }
            bool changed;
            if (v->datatype == DT_STRING) {
                changed = v->text != std::string_view(text, n);
                v->text.assign(text, n);
            } else if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
                const float f = static_cast<float>(std::atof(text));
                changed = Bits(f) != Bits(v->real);
                v->real = f;
            } else {
                const int32_t i = std::atoi(text);
                changed = i != v->whole;
                v->whole = i;
            }
            if (changed) Notify(index);
            return 0;
        }
        case GUIHOST_GET_VALUE: {
            Value* v = Checked(index, "GUIHOST_GET_VALUE");
            if (ptr == nullptr) {
                findings_.Fail("gui requests", Fmt("GUIHOST_GET_VALUE for pin %d without a result "
                                                   "address",
                                                   index));
                return 0;
            }
            int32_t word = 0;
            if (v != nullptr) {
                if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
                    std::memcpy(&word, &v->real, 4);
                } else if (v->datatype == DT_STRING) {
                    word = std::atoi(v->text.c_str());
                } else {
                    word = v->whole;
                }
            }
            std::memcpy(ptr, &word, 4);
            return 0;
        }
        case GUIHOST_PUT_VALUE: {
            Value* v = Checked(index, "GUIHOST_PUT_VALUE");
            if (v == nullptr) return 0;
            bool changed;
            if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
                changed = Bits(opt) != Bits(v->real);
                v->real = opt;
            } else if (v->datatype == DT_STRING) {
                const std::string t = std::to_string(value);
                changed = t != v->text;
                v->text = t;
            } else {
                changed = value != v->whole;
                v->whole = value;
            }
            if (changed) Notify(index);
            return 0;
        }
        case GUIHOST_GET_WTEXT: {
            Value* v = Checked(index, "GUIHOST_GET_WTEXT");
            std::u16string w;
            if (v != nullptr) {
                for (unsigned char c : v->datatype == DT_STRING ? v->text : v->shown) {
                    w.push_back(c < 0x80 ? c : 0xFFFD);
                }
            }
            if (value <= 0) return static_cast<intptr_t>(w.size() + 1);
            if (ptr == nullptr) {
                findings_.Fail("gui requests", "GUIHOST_GET_WTEXT without a buffer");
                return 0;
            }
            const size_t n = std::min(w.size(), static_cast<size_t>(value) - 1);
            auto* out = static_cast<char16_t*>(ptr);
            std::copy(w.begin(), w.begin() + n, out);
            out[n] = 0;
            return static_cast<intptr_t>(n + 1);
        }
        case GUIHOST_REGISTER:
        case GUIHOST_OP8:
        case GUIHOST_OP18:
        case GUIHOST_OP19:
        case GUIHOST_OP20:
            return 0;
        default:
            findings_.Note("gui requests", Fmt("unknown GUI host opcode %d", opcode));
            return 0;
    }
}

void GuiBench::EditText(int32_t index, const std::string& text) {
    Value* v = Checked(index, "edit");
    if (v == nullptr) return;
    if (v->datatype == DT_STRING) {
        v->text = text;
    } else if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
        v->real = static_cast<float>(std::atof(text.c_str()));
    } else {
        v->whole = std::atoi(text.c_str());
    }
    Notify(index);
}

void GuiBench::EditFloat(int32_t index, float value) {
    Value* v = Checked(index, "edit");
    if (v == nullptr) return;
    if (v->datatype == DT_STRING) {
        v->text = Number(value);
    } else if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
        v->real = value;
    } else {
        v->whole =
            std::isfinite(value)
                ? static_cast<int32_t>(std::clamp<double>(value, -2147483648.0, 2147483647.0))
                : 0;
    }
    Notify(index);
}

void GuiBench::EditInt(int32_t index, int32_t value) {
    Value* v = Checked(index, "edit");
    if (v == nullptr) return;
    if (v->datatype == DT_STRING) {
        v->text = std::to_string(value);
    } else if (v->datatype == DT_REAL32 || v->datatype == DT_FSAMPLE) {
        v->real = static_cast<float>(value);
    } else {
        v->whole = value;
    }
    Notify(index);
}

std::string GuiBench::Snapshot() const {
    std::string s;
    for (size_t i = 0; i < values_.size(); ++i) {
        const Value& v = values_[i];
        s += std::to_string(i) + "=";
        if (v.datatype == DT_STRING) {
            s += v.text;
        } else if (v.datatype == DT_REAL32 || v.datatype == DT_FSAMPLE) {
            s += Fmt("%08x", Bits(v.real));
        } else {
            s += std::to_string(v.whole);
        }
        s += '\n';
    }
    return s;
}

}  // namespace kvhost::validate
