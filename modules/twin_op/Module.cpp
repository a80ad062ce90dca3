// ZOR Twin-Op: pin table, open, algorithm switching and the three block-processing functions.
#include "Module.h"

#include "KVModuleIdentity.h"
#include "KVPinRow.h"

namespace twin_op {

namespace {

// The pins as the user sees them; defaults in volts.
constexpr KVPinRow kPins[] = {
    {"On/Off", DR_INPUT, DT_CHOICE, "1", "On=1,Off=0", 0},
    {"Algorithm", DR_INPUT, DT_CHOICE, "0", "1->1=0,2->1=1,Test=3", 0},
    {"OP1 Pitch", DR_INPUT, DT_FSAMPLE, "5", nullptr, 0},
    {"OP1 FB/Level", DR_INPUT, DT_FSAMPLE, "10", nullptr, 0},
    {"OP2 Pitch", DR_INPUT, DT_FSAMPLE, "5", nullptr, 0},
    {"OP2 Level", DR_INPUT, DT_FSAMPLE, "0", nullptr, 0},
    {"Output", DR_OUT, DT_FSAMPLE, nullptr, nullptr, 0},
};

// What an instance plays when its tables could not be allocated: silence.
RateTables g_silence;

}  // namespace

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference) {}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[] = {&m_on_off,    &m_algorithm, &m_op1_pitch, &m_op1_level,
                               &m_op2_pitch, &m_op2_level, &m_output};
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    m_sample_rate = SampleRateAsInteger(SampleRate());
    m_op1_phase = 0;
    m_op2_phase = 0;
    m_op1_last_pitch = -99.0f;
    m_op2_last_pitch = -99.0f;
    m_op1_memory = 0.0f;
    m_off_countdown.Start(BlockSize());
    m_tables = AcquireRateTables(m_sample_rate);
    const RateTables& tables = m_tables ? *m_tables.get() : g_silence;
    m_sine = tables.sine;
    m_increments = tables.increments;
    KVModule_base::Open();
    ChooseProcessFunction(&Module::ProcessOff);
}

bool Module::ChooseAlgorithm(int16_t algorithm) {
    switch (algorithm) {
        case kOneToOne:
        case kTest:
            ChooseProcessFunction(&Module::ProcessFeedback);
            return true;
        case kTwoToOne:
            ChooseProcessFunction(&Module::ProcessTwoOperator);
            return true;
        default:
            return false;
    }
}

void Module::OnPinUpdate(KVPin* pin) {
    switch (pin->Index()) {
        case kAlgorithm:
            // While off the oscillator stays silent; switching on picks the choice up.
            if (m_on_off == 1) ChooseAlgorithm(m_algorithm);
            return;
        case kOnOff:
            if (m_on_off == 1) {
                PinAt(kOutput).SendStatus(SampleClock(), PS_STREAM);
                if (!ChooseAlgorithm(m_algorithm)) ChooseProcessFunction(&Module::ProcessFeedback);
            } else {
                PinAt(kOutput).SendStatus(SampleClock(), PS_STEP);
                m_off_countdown.Start(BlockSize());
                ChooseProcessFunction(&Module::ProcessOff);
            }
            return;
        default:
            return;
    }
}

// Operator 1 alone, its previous output (scaled by "OP1 FB/Level") added to its pitch one
// sample late. The output is the bare sine.
void Module::ProcessFeedback(int32_t first, int32_t count) {
    const float* const pitch = m_op1_pitch + first;
    const float* const level = m_op1_level + first;
    float* const out = m_output + first;
    const float* const sine = m_sine;
    const int32_t* const increments = m_increments;

    uint32_t phase = static_cast<uint32_t>(m_op1_phase);
    int32_t increment = m_op1_increment;
    float last_pitch = m_op1_last_pitch;
    float memory = m_op1_memory;
    for (int32_t n = 0; n < count; ++n) {
        const double s = static_cast<double>(memory) + static_cast<double>(pitch[n]);
        if (s != static_cast<double>(last_pitch)) {
            last_pitch = ClampPitch(s);
            increment = increments[PitchIndex(last_pitch)];
        }
        // Increments stay below one cycle, so the mask is the one-cycle wrap.
        phase = (phase + static_cast<uint32_t>(increment)) & kPhaseMask;
        const float v = sine[phase >> 16];
        memory = v * level[n];  // the exact product rounded once, as in double
        out[n] = v;
    }
    m_op1_phase = static_cast<int32_t>(phase);
    m_op1_increment = increment;
    m_op1_last_pitch = last_pitch;
    m_op1_memory = memory;
}

// Operator 2's sine, scaled by "OP2 Level", added to operator 1's pitch; operator 1's sine
// scaled by "OP1 FB/Level" is the output.
void Module::ProcessTwoOperator(int32_t first, int32_t count) {
    const float* const pitch1 = m_op1_pitch + first;
    const float* const level1 = m_op1_level + first;
    const float* const pitch2 = m_op2_pitch + first;
    const float* const level2 = m_op2_level + first;
    float* const out = m_output + first;
    const float* const sine = m_sine;
    const int32_t* const increments = m_increments;

    uint32_t phase1 = static_cast<uint32_t>(m_op1_phase);
    int32_t increment1 = m_op1_increment;
    float last_pitch1 = m_op1_last_pitch;
    uint32_t phase2 = static_cast<uint32_t>(m_op2_phase);
    int32_t increment2 = m_op2_increment;
    float last_pitch2 = m_op2_last_pitch;
    float y = m_op1_memory;
    for (int32_t n = 0; n < count; ++n) {
        const float p2 = pitch2[n];
        if (p2 != last_pitch2) {
            last_pitch2 = ClampPitch(p2);
            increment2 = increments[PitchIndex(last_pitch2)];
        }
        phase2 = (phase2 + static_cast<uint32_t>(increment2)) & kPhaseMask;
        // sine × level is exact in double; the sum is formed in double.
        const double m = static_cast<double>(sine[phase2 >> 16]) * static_cast<double>(level2[n]);
        const double s = m + static_cast<double>(pitch1[n]);
        if (s != static_cast<double>(last_pitch1)) {
            last_pitch1 = ClampPitch(s);
            increment1 = increments[PitchIndex(last_pitch1)];
        }
        phase1 = (phase1 + static_cast<uint32_t>(increment1)) & kPhaseMask;
        y = sine[phase1 >> 16] * level1[n];
        out[n] = y;
    }
    m_op1_phase = static_cast<int32_t>(phase1);
    m_op1_increment = increment1;
    m_op1_last_pitch = last_pitch1;
    m_op2_phase = static_cast<int32_t>(phase2);
    m_op2_increment = increment2;
    m_op2_last_pitch = last_pitch2;
    m_op1_memory = y;
}

// Silence; once a block size of samples has passed, the host may stop calling.
void Module::ProcessOff(int32_t first, int32_t count) {
    float* const out = m_output + first;
    for (int32_t n = 0; n < count; ++n) out[n] = 0.0f;
    if (m_off_countdown.Spend(count)) AskHost(HOST_DORMANT);
}

}  // namespace twin_op

const KVModuleIdentity kvModuleIdentity = {
    .name = "ZOR Twin-Op",
    .id = "ZOR Twin-Op",
    .about =
        "ZOR Twin-Op version 1.0, a two-operator FM oscillator by ZOR\n"
        "\n"
        "Pitch : 0.0v ~ 10.0v",
    .sets_flags = false,
    .flags = 0,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<twin_op::Module>,
    .make_gui = nullptr,
};
