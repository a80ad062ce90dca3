// ZOR Basic Voice: a table oscillator playing one of seven waves from ten progressively
// smoothed bands, the band chosen by the block-start pitch.
#pragma once

#include <cstdint>

#include "../shared/OffCountdown.h"
#include "../shared/PhaseArithmetic.h"
#include "BandTables.h"
#include "KVModule_base.h"

namespace basic_voice {

class Module : public KVModule_base {
  public:
    Module(kvaudioMaster callback, void* host_reference);

    void Open() override;
    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;

    // The main function: block-start pitch, then the sample loop (or zeros while off).
    void Process(int32_t first, int32_t count);
    // The off-state function: the main function, then the countdown to HOST_DORMANT.
    void ProcessOff(int32_t first, int32_t count);

  private:
    static constexpr int32_t kOutputPin = 4;

    void BlockStart(int32_t first);

    float* m_pitch = nullptr;
    float m_last_pitch = -20.0f;  // the limited pitch the frequency was computed from
    float* m_sync = nullptr;
    float* m_output = nullptr;
    int16_t m_wave = 1;
    int16_t m_built_wave = -1;  // the Wave value the bands were last chosen for
    int16_t m_on_off = 1;
    float m_frequency = 0.0f;
    phase_arithmetic::PhaseState m_state;
    float m_increment = 0.0f;  // radians per sample, [0, 2*pi)
    float m_radians_per_hertz = 0.0f;
    float m_index_scale = 0.0f;
    // The lines playing: a listed wave's (shared), or silence until the first OnPinUpdate;
    // null while the instance's own wave 8 plays. A Wave change only repoints it.
    const WaveLines* m_lines;
    ListedWaveCache::Handle m_listed;
    // Wave 8's bands, from the stretch of random values drawn at open. Kept in single
    // precision: half the memory of lines, for a wave the pin's list does not offer.
    WaveBands m_random;
    int32_t m_band = 0;
    OffCountdown m_off_countdown;
};

}  // namespace basic_voice
