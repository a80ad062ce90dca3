// ZOR Twin-Op's fixed tables and pitch arithmetic: the 100,000-entry pitch table, the
// 513-entry sine table, the phase increment of a frequency and the pitch clamp.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace twin_op {

constexpr int32_t kPitchEntries = 100000;  // entry k: the frequency of pitch value k / 100,000
constexpr int32_t kSineEntries = 513;      // playback reads entries 0 to 511
constexpr int32_t kCycle = 512 * 65536;    // a full phase cycle, 2^25
constexpr uint32_t kPhaseMask = kCycle - 1;
constexpr float kTopPitch = 0.99f;  // highest playable pitch value (9.9 V)

// Entry k = single(440 × 2^(k/10,000 − 5)), built from 10,000 powers (one per step within
// an octave) scaled by the exact power of two of the whole octaves.
void BuildPitchTable(float* table);

// Entry j = single(0.5 × sin(θ_j)), θ_0 = −π (single), θ_(j+1) = θ_j + single(2π/513), the
// running angle kept in double.
void BuildSineTable(float* table);

// The sample rate as the module uses it: truncated toward zero. Rates below 1 Hz (and
// NaN) count as 1 Hz and rates beyond the 32-bit range as the largest integer, so every
// increment stays computable.
int32_t SampleRateAsInteger(float rate);

// round(single(frequency / sample_rate × 65,536 × 512)), ties to even, reduced to one
// cycle: an increment of a whole cycle or more (a frequency at or above the sample rate)
// plays the alias it would sound as, and never carries a phase beyond the sine table.
int32_t IncrementFor(float frequency, int32_t sample_rate);

// One increment per pitch-table entry at the given rate, so a pitch change costs one
// clamp, one rounding and one table read.
void BuildIncrementTable(const float* pitch_table, int32_t sample_rate, int32_t* increments);

// The clamped pitch value an operator keeps: above 0.99 → 0.99, below 0 → 0, NaN → 0 (the
// lowest pitch rather than an undefined table index), else s, stored as single.
inline float ClampPitch(double s) {
    if (s > static_cast<double>(kTopPitch)) return kTopPitch;
    if (!(s >= 0.0)) return 0.0f;
    return static_cast<float>(s);
}

// Nearest integer, ties to even, of a float within the 32-bit range (the conversion
// instruction in its default rounding mode).
inline int32_t RoundToInt(float x) {
#if defined(__SSE__) || defined(__x86_64__)
    return _mm_cvtss_si32(_mm_set_ss(x));
#else
    return static_cast<int32_t>(std::nearbyint(x));
#endif
}

// Pitch-table index of a clamped pitch value: round(single(p × 100,000)), 0 to 99,000.
inline int32_t PitchIndex(float clamped) {
    return RoundToInt(static_cast<float>(static_cast<double>(clamped) * 100000.0));
}

}  // namespace twin_op
