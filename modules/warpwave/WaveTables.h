// The phase-distortion wave tables of ZOR Warpwave: eight shapes built from the parabolic
// sine read through a warped phase, optionally with a windowed resonance on top.
#pragma once

#include <cstdint>

namespace warpwave {

inline constexpr int32_t kTableSize = 128;              // entries in one cycle
inline constexpr int32_t kTableStore = kTableSize + 2;  // plus the two guard entries

// Single-precision angle constants the builder and the oscillator share.
inline constexpr float kHalfPi = 1.5707964f;
inline constexpr float kPi = 3.1415927f;
inline constexpr float kThreeHalfPi = 4.712389f;
inline constexpr float kTwoPi = 6.2831855f;
inline constexpr float kTwoOverPi = 0.63661975f;
inline constexpr float kEntryStep = 0.049087387f;  // 2*pi / 128

// The lowest and highest Wave values that build a table.
inline constexpr int32_t kFirstWave = 1;
inline constexpr int32_t kLastWave = 8;

// Segment lengths and phase steps of the warped shapes for one depth m in [0, 1].
struct Warp {
    int32_t a;  // m * 9.2 * 3.2, truncated
    int32_t i;  // 32 - a: entries of one fast quarter-cycle
    float s;    // (pi/2) / i: phase step inside a fast quarter-cycle
    int32_t n;  // 2a + 64: entries of the saw's slow half-cycle
    float s2;   // pi / n: phase step inside the slow half-cycle
};
Warp WarpFor(float m);

// The parabolic sine: exact at multiples of pi/2, the end branches continuing their
// parabolas outside [0, 2*pi]. Rounded to single precision.
float ParabolicSine(double e);

// The resonance component: a parabolic sine of 2*pi / (128 - 115.2m) per entry that
// restarts each of its own cycles, under a window falling from 1 by 1/128 per entry.
void BuildResonance(float m, float* resonance /* kTableSize */);

// Scratch storage a build needs; it lives inside the module, so a build allocates nothing.
struct Scratch {
    float sine[kTableSize];
    float resonance[kTableSize];
};

// Builds wave `wave` (1 to 8) with depth `m` (already limited to [0, 1]) into entries
// 0-127 of `table`, then copies entries 0 and 1 to the guard entries 128 and 129. Any other
// wave builds nothing (the guard copy still runs). Answers whether a wave was built.
bool BuildTable(int32_t wave, float m, Scratch& scratch, float* table /* kTableStore */);

}  // namespace warpwave
