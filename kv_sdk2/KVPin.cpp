// DSP-side pins: binding, status handling and output announcements.
#include "KVPin.h"

#include "KVModule_base.h"

void KVPin::Bind(KVModule_base* module, int32_t index, int32_t datatype, void* variable) {
    m_module = module;
    m_index = index;
    m_datatype = datatype;
    m_status = PS_STILL;
    m_value = variable;
    m_own.buffer = nullptr;
    if (variable != nullptr || index < 0) return;
    switch (datatype) {
        case DT_CHOICE:
        case DT_SWITCH:
        case DT_REAL32:
            m_value = &m_own;
            return;
        case DT_WHOLE32:
#if KV_FRAME_REVISION >= 2230
            m_value = &m_own;
#endif
            return;
        case DT_FSAMPLE:
            m_own.buffer = reinterpret_cast<float*>(module->AskHost(HOST_PIN_BUFFER, index));
            m_value = &m_own;
            return;
        default:
            return;
    }
}

void KVPin::SendStatus(uint32_t clock, int32_t status) {
    if (m_index < 0) return;
    m_module->AskHost(HOST_OUT_STATUS, m_index, status,
                      reinterpret_cast<void*>(static_cast<uintptr_t>(clock)));
}

void KVPin::SendAt(uint32_t clock, int32_t value) {
    if (m_index < 0) return;
    // Not before the clock, which wraps (as for QueueEvent).
    KV_ASSERT(static_cast<int32_t>(clock - m_module->SampleClock()) >= 0,
              "sampleclock >= m_module->SampleClock()");
    m_module->AskHost(HOST_PIN_AT_TIME, m_index, value,
                      reinterpret_cast<void*>(static_cast<uintptr_t>(clock)));
}

bool KVPin::HostFlag() {
    if (m_index < 0) return false;
    return m_module->AskHost(HOST_PIN_QUERY, m_index) != 0;
}

float KVPin::CurrentSample() {
    if (m_index < 0) return 0.0f;  // the inert pin
    KV_ASSERT(m_datatype == DT_FSAMPLE, "m_datatype == DT_FSAMPLE");
    if (m_datatype != DT_FSAMPLE || m_value == nullptr) return 0.0f;
    const float* buffer = *static_cast<float* const*>(m_value);
    if (buffer == nullptr) return 0.0f;
    const uint32_t start = static_cast<uint32_t>(m_module->AskHost(HOST_PIN_BLOCK_START, m_index));
    const uint32_t offset = m_module->SampleClock() - start;
    // The buffer holds one block; a clock outside it has no sample to read.
    if (offset >= static_cast<uint32_t>(m_module->BlockSize())) return 0.0f;
    return buffer[offset];
}

void KVPin::ReceiveStatus(int32_t status) {
    m_status = status;
    m_module->OnPinUpdate(this);
    if (status == PS_STEP) m_status = PS_STILL;
}
