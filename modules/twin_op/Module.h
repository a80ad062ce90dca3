// ZOR Twin-Op: a two-operator FM oscillator. Two sine operators share one 512-step table
// and 32-bit fixed-point phases; operator 2, or operator 1's own last output, is added to
// operator 1's pitch.
#pragma once

#include <cstdint>

#include "../shared/OffCountdown.h"
#include "KVModule_base.h"
#include "OperatorTables.h"

namespace twin_op {

class Module : public KVModule_base {
  public:
    Module(kvaudioMaster callback, void* host_reference);

    void Open() override;
    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;

    // Block-processing functions, installed with ChooseProcessFunction.
    void ProcessFeedback(int32_t first, int32_t count);     // "1->1" and "Test"
    void ProcessTwoOperator(int32_t first, int32_t count);  // "2->1"
    void ProcessOff(int32_t first, int32_t count);

  private:
    enum Pin : int32_t { kOnOff, kAlgorithm, kOp1Pitch, kOp1Level, kOp2Pitch, kOp2Level, kOutput };
    enum Algorithm : int16_t { kOneToOne = 0, kTwoToOne = 1, kTest = 3 };

    // Installs the function `algorithm` selects; false for a value the list does not offer.
    bool ChooseAlgorithm(int16_t algorithm);

    int16_t m_on_off = 1;
    int16_t m_algorithm = kOneToOne;
    float* m_op1_pitch = nullptr;
    float* m_op1_level = nullptr;  // "OP1 FB/Level"
    float* m_op2_pitch = nullptr;
    float* m_op2_level = nullptr;
    float* m_output = nullptr;

    OffCountdown m_off_countdown;
    int32_t m_sample_rate = 44100;
    int32_t m_op1_phase = 0;
    int32_t m_op1_increment = 0;
    float m_op1_last_pitch = -99.0f;  // the clamped pitch the increment was computed from
    int32_t m_op2_phase = 0;
    int32_t m_op2_increment = 0;
    float m_op2_last_pitch = -99.0f;
    float m_op1_memory = 0.0f;  // operator 1's previous output: its feedback in "1->1"

    // The sine and increment tables of the open rate, shared with every instance at that
    // rate; read through the two pointers.
    RateTableCache::Handle m_tables;
    const float* m_sine = nullptr;
    const int32_t* m_increments = nullptr;
};

}  // namespace twin_op
