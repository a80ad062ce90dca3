// One DSP-side pin as a module sees it: its status, its binding to a module member or
// to its own storage, and the way to announce output changes to the host.
#pragma once

#include <cstdint>

#include "KVLinkage.h"
#include "kv_abi.h"

KV_FRAME_BEGIN

class KVModule_base;

class KVPin {
  public:
    KVPin() = default;
    KVPin(const KVPin&) = delete;
    KVPin& operator=(const KVPin&) = delete;
    virtual ~KVPin() = default;

    // Ties the pin to its module, position and type; without a variable the pin's own
    // storage holds the value (DT_FSAMPLE: the buffer address the host gives).
    void Bind(KVModule_base* module, int32_t index, int32_t datatype, void* variable);

    // From sample `clock` on, the output behaves as `status` says (HOST_OUT_STATUS).
    void SendStatus(uint32_t clock, int32_t status);
    // Sets the pin to `value` at sample `clock` >= SampleClock() (HOST_PIN_AT_TIME).
    void SendAt(uint32_t clock, int32_t value);
    // HOST_PIN_QUERY answered non-zero.
    bool HostFlag();
    // A DT_FSAMPLE pin's sample at the current clock.
    float CurrentSample();
    // Frame-internal handling of EV_PIN_STATUS: the module sees `status` in OnPinUpdate,
    // and a step is still from then on.
    void ReceiveStatus(int32_t status);

    int32_t Status() const { return m_status; }
    int32_t Index() const { return m_index; }
    int32_t DataType() const { return m_datatype; }
    void* ValueAddress() const { return m_value; }

  private:
    friend class KVModule_base;

    void* m_value = nullptr;
    KVModule_base* m_module = nullptr;
    int32_t m_index = -1;  // -1: the inert pin a release build hands out for a bad PinAt
    int32_t m_status = PS_STILL;
    int32_t m_datatype = -1;
    union {
        int16_t choice;
        uint8_t on_off;
        int32_t whole;
        float real;
        float* buffer;
    } m_own{};
};

KV_FRAME_END
