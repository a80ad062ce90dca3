// The DSP module base: record set-up, the opcode dispatcher, process-function switching,
// event delivery and the pin table.
#include "KVModule_base.h"

#include <cstdio>
#include <cstdlib>
#include <new>

KV_FRAME_BEGIN

void kvAssertFailed(const char* message, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, message);
    std::abort();
}

KV_FRAME_END

#if KV_FRAME_REVISION >= 2230
namespace {

// One answer record per library, rewritten on every MOD_CALL_INFO.
KVCallInfo g_call_info;

}  // namespace
#endif

KVModule_base::KVModule_base(kvaudioMaster callback, void* host_reference)
    : m_callback(callback), m_process(&KVModule_base::ProcessNothing) {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.magic = KV_DSP_MAGIC;
    m_record.format = KV_RECORD_FORMAT;
    m_record.host_reference = host_reference;
    m_record.object = this;
    m_record.dispatch = &KVModule_base::DispatchEntry;
    m_record.process = reinterpret_cast<KVProcessEntry>(CodeAddress(m_process));
    m_record.event = &KVModule_base::EventEntry;
    m_inert.Bind(this, -1, -1, nullptr);
}

KVModule_base::~KVModule_base() {
    FreePinTable();
}

intptr_t KVModule_base::DispatchEntry(void* record, int32_t opcode, int32_t index, int32_t value,
                                      void* ptr, float opt) {
    if (record == nullptr) return 0;
    auto* self = static_cast<KVModule_base*>(static_cast<KVHostRecord*>(record)->object);
    return self->Dispatch(opcode, index, value, ptr, opt);
}

void KVModule_base::EventEntry(void* object, KVTimedEvent* e) {
    if (object == nullptr || e == nullptr) return;
    static_cast<KVModule_base*>(object)->OnEvent(e);
}

