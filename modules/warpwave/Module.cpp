// ZOR Warpwave's DSP side: pins, block-start control, the sample loop, on/off and dormancy.
#include "Module.h"

#include "KVModuleIdentity.h"
#include "KVPinRow.h"
#include "Oscillator.h"

namespace warpwave {

namespace {

// The pins as the user sees them.
constexpr KVPinRow kPins[] = {
    {"On/Off", DR_INPUT, DT_CHOICE, "1", "On=1,Off=0", 0},
    {"Wave", DR_INPUT, DT_CHOICE, "1",
     "Saw=1,Square=2,Square-Saw=3,Dbl-ResSine=4,Reso1=5,Reso2=6,Reso3=7,Reso4=8", 0},
    {"Pitch", DR_INPUT, DT_FSAMPLE, "5", nullptr, 0},
    {"Sync", DR_INPUT, DT_FSAMPLE, "0", nullptr, 0},
    {"Modulation Depth", DR_INPUT, DT_FSAMPLE, "0", nullptr, 0},
    {"Output", DR_OUT, DT_FSAMPLE, nullptr, nullptr, 0},
};

}  // namespace

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference) {}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[] = {&m_on_off, &m_wave, &m_pitch, &m_sync, &m_depth, &m_output};
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    const float rate = SampleRate();
    m_index_scale = kIndexScale;
    m_state = {};
    m_last_pitch = -99.0f;
    m_last_depth = -99.0f;
    m_built_wave = -1;
    m_radians_per_hertz = RadiansPerHertz(rate);
    m_shapes = AcquireWarpedShapes();
    m_off_countdown.Start(BlockSize());
    KVModule_base::Open();
    ChooseProcessFunction(&Module::Process);
}

void Module::OnPinUpdate(KVPin*) {
    if (m_on_off == 1) {
        PinAt(kOutputPin).SendStatus(SampleClock(), PS_STREAM);
        ChooseProcessFunction(&Module::Process);
    } else {
        m_off_countdown.Start(BlockSize());
        ChooseProcessFunction(&Module::ProcessOff);
    }
}

void Module::Rebuild(float depth_sample) {
    // Depth 0 to 1; below 0 or unordered is 0.
    float m = depth_sample > 1.0f ? 1.0f : depth_sample;
    if (!(m >= 0.0f)) m = 0.0f;
    if (m_wave >= 1 && m_wave <= kWarpedWaves && m_shapes) {
        m_lines = &m_shapes.get()->shape[m_wave - 1][WarpFor(m).a];
        return;
    }
    // Waves 4 to 8 are built into the instance's own table; a value outside 1 to 8 builds
    // nothing, and the table playing stays.
    if (!BuildTable(m_wave, m, m_scratch, m_table)) return;
    FormLines(m_table, m_own_lines);
    m_lines = &m_own_lines;
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
    // The line through entries idx and idx + 1, extended backward for a negative fraction;
    // idx + 1 reaches the guard entries.
    PlayLines(out, m_sync + first, count, m_lines->base, m_lines->slope, m_increment, m_index_scale,
              m_state);
}

void Module::ProcessOff(int32_t first, int32_t count) {
    Process(first, count);
    if (m_off_countdown.Spend(count)) AskHost(HOST_DORMANT);
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
