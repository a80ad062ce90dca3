// wy:VUDA2DU: monophonic MIDI to control voltages with last-note priority. A stack of held
// keys drives a gate, a pitch (1 V per octave, key 69 at 5 V) and a velocity output.
#pragma once

#include <bit>
#include <cstdint>

#include "../shared/OffCountdown.h"
#include "KVModule_base.h"

namespace midi_cv {

// Pitch per semitone and velocity per step, as single-precision constants (1/120, 1/127).
inline constexpr float kSemitone = std::bit_cast<float>(0x3C088889u);      // 0.008333333767950535
inline constexpr float kVelocityStep = std::bit_cast<float>(0x3C010204u);  // 0.007874015718698502
inline constexpr int32_t kMaxKeys = 64;

class Module : public KVModule_base {
  public:
    Module(kvaudioMaster callback, void* host_reference);

    void Open() override;
    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;
    void OnMidi(uint32_t clock, int32_t message, int16_t value2) override;

    // Writes the current outputs; after a block size of samples asks to go dormant.
    void ProcessOutputs(int32_t first, int32_t count);

  private:
    enum Pin : int32_t { kMidiIn, kChannel, kBendRange, kRetrigger, kGate, kPitch, kVelocity };
    struct HeldKey {
        uint8_t key;
        uint8_t velocity;
    };

    void Strike(uint32_t clock, uint8_t key, uint8_t velocity);
    void Release(uint32_t clock, uint8_t key);
    void ReleaseAll(uint32_t clock);
    void Bend(uint32_t clock, int32_t value);
    // Makes the top of the stack the sounding key, announcing what changed.
    void Sound(uint32_t clock, const HeldKey& held);
    void StartRun();

    int16_t m_channel = 0;     // 0: every channel; 1 to 16: that MIDI channel
    int16_t m_bend_range = 2;  // semitones
    int16_t m_retrigger = 0;   // 0 "On", 1 "Off"
    OffCountdown m_run;        // samples the outputs still run before dormancy
    float m_bend = 0.0f;
    float m_last_bend = 0.0f;
    float m_note_pitch = 0.0f;
    float m_last_note_pitch = 0.0f;
    float m_velocity = 0.0f;
    float m_last_velocity = 0.0f;
    float m_gate = 0.0f;
    float m_last_gate = 0.0f;
    uint8_t m_retrigger_pending = 0;  // the next gate sample written is 0.0
    float* m_gate_buffer = nullptr;
    float* m_pitch_buffer = nullptr;
    float* m_velocity_buffer = nullptr;
    HeldKey m_notes[kMaxKeys] = {};  // oldest first
    int16_t m_note_count = 0;
};

}  // namespace midi_cv
