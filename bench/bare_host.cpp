// The bare host of the benchmarks: set-up through the dispatch entry, blocks through the
// process entry, events through the event entry, and a callback that only answers.
#include "bare_host.h"

#include <cstdlib>
#include <cstring>

#include "alloc_count.h"

namespace kvbench {

namespace {

// Counts the heap use of one call into the deliverable when asked to.
class Tally {
  public:
    explicit Tally(bool on) : on_(on) {
        if (on_) Counting(true);
    }
    ~Tally() {
        if (on_) Counting(false);
    }
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;

  private:
    bool on_;
};

}  // namespace

BareDsp::BareDsp(KVMakeModuleFn make, int32_t frame_revision, float sample_rate, int32_t block_size,
                 bool count)
    : count_(count) {
    {
        Tally t(count_);
        record_ = static_cast<KVHostRecord*>(make(0, KV_KIND_DSP, &BareDsp::Callback, this));
        if (record_ == nullptr) return;
        record_->dispatch(record_, MOD_SAMPLE_RATE, 0, 0, nullptr, sample_rate);
        record_->dispatch(record_, MOD_BLOCK_SIZE, 0, block_size, nullptr, 0.0f);
    }
    std::vector<KVPinProperties> described;
    described.reserve(64);
    for (int32_t i = 0; i < 1000; ++i) {
        KVPinProperties p;
        std::memset(&p, 0, sizeof p);
        intptr_t known;
        {
            Tally t(count_);
            known = record_->dispatch(record_, MOD_PIN_INFO, i, 0, &p, 0.0f);
        }
        if (known == 0) break;
        if (KVIsDspSidePin(p.flags, frame_revision)) described.push_back(p);
    }
    std::size_t samples = 0;
    for (const auto& p : described) {
        if (p.datatype == DT_FSAMPLE) samples += static_cast<std::size_t>(block_size);
    }
    storage_.assign(samples, 0.0f);
    std::size_t at = 0;
    for (const auto& p : described) {
        PinSlot pin{p.name != nullptr ? p.name : "", p.direction, p.datatype, p.variable, nullptr};
        const double value = p.default_value != nullptr ? std::atof(p.default_value) : 0.0;
        switch (p.datatype) {
            case DT_FSAMPLE:
                pin.buffer = storage_.data() + at;
                at += static_cast<std::size_t>(block_size);
                if (pin.direction != DR_OUT) {
                    for (int32_t n = 0; n < block_size; ++n) {
                        pin.buffer[n] = static_cast<float>(value / 10.0);
                    }
                }
                if (p.variable != nullptr) *static_cast<float**>(p.variable) = pin.buffer;
                break;
            case DT_CHOICE:
                if (p.variable != nullptr) *static_cast<int16_t*>(p.variable) = int16_t(value);
                break;
            case DT_SWITCH:
                if (p.variable != nullptr) *static_cast<uint8_t*>(p.variable) = value != 0.0;
                break;
            case DT_REAL32:
                if (p.variable != nullptr) *static_cast<float*>(p.variable) = float(value);
                break;
            case DT_WHOLE32:
                if (p.variable != nullptr) *static_cast<int32_t*>(p.variable) = int32_t(value);
                break;
            default:
                break;
        }
        pins_.push_back(pin);
    }
    process_ = record_->process;
}

BareDsp::~BareDsp() {
    if (record_ != nullptr) record_->dispatch(record_, MOD_CLOSE, 0, 0, nullptr, 0.0f);
}

void BareDsp::Open() {
    {
        Tally t(count_);
        record_->dispatch(record_, MOD_OPEN, 0, 0, nullptr, 0.0f);
    }
    process_ = record_->process;
    Tally t(count_);
    for (int32_t i = 0; i < static_cast<int32_t>(pins_.size()); ++i) {
        if (pins_[i].direction != DR_OUT && pins_[i].datatype != DT_MIDI_STREAM) {
            Status(i, PS_STEP);
        }
    }
}

int32_t BareDsp::Pin(const std::string& name) const {
    for (std::size_t i = 0; i < pins_.size(); ++i) {
        if (pins_[i].name == name) return static_cast<int32_t>(i);
    }
    return -1;
}

void BareDsp::WriteChoice(int32_t pin, int16_t value) {
    if (pins_[pin].variable != nullptr) *static_cast<int16_t*>(pins_[pin].variable) = value;
}

void BareDsp::Status(int32_t pin, int32_t status) {
    KVTimedEvent e{clock_, EV_PIN_STATUS, status, 0, pin, nullptr};
    dormant_ = false;
    record_->event(record_->object, &e);
}

void BareDsp::Midi(uint8_t status, uint8_t d1, uint8_t d2) {
    KVTimedEvent e{clock_, EV_MIDI, status | d1 << 8 | d2 << 16, 0, 0, nullptr};
    dormant_ = false;
    record_->event(record_->object, &e);
}

intptr_t BareDsp::Callback(void* record, int32_t opcode, int32_t index, int32_t, void*, float) {
    auto* self = static_cast<BareDsp*>(static_cast<KVHostRecord*>(record)->host_reference);
    switch (opcode) {
        case HOST_CLOCK:
            return self->clock_;
        case HOST_PIN_COUNT:
            return static_cast<intptr_t>(self->pins_.size());
        case HOST_PIN_BUFFER:
            if (index < 0 || index >= static_cast<int32_t>(self->pins_.size())) return 0;
            return reinterpret_cast<intptr_t>(self->pins_[index].buffer);
        case HOST_PIN_BLOCK_START:
            return self->clock_;
        case HOST_DORMANT:
            self->dormant_ = true;
            return 0;
        case HOST_PROCESS_CHANGED:
            self->process_ = self->record_->process;
            return 0;
        default:  // statuses, posted events and queries are not needed here
            return 0;
    }
}

BareGui::BareGui(KVMakeModuleFn make, bool count) : count_(count) {
    Tally t(count_);
    record_ = static_cast<KVGuiHostRecord*>(make(0, KV_KIND_GUI, &BareGui::Callback, this));
}

BareGui::~BareGui() {
    if (record_ != nullptr) record_->dispatch(record_, GUI_CLOSE, 0, 0, nullptr, 0.0f);
}

void BareGui::Init() {
    Tally t(count_);
    record_->dispatch(record_, GUI_INIT, 1, 0, nullptr, 0.0f);
}

intptr_t BareGui::Callback(void*, int32_t opcode, int32_t, int32_t value, void* ptr, float) {
    static const char empty[] = "";
    switch (opcode) {
        case GUIHOST_GET_TEXT:
            return reinterpret_cast<intptr_t>(empty);
        case GUIHOST_GET_VALUE:
            if (ptr != nullptr) std::memset(ptr, 0, 4);
            return 0;
        case GUIHOST_GET_WTEXT:
            if (value == 0) return 1;
            if (ptr != nullptr) *static_cast<char16_t*>(ptr) = 0;
            return 0;
        default:
            return 0;
    }
}

}  // namespace kvbench
