// ZOR Twin-Op's fixed tables and the increment arithmetic shared by open and the pitch
// recompute.
#include "Tables.h"

#include <cmath>
#include <numbers>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twin_op {

void BuildPitchTable(float* table) {
    // 2^(k/10,000 − 5) = 2^(q − 5) × 2^(r/10,000) for k = 10,000·q + r: scaling by a power of
    // two is exact and commutes with rounding, so one power per step r serves all ten
    // octaves, and 440 × 2^(r/10,000) is rounded once before the exact octave scaling.
    // (exp2 gives the same entries as the general power, faster; a test compares all.)
    constexpr int32_t kSteps = 10000;
    constexpr int32_t kOctaves = kPitchEntries / kSteps;
    double octave[kOctaves];
    for (int32_t q = 0; q < kOctaves; ++q) octave[q] = std::ldexp(1.0, q - 5);
    for (int32_t r = 0; r < kSteps; ++r) {
        const double base = 440.0 * std::exp2(r / 10000.0);
        for (int32_t q = 0; q < kOctaves; ++q) {
            table[q * kSteps + r] = static_cast<float>(base * octave[q]);
        }
    }
}

void BuildSineTable(float* table) {
    const double step = static_cast<double>(static_cast<float>(2.0 * std::numbers::pi / 513.0));
    double angle = -static_cast<double>(static_cast<float>(std::numbers::pi));
    for (int32_t j = 0; j < kSineEntries; ++j) {
        table[j] = static_cast<float>(0.5 * std::sin(angle));
        angle += step;
    }
}

int32_t SampleRateAsInteger(float rate) {
    if (!(rate >= 1.0f)) return 1;
    if (rate >= 2147483648.0f) return INT32_MAX;
    return static_cast<int32_t>(rate);
}

int32_t IncrementFor(float frequency, int32_t sample_rate) {
    const float x = static_cast<float>(static_cast<double>(frequency) /
                                       static_cast<double>(sample_rate) * 65536.0 * 512.0);
    if (!std::isfinite(x)) return 0;
    if (std::fabs(x) < static_cast<float>(kCycle)) return RoundToInt(x);
    // A whole cycle or more: rounding commutes with removing whole cycles (2^25 is even
    // and x is a float of at least 2^25, hence an integer).
    return static_cast<int32_t>(std::fmod(static_cast<double>(x), static_cast<double>(kCycle)));
}

void BuildIncrementTable(const float* pitch_table, int32_t sample_rate, int32_t* increments) {
    // The table rises with k: when its top entry stays below one cycle every entry does,
    // and the plain rounding (a loop the compiler can vectorise) gives IncrementFor exactly.
    const double rate = static_cast<double>(sample_rate);
    const float top = static_cast<float>(static_cast<double>(pitch_table[kPitchEntries - 1]) /
                                         rate * 65536.0 * 512.0);
    if (!(top < static_cast<float>(kCycle))) {
        for (int32_t k = 0; k < kPitchEntries; ++k) {
            increments[k] = IncrementFor(pitch_table[k], sample_rate);
        }
        return;
    }
    int32_t k = 0;
#if defined(__SSE2__)
    // Four entries at a time: the same double division, exact scaling by 2^25, rounding to
    // single and conversion to the nearest integer (ties to even) as the scalar steps.
    const __m128d divisor = _mm_set1_pd(rate);
    const __m128d cycle = _mm_set1_pd(65536.0 * 512.0);
    for (; k + 4 <= kPitchEntries; k += 4) {
        const __m128 f = _mm_loadu_ps(pitch_table + k);
        const __m128d lo = _mm_mul_pd(_mm_div_pd(_mm_cvtps_pd(f), divisor), cycle);
        const __m128d hi =
            _mm_mul_pd(_mm_div_pd(_mm_cvtps_pd(_mm_movehl_ps(f, f)), divisor), cycle);
        const __m128 x = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(increments + k), _mm_cvtps_epi32(x));
    }
#endif
    for (; k < kPitchEntries; ++k) {
        increments[k] = RoundToInt(
            static_cast<float>(static_cast<double>(pitch_table[k]) / rate * 65536.0 * 512.0));
    }
}

}  // namespace twin_op
