// ZOR Twin-Op's tables and pitch arithmetic: the 100,000-entry pitch table, the 513-entry
// sine table, the phase increment of a frequency, the pitch clamp, and the increment and
// sine tables of one sample rate that every instance at that rate shares.
#pragma once

#include <cstdint>

#include "../shared/RoundEven.h"
#include "../shared/SharedTables.h"

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

// One increment per pitch-table entry at the given rate, IncrementFor of each entry, so a
// pitch change costs one clamp, one rounding and one table read. The pitch table is formed
// a stretch at a time on the way and not kept.
void BuildIncrementTable(int32_t sample_rate, int32_t* increments);

// What the oscillator reads at one sample rate; shared read-only by every instance
// opened at that rate.
struct RateTables {
    float sine[kSineEntries];
    int32_t increments[kPitchEntries];  // increment of each pitch-table entry at the rate
};
using RateTableCache = SharedTables<int32_t, RateTables>;

// The process's tables by integer sample rate.
RateTableCache& SharedRateTables();
// The tables of `sample_rate`, found or built; empty only when memory ran out.
RateTableCache::Handle AcquireRateTables(int32_t sample_rate);

// The clamped pitch value an operator keeps: above 0.99 → 0.99, below 0 → 0, NaN → 0 (the
// lowest pitch rather than an undefined table index), else s, stored as single.
inline float ClampPitch(double s) {
    if (s > static_cast<double>(kTopPitch)) return kTopPitch;
    if (!(s >= 0.0)) return 0.0f;
    return static_cast<float>(s);
}

// Pitch-table index of a clamped pitch value: round(single(p × 100,000)), 0 to 99,000.
inline int32_t PitchIndex(float clamped) {
    return RoundEven(static_cast<float>(static_cast<double>(clamped) * 100000.0));
}

}  // namespace twin_op
