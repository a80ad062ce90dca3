// The phase-distortion wave tables of ZOR Warpwave: eight shapes built from the parabolic
// sine read through a warped phase, optionally with a windowed resonance on top.
#pragma once

#include <cstdint>

#include "../shared/SharedTables.h"

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

// The Warp of a = `steps` (0 to 29): i, s, n and s2 follow from a alone.
Warp WarpOfSteps(int32_t steps);

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

// The warped shapes without resonance, waves 1 to 3 ("Saw", "Square", "Square-Saw"),
// depend on the depth only through a: BuildTable's entries 0-127 for `wave` and `w`.
inline constexpr int32_t kWarpedWaves = 3;
inline constexpr int32_t kWarpSteps = 30;  // a = 0 to 29
void BuildWarpedShape(int32_t wave, const Warp& w, Scratch& scratch, float* table);

// The table as the sample loop reads it: the line through entries k and k + 1, halved,
// 0.5·T[k] and 0.5·(T[k+1] − T[k]) (scaling by 0.5 is exact, so the samples are those of
// the formula 0.5 × (T[idx] + frac × (T[idx+1] − T[idx])) itself).
struct TableLines {
    double base[kTableStore - 1];
    double slope[kTableStore - 1];
};
void FormLines(const float* table /* kTableStore */, TableLines& lines);

// Every warped shape at every a, as lines: one entry that depends on nothing an instance
// sets, built by the first instance that opens and shared read-only by all of them, so a
// depth change on waves 1 to 3 costs no build.
struct WarpedShapes {
    TableLines shape[kWarpedWaves][kWarpSteps];  // wave w, a in shape[w - 1][a]
};
using WarpedShapeCache = SharedTables<int32_t, WarpedShapes, 1>;
WarpedShapeCache& SharedWarpedShapes();
// Found or built; empty only when memory ran out.
WarpedShapeCache::Handle AcquireWarpedShapes();

}  // namespace warpwave
