// wy:VUDA2DU: pin table, the MIDI dispatch, the key stack and the output run.
#include "Module.h"

#include <bit>

#include "KVModuleIdentity.h"
#include "KVPinRow.h"

namespace midi_cv {

namespace {

// The pins as the user sees them.
constexpr KVPinRow kPins[] = {
    {"MIDI In", DR_INPUT, DT_MIDI_STREAM, nullptr, nullptr, 0},
    {"Channel", DR_INPUT, DT_CHOICE, "0", "All,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", 0},
    {"Bend Range", DR_INPUT, DT_CHOICE, "2", "range 0,12", 0},
    {"Retrigger", DR_INPUT, DT_CHOICE, "0", "On,Off", 0},
    {"Gate", DR_OUT, DT_FSAMPLE, nullptr, nullptr, 0},
    {"Pitch", DR_OUT, DT_FSAMPLE, nullptr, nullptr, 0},
    {"Velocity", DR_OUT, DT_FSAMPLE, nullptr, nullptr, 0},
};

// Values differ when their bit patterns do.
bool Differs(float a, float b) {
    return std::bit_cast<uint32_t>(a) != std::bit_cast<uint32_t>(b);
}

float KeyPitch(int32_t key) {
    return static_cast<float>(static_cast<double>(key - 69) * static_cast<double>(kSemitone) + 0.5);
}

float KeyVelocity(int32_t velocity) {
    return static_cast<float>(static_cast<double>(velocity) * static_cast<double>(kVelocityStep));
}

}  // namespace

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference) {}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[] = {nullptr,        &m_channel,      &m_bend_range,     &m_retrigger,
                               &m_gate_buffer, &m_pitch_buffer, &m_velocity_buffer};
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    KVModule_base::Open();
    m_run.Start(BlockSize());
    ChooseProcessFunction(&Module::ProcessOutputs);
    m_gate = 0.0f;
    m_last_gate = 0.0f;
    m_note_count = 0;
    m_last_note_pitch = 0.0f;
    m_retrigger_pending = 0;
    m_note_pitch = 0.0f;
    m_last_velocity = 0.0f;
    m_velocity = 0.0f;
    m_last_bend = 0.0f;
    m_bend = 0.0f;
}

void Module::OnPinUpdate(KVPin* pin) {
    // A new channel drops whatever the old one held.
    if (pin->Index() == kChannel) ReleaseAll(SampleClock());
}

void Module::OnMidi(uint32_t clock, int32_t message, int16_t) {
    const int32_t status = message & 0xFF;
    const int32_t d1 = (message >> 8) & 0xFF;
    const int32_t d2 = (message >> 16) & 0xFF;
    const int32_t type = status & 0xF0;
    if (type == 0xF0) return;
    if (m_channel != 0 && (status & 0x0F) != m_channel - 1) return;
    switch (type) {
        case 0x80:
            Release(clock, static_cast<uint8_t>(d1));
            return;
        case 0x90:
            Strike(clock, static_cast<uint8_t>(d1), static_cast<uint8_t>(d2));
            return;
        case 0xB0:
            if ((d1 == 120 && d2 == 0) || d1 >= 123) ReleaseAll(clock);
            return;
        case 0xE0:
            Bend(clock, (d2 << 7) | d1);
            return;
        default:
            return;
    }
}

void Module::StartRun() {
    m_run.Start(BlockSize());
    ChooseProcessFunction(&Module::ProcessOutputs);
}

void Module::Sound(uint32_t clock, const HeldKey& held) {
    m_note_pitch = KeyPitch(held.key);
    if (Differs(m_note_pitch, m_last_note_pitch)) PinAt(kPitch).SendStatus(clock, PS_STEP);
    m_last_note_pitch = m_note_pitch;
    m_velocity = KeyVelocity(held.velocity);
    if (Differs(m_velocity, m_last_velocity)) PinAt(kVelocity).SendStatus(clock, PS_STEP);
    m_last_velocity = m_velocity;
}

void Module::Strike(uint32_t clock, uint8_t key, uint8_t velocity) {
    if (m_note_count < 0 || m_note_count >= kMaxKeys) return;
    m_notes[m_note_count] = HeldKey{key, velocity};
    ++m_note_count;

    m_gate = 1.0f;
    if (Differs(m_gate, m_last_gate)) {
        PinAt(kGate).SendStatus(clock, PS_STEP);
    } else if (m_retrigger == 0) {
        // A key struck over a held one reopens the gate: one sample at 0.0.
        PinAt(kGate).SendStatus(clock, PS_STEP);
        PinAt(kGate).SendStatus(clock + 1, PS_STEP);
        m_retrigger_pending = 1;
    }
    m_last_gate = m_gate;
    Sound(clock, m_notes[m_note_count - 1]);
    StartRun();
}

void Module::Release(uint32_t clock, uint8_t key) {
    if (m_note_count == 1 && m_notes[0].key == key) {
        ReleaseAll(clock);
        return;
    }
    if (m_note_count < 2 || m_note_count > kMaxKeys) return;
    const int32_t top = m_note_count - 1;
    int32_t found = 0;
    while (found <= top && m_notes[found].key != key) ++found;
    if (found > top) return;  // not held
    for (int32_t i = found; i < top; ++i) m_notes[i] = m_notes[i + 1];
    --m_note_count;
    if (found < top) return;  // an older key: the sounding one stays
    Sound(clock, m_notes[top - 1]);
    StartRun();
}

void Module::ReleaseAll(uint32_t clock) {
    m_gate = 0.0f;
    m_note_count = 0;
    if (Differs(m_gate, m_last_gate)) {
        PinAt(kGate).SendStatus(clock, PS_STEP);
        StartRun();
    }
    m_last_gate = m_gate;
}

void Module::Bend(uint32_t clock, int32_t value) {
    const double range = static_cast<double>(m_bend_range) * static_cast<double>(kSemitone);
    m_bend = static_cast<float>(static_cast<double>(value - 8192) * range * 0.0001220703125);
    if (Differs(m_bend, m_last_bend)) {
        PinAt(kPitch).SendStatus(clock, PS_STEP);
        StartRun();
    }
    m_last_bend = m_bend;
}

void Module::ProcessOutputs(int32_t first, int32_t count) {
    float* const gate = m_gate_buffer + first;
    float* const pitch = m_pitch_buffer + first;
    float* const velocity = m_velocity_buffer + first;
    const float g = m_gate;
    const float p =
        static_cast<float>(static_cast<double>(m_note_pitch) + static_cast<double>(m_bend));
    const float v = m_velocity;

    // A retrigger's gap: one sample with the gate at 0.0, which does not count against the
    // run.
    const int32_t gap = m_retrigger_pending != 0 && count > 0 ? 1 : 0;
    if (gap != 0) {
        gate[0] = 0.0f;
        pitch[0] = p;
        velocity[0] = v;
        m_retrigger_pending = 0;
    }
    for (int32_t n = gap; n < count; ++n) {
        gate[n] = g;
        pitch[n] = p;
        velocity[n] = v;
    }
    if (m_run.Spend(count - gap)) AskHost(HOST_DORMANT);
}

}  // namespace midi_cv

const KVModuleIdentity kvModuleIdentity = {
    .name = "wy:VUDA2DU",
    .id = "wy:VUDA2DU",
    .about = "",
    .sets_flags = false,
    .flags = 0,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<midi_cv::Module>,
    .make_gui = nullptr,
};
