// The wave material of ZOR Basic Voice: eight 256-entry base waves, for each ten
// progressively smoothed bands with their backward differences, and the bands of the listed
// waves that every instance shares.
#pragma once

#include <cstdint>

#include "../shared/SharedTables.h"

namespace basic_voice {

inline constexpr int32_t kWaveLength = 256;
inline constexpr int32_t kWaveCount = 8;    // base waves 1 to 8 (8 is not in the pin's list)
inline constexpr int32_t kListedWaves = 7;  // Sine (1) to Pulse 2 (7)
inline constexpr int32_t kRandomWave = 8;   // drawn from the random generator at open
inline constexpr int32_t kBands = 10;
// Ten bands in one flat array plus the one element the last band's pass writes beyond it.
inline constexpr int32_t kBandStore = kBands * kWaveLength + 1;

using BaseWaves = float[kWaveCount][kWaveLength];  // wave w in row w - 1

// The random generator of wave 8: x <- 214013x + 2531011 (mod 2^32), r = (x >> 16) & 0x7FFF.
int32_t NextRandom(uint32_t& state);
// Its state: starts at 1, never seeded, shared by every instance opened on the calling
// thread, so successive instances get successive stretches of the sequence.
uint32_t& SharedRandomState();

// Fills base waves 1 to 7, the same for every instance.
void BuildListedWaves(BaseWaves& waves);
// Fills wave 8 (256 entries) with 256 values drawn from `random_state`.
void BuildRandomWave(float* wave, uint32_t& random_state);
// Fills the eight base waves: both of the above.
void BuildBaseWaves(BaseWaves& waves, uint32_t& random_state);

// Box averaging: band element 256k + j (j = 0 to 256) is the mean of the 2a_k samples
// j - a_k .. j + a_k - 1 of `wave` (indices wrapping), a_k = 1, 3, 5, 7, 9, 19 ... 59.
void BoxAverage(const float* wave, float* bands);
// The smoothing pass over the averaged bands; see BuildBands.
void Smooth(float* bands, float* diffs);

// Box-averages `wave` into the ten bands, then runs the carried two-stage smoothing over
// them, writing each smoothed value to `bands` and its backward difference to `diffs`
// (both kBandStore long). diffs[0] is never written: the caller keeps it defined.
void BuildBands(const float* wave, float* bands, float* diffs);

// One wave's ten bands and their backward differences, as built.
struct WaveBands {
    float band[kBandStore];
    float diff[kBandStore];  // diff[0]: 0, a slope no build writes
};
// BuildBands of `wave` into `bands`, with diff[0] set to 0.
void BuildWaveBands(const float* wave, WaveBands& bands);

// The same values widened to double, which the sample loop reads without converting (about
// a quarter faster than reading WaveBands).
struct WaveLines {
    double band[kBandStore];
    double diff[kBandStore];
};

// The lines of the listed waves, which depend on nothing an instance sets (not even the
// sample rate): one entry, built by the first instance that opens and shared read-only by
// every instance until the last is destroyed.
struct ListedWaveLines {
    WaveLines wave[kListedWaves];  // wave w in wave[w - 1]
};
using ListedWaveCache = SharedTables<int32_t, ListedWaveLines, 1>;
ListedWaveCache& SharedListedWaves();
// Found or built; empty only when memory ran out.
ListedWaveCache::Handle AcquireListedWaves();

// The band a block-start pitch plays from: 0 below 4 V, one more per half volt, 9 from 8 V.
int32_t BandForPitch(float p);

}  // namespace basic_voice
