// Phase arithmetic the two table oscillators (ZOR Warpwave, ZOR Basic Voice) share: pitch to
// frequency, the per-sample phase increment in radians, and the sample loop itself.
#pragma once

#include <cmath>
#include <cstdint>

#include "RoundEven.h"

namespace phase_arithmetic {

inline constexpr float kTwoPi = 6.2831855f;  // 2*pi in single precision

// 440 Hz at 5 V (0.5), one octave per volt (0.1).
inline float PitchToFrequency(float p) {
    return static_cast<float>(440.0 * std::pow(2.0, 10.0 * p - 5.0));
}

// (1 / rate) * 2*pi, stored in single precision.
inline float RadiansPerHertz(float sample_rate) {
    return static_cast<float>((1.0 / sample_rate) * kTwoPi);
}

// frequency * (2*pi / rate), brought into [0, 2*pi). At sample rates at or below the
// frequency the plain product reaches 2*pi or more (and an unusable rate gives a negative or
// unordered one); the phase then advances by the same angle modulo 2*pi, which keeps the
// phase - and so every table read - inside one cycle.
inline float PhaseIncrement(float frequency, float radians_per_hertz) {
    const float inc = frequency * radians_per_hertz;
    if (inc >= 0.0f && inc < kTwoPi) return inc;
    if (!std::isfinite(inc)) return 0.0f;
    float r = std::fmod(inc, kTwoPi);
    if (r < 0.0f) r += kTwoPi;
    return (r >= 0.0f && r < kTwoPi) ? r : 0.0f;
}

// The phase and the previous sync sample, carried from one block to the next.
struct PhaseState {
    float phase = 0.0f;      // radians, [0, 2*pi)
    float last_sync = 0.0f;  // the previous sync sample
};

// The sample loop: the phase advances by `increment` and wraps; a rising sync edge (the
// previous sample below 0 or unordered, this one at or above 0) restarts it, so the sample
// the edge arrives on plays phase 0. Each sample reads the line through the table entry
// nearest `scale` * phase: base[idx] + fraction * slope[idx], the fraction in [-0.5, 0.5],
// formed in double (lines stored in single precision are widened exactly).
template <typename Line>
inline void PlayLines(float* out, const float* sync, int32_t count, const Line* base,
                      const Line* slope, float increment, float scale, PhaseState& state) {
    float phase = state.phase;
    float last_sync = state.last_sync;
    for (int32_t n = 0; n < count; ++n) {
        phase += increment;
        phase = phase >= kTwoPi ? phase - kTwoPi : phase;
        const float s = sync[n];
        phase = (!(last_sync >= 0.0f) && s >= 0.0f) ? 0.0f : phase;
        last_sync = s;
        const float b = scale * phase;
        const int32_t idx = RoundEven(b);
        const float frac = b - static_cast<float>(idx);
        out[n] = static_cast<float>(static_cast<double>(base[idx]) +
                                    static_cast<double>(frac) * static_cast<double>(slope[idx]));
    }
    state.phase = phase;
    state.last_sync = last_sync;
}

}  // namespace phase_arithmetic
