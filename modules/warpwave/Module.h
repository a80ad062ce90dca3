// ZOR Warpwave: a single-cycle table oscillator whose 128-entry table is rebuilt from one of
// eight phase-distortion shapes when the block-start depth or the Wave choice changes.
#pragma once

#include <cstdint>

#include "../shared/OffCountdown.h"
#include "../shared/PhaseArithmetic.h"
#include "KVModule_base.h"
#include "WaveTables.h"

namespace warpwave {

class Module : public KVModule_base {
  public:
    Module(kvaudioMaster callback, void* host_reference);

    void Open() override;
    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;

    // The main function: block-start control, then the sample loop (or zeros while off).
    void Process(int32_t first, int32_t count);
    // The off-state function: the main function, then the countdown to HOST_DORMANT.
    void ProcessOff(int32_t first, int32_t count);

  private:
    static constexpr int32_t kOutputPin = 5;

    void BlockStart(int32_t first);
    void Rebuild(float depth_sample);

    // Pin buffers.
    float* m_pitch = nullptr;
    float* m_sync = nullptr;
    float* m_depth = nullptr;
    float* m_output = nullptr;
    OffCountdown m_off_countdown;
    int16_t m_on_off = 1;
    // The lines playing: a warped shape's (shared), or the instance's own table's. The own
    // table holds one cycle in entries 0-127 and guard copies of entries 0 and 1 in 128
    // and 129; silence until the first build.
    const TableLines* m_lines = &m_own_lines;
    WarpedShapeCache::Handle m_shapes;
    float m_table[kTableStore] = {};
    TableLines m_own_lines = {};
    float m_last_pitch = -99.0f;  // the limited pitch the frequency was computed from
    float m_frequency = 0.0f;
    phase_arithmetic::PhaseState m_state;
    float m_increment = 0.0f;  // radians per sample, [0, 2*pi)
    float m_radians_per_hertz = 0.0f;
    float m_index_scale = 0.0f;
    int16_t m_wave = 1;
    int16_t m_built_wave = -1;
    float m_last_depth = -99.0f;  // the raw depth sample the table was last built from
    Scratch m_scratch = {};
};

}  // namespace warpwave
