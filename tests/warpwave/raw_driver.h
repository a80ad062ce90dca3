// Drives one DSP instance straight through its record, with nothing of the host library:
// for what the library refuses to set up (sample rates that are zero, negative or not a
// number) and for instances made on many threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "kv_abi.h"

// Every sample input reads a caller-filled buffer, the clock stays at 0, host requests are
// answered with 0 (HOST_PIN_COUNT with the number of descriptions).
class RawDriver {
  public:
    // `make`: a deliverable's makeModule.
    RawDriver(KVMakeModuleFn make, float rate, int32_t block) {
        record_ = static_cast<KVHostRecord*>(make(0, KV_KIND_DSP, &Callback, this));
        record_->dispatch(record_, MOD_SAMPLE_RATE, 0, 0, nullptr, rate);
        record_->dispatch(record_, MOD_BLOCK_SIZE, 0, block, nullptr, 0.0f);
        for (int32_t i = 0;; ++i) {
            KVPinProperties p{};
            if (record_->dispatch(record_, MOD_PIN_INFO, i, 0, &p, 0.0f) == 0) break;
            pins_.push_back(p);
            buffers_.emplace_back(static_cast<std::size_t>(block), 0.0f);
            if (p.datatype == DT_FSAMPLE) {
                *static_cast<float**>(p.variable) = buffers_.back().data();
            }
        }
        record_->dispatch(record_, MOD_OPEN, 0, 0, nullptr, 0.0f);
    }
    ~RawDriver() { record_->dispatch(record_, MOD_CLOSE, 0, 0, nullptr, 0.0f); }
    RawDriver(const RawDriver&) = delete;
    RawDriver& operator=(const RawDriver&) = delete;

    float* Buffer(int32_t pin) { return buffers_[static_cast<std::size_t>(pin)].data(); }
    void SetChoice(int32_t pin, int16_t value) {
        *static_cast<int16_t*>(pins_[static_cast<std::size_t>(pin)].variable) = value;
    }
    // An input's status change, delivered as the host would.
    void Update(int32_t pin, int32_t status = PS_STEP) {
        KVTimedEvent e{0, EV_PIN_STATUS, status, 0, pin, nullptr};
        record_->event(record_->object, &e);
    }
    void Process(int32_t first, int32_t count) { record_->process(record_->object, first, count); }
    int32_t Dormant() const { return dormant_; }

  private:
    static intptr_t Callback(void* record, int32_t opcode, int32_t, int32_t, void*, float) {
        auto* self = static_cast<RawDriver*>(static_cast<KVHostRecord*>(record)->host_reference);
        if (opcode == HOST_PIN_COUNT) return static_cast<intptr_t>(self->pins_.size());
        if (opcode == HOST_DORMANT) ++self->dormant_;
        return 0;
    }

    KVHostRecord* record_ = nullptr;
    std::vector<KVPinProperties> pins_;
    std::vector<std::vector<float>> buffers_;
    int32_t dormant_ = 0;
};
