// The least a host can be: drives one instance through its records with a callback that
// answers only what the frame asks, keeps no queue and records nothing. The benchmarks use
// it to weigh a deliverable's own allocations and the frame without the host library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kv_abi.h"

namespace kvbench {

class BareDsp {
  public:
    // makeModule(kind 1), MOD_SAMPLE_RATE, MOD_BLOCK_SIZE, MOD_PIN_INFO until refused (pins
    // counted as the plug-in's frame revision counts them), buffers bound and defaults written.
    // Nothing of the host is allocated after this. With `count` on, the heap tally (alloc_count.h)
    // counts what the deliverable allocates in set-up and Open, and nothing of the bare host's own.
    BareDsp(KVMakeModuleFn make, int32_t frame_revision, float sample_rate, int32_t block_size,
            bool count = false);
    ~BareDsp();  // MOD_CLOSE
    BareDsp(const BareDsp&) = delete;
    BareDsp& operator=(const BareDsp&) = delete;

    bool Made() const { return record_ != nullptr; }
    void Open();                                 // MOD_OPEN, then a PS_STEP on every input
    int32_t Pin(const std::string& name) const;  // DSP pin index, -1 if none
    float* Buffer(int32_t pin) { return pins_[pin].buffer; }
    void WriteChoice(int32_t pin, int16_t value);       // the bound member of a DT_CHOICE pin
    void Status(int32_t pin, int32_t status);           // EV_PIN_STATUS at the clock
    void Midi(uint8_t status, uint8_t d1, uint8_t d2);  // EV_MIDI at the clock (pin 0)
    // One process call over a block from offset 0, or over a slice of it.
    void Process(int32_t count) { Slice(0, count); }
    void Slice(int32_t first, int32_t count) {
        process_(record_->object, first, count);
        clock_ += static_cast<uint32_t>(count);
    }
    bool Dormant() const { return dormant_; }
    uint32_t Clock() const { return clock_; }
    KVHostRecord* Record() { return record_; }

  private:
    struct PinSlot {
        std::string name;
        int32_t direction;
        int32_t datatype;
        void* variable;
        float* buffer;
    };
    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);

    KVHostRecord* record_ = nullptr;
    KVProcessEntry process_ = nullptr;
    std::vector<PinSlot> pins_;
    std::vector<float> storage_;
    bool count_;
    uint32_t clock_ = 0;
    bool dormant_ = false;
};

// A GUI side with a callback that answers every read with an empty text or zero.
class BareGui {
  public:
    explicit BareGui(KVMakeModuleFn make, bool count = false);
    ~BareGui();  // GUI_CLOSE
    BareGui(const BareGui&) = delete;
    BareGui& operator=(const BareGui&) = delete;
    bool Made() const { return record_ != nullptr; }
    void Init();  // GUI_INIT

  private:
    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    KVGuiHostRecord* record_ = nullptr;
    bool count_;
};

}  // namespace kvbench
