// ZOR Basic Voice's DSP side: pins, every wave's bands made ready at open, block-start pitch
// and band choice, the sample loop, on/off and dormancy.
#include "Module.h"

#include "KVModuleIdentity.h"
#include "KVPinRow.h"
#include "Oscillator.h"

namespace basic_voice {

namespace {

// The pins as the user sees them.
constexpr KVPinRow kPins[] = {
    {"Pitch", DR_INPUT, DT_FSAMPLE, "5", nullptr, 0},
    {"Sync", DR_INPUT, DT_FSAMPLE, "0", nullptr, 0},
    {"Wave", DR_INPUT, DT_CHOICE, "1",
     "Sine=1,Saw=2,Ramp=3,Triangle=4,Square=5,Pulse 1=6,Pulse 2=7", 0},
    {"On/Off", DR_INPUT, DT_CHOICE, "1", "On=1,Off=0", 0},
    {"Output", DR_OUT, DT_FSAMPLE, "0", nullptr, 0},
};

// Silence, with a zero slope: what plays before the first OnPinUpdate (and instead of a
// listed wave whose bands could not be allocated).
WaveLines g_silence;

}  // namespace

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference), m_lines(&g_silence) {}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[] = {&m_pitch, &m_sync, &m_wave, &m_on_off, &m_output};
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    const float rate = SampleRate();
    m_radians_per_hertz = RadiansPerHertz(rate);
    m_index_scale = kIndexScale;
    m_state = {};
    m_last_pitch = -20.0f;
    m_built_wave = -1;
    // Every wave's bands are ready before the first block: the listed ones shared, wave
    // 8's drawn and built now (the draw advances the thread's generator as ever).
    m_listed = AcquireListedWaves();
    float random_wave[kWaveLength];
    BuildRandomWave(random_wave, SharedRandomState());
    BuildWaveBands(random_wave, m_random);
    m_off_countdown.Start(BlockSize());
    KVModule_base::Open();
    ChooseProcessFunction(&Module::ProcessOff);
}

void Module::OnPinUpdate(KVPin*) {
    if (m_wave != m_built_wave) {
        m_built_wave = m_wave;
        // Only waves 1 to 8 exist; any other value keeps the bands as they are.
        if (m_wave >= 1 && m_wave <= kListedWaves) {
            m_lines = m_listed ? &m_listed.get()->wave[m_wave - 1] : &g_silence;
        } else if (m_wave == kRandomWave) {
            m_lines = nullptr;
        }
    }
    if (m_on_off == 1) {
        PinAt(kOutputPin).SendStatus(SampleClock(), PS_STREAM);
        ChooseProcessFunction(&Module::Process);
    } else {
        m_off_countdown.Start(BlockSize());
        ChooseProcessFunction(&Module::ProcessOff);
    }
}

// The pitch is looked at on the block's first sample only; an unordered comparison counts
// as "unchanged". The band follows the pitch before the limit, the frequency after it.
void Module::BlockStart(int32_t first) {
    const float p = m_pitch[first];
    if (p < m_last_pitch || p > m_last_pitch) {
        m_band = BandForPitch(p);
        const float limited = p > kPitchLimit ? kPitchLimit : p;
        m_last_pitch = limited;
        m_frequency = PitchToFrequency(limited);
        m_increment = PhaseIncrement(m_frequency, m_radians_per_hertz);
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
    // The backward difference serves both signs of the fraction.
    const int32_t at = m_band * kWaveLength;
    if (m_lines != nullptr) {
        PlayLines(out, m_sync + first, count, m_lines->band + at, m_lines->diff + at, m_increment,
                  m_index_scale, m_state);
    } else {
        PlayLines(out, m_sync + first, count, m_random.band + at, m_random.diff + at, m_increment,
                  m_index_scale, m_state);
    }
}

void Module::ProcessOff(int32_t first, int32_t count) {
    Process(first, count);
    if (m_off_countdown.Spend(count)) AskHost(HOST_DORMANT);
}

}  // namespace basic_voice

const KVModuleIdentity kvModuleIdentity = {
    .name = "ZOR Basic Voice",
    .id = "ZOR Basic Voice",
    .about =
        "ZOR Basic Voice\n"
        "Written by the ZOR module workshop\n"
        "zor-modules.example\n"
        "Basic Wave Oscillator\n"
        "\n"
        "Smoothed band tables by the ZOR module workshop\n"
        "\n"
        "Sync - Restarts Waveform on VC Rising\n"
        "On/Off - Oscillator On/Off\n"
        "\n"
        "\n"
        "Warning: high voltage inside!\n"
        "No user-serviceable parts inside.\n",
    .sets_flags = false,
    .flags = 0,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<basic_voice::Module>,
    .make_gui = nullptr,
};
