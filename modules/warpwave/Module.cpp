// ZOR Warpwave's DSP side: pins, block-start control, the sample loop, on/off and dormancy.
#include "Module.h"

#include "KVModuleIdentity.h"
#include "Oscillator.h"

namespace warpwave {

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference) {}

bool Module::DescribePin(int32_t index, KVPinProperties* p) {
    switch (index) {
        case 0:
            p->name = "On/Off";
            p->direction = DR_INPUT;
            p->datatype = DT_CHOICE;
            p->default_value = "1";
            p->choices = "On=1,Off=0";
            p->variable = &m_on_off;
            return true;
        case 1:
            p->name = "Wave";
            p->direction = DR_INPUT;
            p->datatype = DT_CHOICE;
            p->default_value = "1";
            p->choices =
                "Saw=1,Square=2,Square-Saw=3,Dbl-ResSine=4,Reso1=5,Reso2=6,Reso3=7,Reso4=8";
            p->variable = &m_wave;
            return true;
        case 2:
            p->name = "Pitch";
            p->direction = DR_INPUT;
            p->datatype = DT_FSAMPLE;
            p->default_value = "5";
            p->variable = &m_pitch;
            return true;
        case 3:
            p->name = "Sync";
            p->direction = DR_INPUT;
            p->datatype = DT_FSAMPLE;
            p->default_value = "0";
            p->variable = &m_sync;
            return true;
        case 4:
            p->name = "Modulation Depth";
            p->direction = DR_INPUT;
            p->datatype = DT_FSAMPLE;
            p->default_value = "0";
            p->variable = &m_depth;
            return true;
        case 5:
            p->name = "Output";
            p->direction = DR_OUT;
            p->datatype = DT_FSAMPLE;
            p->variable = &m_output;
            return true;
        default:
            return false;
    }
}

void Module::Open() {
    const float rate = SampleRate();
    m_index_scale = kIndexScale;
    m_phase = 0.0f;
    m_last_pitch = -99.0f;
    m_last_depth = -99.0f;
    m_last_sync = 0.0f;
    m_built_wave = -1;
    m_radians_per_hertz = RadiansPerHertz(rate);
    m_off_countdown = BlockSize();
    KVModule_base::Open();
    ChooseProcessFunction(&Module::Process);
}

void Module::OnPinUpdate(KVPin*) {
    if (m_on_off == 1) {
        PinAt(kOutputPin).SendStatus(SampleClock(), PS_STREAM);
        ChooseProcessFunction(&Module::Process);
    } else {
        m_off_countdown = BlockSize();
        ChooseProcessFunction(&Module::ProcessOff);
    }
}

void Module::Rebuild(float depth_sample) {
    // Depth 0 to 1; below 0 or unordered is 0.
    float m = depth_sample > 1.0f ? 1.0f : depth_sample;
    if (!(m >= 0.0f)) m = 0.0f;
    BuildTable(m_wave, m, m_scratch, m_table);
    for (int32_t k = 0; k < kTableStore - 1; ++k) {
        const double t0 = m_table[k];
        const double t1 = m_table[k + 1];
        m_line_base[k] = 0.5 * t0;
        m_line_slope[k] = 0.5 * (t1 - t0);
    }
}

// Pitch, depth and wave are looked at on the block's first sample only. An unordered
// comparison counts as "unchanged".
void Module::BlockStart(int32_t first) {
    const float p = m_pitch[first];
    if (p < m_last_pitch || p > m_last_pitch) {
        const float limited = p > kPitchLimit ? kPitchLimit : p;
        m_last_pitch = limited;
        m_frequency = PitchToFrequency(limited);
        m_increment = PhaseIncrement(m_frequency, m_radians_per_hertz);
    }
    const float d = m_depth[first];
    if (d < m_last_depth || d > m_last_depth) {
        m_last_depth = d;
        Rebuild(d);
    }
    if (m_wave != m_built_wave) {
        m_built_wave = m_wave;
        Rebuild(d);
    }
}

void Module::Process(int32_t first, int32_t count) {
    if (count <= 0) return;
    BlockStart(first);
    float* const out = m_output + first;
    if (m_on_off != 1) {
        for (int32_t n = 0; n < count; ++n) out[n] = 0.0f;
        return;
    }
    const float* const sync = m_sync + first;
    const double* const base = m_line_base;
    const double* const slope = m_line_slope;
    const float increment = m_increment;
    const float scale = m_index_scale;
    float phase = m_phase;
    float last_sync = m_last_sync;
    for (int32_t n = 0; n < count; ++n) {
        phase += increment;
        phase = phase >= kTwoPi ? phase - kTwoPi : phase;
        // Hard sync on a rising edge: the sample the edge arrives on plays entry 0.
        const float s = sync[n];
        phase = (!(last_sync >= 0.0f) && s >= 0.0f) ? 0.0f : phase;
        last_sync = s;
        const float b = scale * phase;  // [0, 128]
        const int32_t idx = RoundEven(b);
        const float frac = b - static_cast<float>(idx);  // [-0.5, 0.5]
        // The line through entries idx and idx + 1, extended backward for a negative
        // fraction; idx + 1 reaches the guard entries.
        out[n] = static_cast<float>(base[idx] + frac * slope[idx]);
    }
    m_phase = phase;
    m_last_sync = last_sync;
}

void Module::ProcessOff(int32_t first, int32_t count) {
    Process(first, count);
    // Counted down to 0 and held there, so that it never wraps however long the module
    // stays off.
    if (count > 0) m_off_countdown = m_off_countdown > count ? m_off_countdown - count : 0;
    if (m_off_countdown <= 0) AskHost(HOST_DORMANT);
}

}  // namespace warpwave

const KVModuleIdentity kvModuleIdentity = {
    .name = "ZOR Warpwave",
    .id = "ZOR Warpwave",
    .about =
        "ZOR Warpwave - phase-distortion oscillator\n"
        "v1.0 - eight warped-phase shapes with resonance\n"
        "\n"
        "Pitch = 1Volt/Octave\n"
        "Sync = 0Volt/Rising\n"
        "ModDepth = 0-10v\n",
    .sets_flags = false,
    .flags = 0,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<warpwave::Module>,
    .make_gui = nullptr,
};