intptr_t KVModule_base::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                 float opt) {
    switch (opcode) {
        case MOD_OPEN:
            Open();
            return 0;
        case MOD_CLOSE:
            Close();
            delete this;
            return 1;
        case MOD_SAMPLE_RATE:
            SetSampleRate(opt);
            return 0;
        case MOD_BLOCK_SIZE:
            SetBlockSize(value);
            return 0;
        case MOD_PIN_INFO: {
            if (ptr == nullptr) return 0;
            const bool known = index >= 0 && DescribePin(index, static_cast<KVPinProperties*>(ptr));
            KV_ASSERT((((KVPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 ||
                          (((KVPinProperties*)ptr)->flags & IO_PRIVATE) != 0 ||
                          ((KVPinProperties*)ptr)->direction == DR_OUT ||
                          (((KVPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0,
                      "(((KVPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
                      "(((KVPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || "
                      "((KVPinProperties*)ptr)->direction == DR_OUT || "
                      "( ( (KVPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0");
            return known ? 1 : 0;
        }
        case MOD_OP8:
            OnOp8();
#if KV_FRAME_REVISION >= 2230
            if (index > 0) OnOp8Index(index);
#endif
            return 0;
        case MOD_OP12:
            OnOp12(value, index, ptr);
            return 0;
#if KV_FRAME_REVISION >= 2230
        case MOD_CALL_INFO:
            g_call_info.version = 1;
            g_call_info.member_size = static_cast<int32_t>(sizeof(ProcessFunction));
            g_call_info.member_offset = static_cast<int32_t>(
                reinterpret_cast<const char*>(&m_process) - reinterpret_cast<const char*>(this));
            g_call_info.abi = KV_CALL_ABI_TWO_WORD;
            return reinterpret_cast<intptr_t>(&g_call_info);
#endif
        case 7:
        case 10:
            KV_ASSERT(false, "false");
            return 0;
        default:
            return 0;
    }
}

void KVModule_base::OnPinUpdate(KVPin*) {}
void KVModule_base::Open() {
    BuildPinTable();
}
void KVModule_base::Close() {}
void KVModule_base::SetSampleRate(float rate) {
    m_sample_rate = rate;
}
void KVModule_base::SetBlockSize(int32_t size) {
    m_block_size = size;
}
float KVModule_base::SampleRate() {
    return m_sample_rate;
}
int32_t KVModule_base::BlockSize() {
    return m_block_size;
}
bool KVModule_base::DescribePin(int32_t, KVPinProperties*) {
    return false;
}
void KVModule_base::OnOp8() {}
#if KV_FRAME_REVISION >= 2230
void KVModule_base::OnOp8Index(int32_t) {}
#endif
void KVModule_base::OnMidi(uint32_t, int32_t, int16_t) {}
void KVModule_base::OnOp12(int32_t, int32_t, void*) {}
void KVModule_base::ProcessNothing(int32_t, int32_t) {}

intptr_t KVModule_base::AskHost(int32_t opcode, int32_t index, int32_t value, void* ptr,
                                float opt) {
    if (m_callback == nullptr) return 0;
    return m_callback(&m_record, opcode, index, value, ptr, opt);
}

KVPin& KVModule_base::PinAt(int32_t i) {
    KV_ASSERT(m_pins != 0, "m_pins != 0");
    if (m_pins == nullptr || i < 0 || i >= m_pin_count) return m_inert;
    return m_pins[i];
}

void KVModule_base::InstallProcess(ProcessFunction fn) {
    if (fn == m_process) return;
    m_process = fn;
    m_record.process = reinterpret_cast<KVProcessEntry>(CodeAddress(fn));
    AskHost(HOST_PROCESS_CHANGED);
}

void KVModule_base::QueueEvent(uint32_t time_stamp, int32_t kind, int32_t value, int32_t value2,
                               intptr_t extra) {
    // The clock wraps after 2^32 samples: a stamp is not before the clock when it lies less
    // than half the clock's range ahead of it.
    KV_ASSERT(static_cast<int32_t>(time_stamp - SampleClock()) >= 0,
              "p_time_stamp >= SampleClock()");
    KVTimedEvent e{time_stamp, kind, value, value2, extra, nullptr};
    AskHost(HOST_POST_EVENT, 0, 0, &e);
}

void KVModule_base::OnEvent(KVTimedEvent* e) {
    KV_ASSERT(e->time_stamp == SampleClock(), "e->time_stamp == SampleClock()");
    switch (e->kind) {
        case EV_PIN_STATUS: {
            KV_ASSERT(m_pins != 0, "m_pins != 0");
            // A pin the table does not hold is ignored rather than written through.
            if (m_pins == nullptr || e->extra < 0 || e->extra >= m_pin_count) return;
            m_pins[e->extra].ReceiveStatus(e->value);
            return;
        }
        case EV_MIDI:
            OnMidi(e->time_stamp, e->value, static_cast<int16_t>(e->value2));
            return;
        case EV_CALL: {
            if (e->extra == 0) return;
            const intptr_t words[2] = {e->extra, 0};
            CallFunction fn;
            static_assert(sizeof fn == sizeof words, "two-word member pointers expected");
            std::memcpy(&fn, words, sizeof fn);
            (this->*fn)();
            return;
        }
        default:
            return;
    }
}

// The pin table: one KVPin per DSP-side pin the host counts (KVIsDspSidePin: the current
// frame gives pins only to DSP-side descriptions; the older frame gives description d pin d).
void KVModule_base::BuildPinTable() {
    FreePinTable();
    const intptr_t asked = AskHost(HOST_PIN_COUNT);
    if (asked <= 0 || asked > INT32_MAX / 2) return;
    const int32_t n = static_cast<int32_t>(asked);
    m_pins = new (std::nothrow) KVPin[n];
    if (m_pins == nullptr) return;
    m_pin_count = n;

    KVPinProperties record;
    int32_t d = 0;
    int32_t k = 0;
    for (;; ++d) {
        std::memset(&record, 0, sizeof record);
        if (!DescribePin(d, &record) || k >= n) break;
        if (KVIsDspSidePin(record.flags, KV_FRAME_REVISION)) {
            m_pins[k].Bind(this, k, record.datatype, record.variable);
            ++k;
        }
    }
    if (d == 0) return;  // no description at all: there is no last one to repeat
    std::memset(&record, 0, sizeof record);
    if (!DescribePin(d - 1, &record)) return;
    if (!KVIsDspSidePin(record.flags, KV_FRAME_REVISION)) return;
    if ((record.flags & IO_REPEAT_LAST) == 0) return;
    for (; k < n; ++k) m_pins[k].Bind(this, k, record.datatype, nullptr);
}

void KVModule_base::FreePinTable() {
    delete[] m_pins;
    m_pins = nullptr;
    m_pin_count = 0;
}
