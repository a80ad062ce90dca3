// ZOR Twin-Op's fixed tables, the increment arithmetic shared by open and the pitch
// recompute, and the process's tables by sample rate.
#include "OperatorTables.h"

#include <cmath>
#include <numbers>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twin_op {

namespace {

constexpr int32_t kSteps = 10000;  // pitch-table entries per octave (one volt)
constexpr int32_t kOctaves = kPitchEntries / kSteps;
constexpr int32_t kTile = 200;  // steps within an octave formed at a time
static_assert(kSteps % kTile == 0 && kTile % 4 == 0);

// Pitch-table entries q·10,000 + r for r in [first, first + kTile) of every octave q, into
// out[q·kTile + r − first]. 2^(k/10,000 − 5) = 2^(q − 5) × 2^(r/10,000): scaling by a power
// of two is exact and commutes with rounding, so one power per step r serves all ten
// octaves, and 440 × 2^(r/10,000) is rounded once before the exact octave scaling. (exp2
// gives the same entries as the general power, faster; a test compares all.)
void PitchTile(int32_t first, float* out) {
    double octave[kOctaves];
    for (int32_t q = 0; q < kOctaves; ++q) octave[q] = std::ldexp(1.0, q - 5);
    for (int32_t j = 0; j < kTile; ++j) {
        const double base = 440.0 * std::exp2((first + j) / 10000.0);
        for (int32_t q = 0; q < kOctaves; ++q)
            out[q * kTile + j] = static_cast<float>(base * octave[q]);
    }
}

// IncrementFor of kTile rising pitch-table entries.
void Increments(const float* pitch, int32_t sample_rate, int32_t* increments) {
    // When the top entry stays below one cycle every entry does, and the plain rounding gives
    // IncrementFor exactly.
    const double rate = static_cast<double>(sample_rate);
    const float top =
        static_cast<float>(static_cast<double>(pitch[kTile - 1]) / rate * 65536.0 * 512.0);
    if (!(top < static_cast<float>(kCycle))) {
        for (int32_t k = 0; k < kTile; ++k) increments[k] = IncrementFor(pitch[k], sample_rate);
        return;
    }
#if defined(__SSE2__)
    // Four entries at a time: the same double division, exact scaling by 2^25, rounding to
    // single and conversion to the nearest integer (ties to even) as the scalar steps.
    const __m128d divisor = _mm_set1_pd(rate);
    const __m128d cycle = _mm_set1_pd(65536.0 * 512.0);
    for (int32_t k = 0; k < kTile; k += 4) {
        const __m128 f = _mm_loadu_ps(pitch + k);
        const __m128d lo = _mm_mul_pd(_mm_div_pd(_mm_cvtps_pd(f), divisor), cycle);
        const __m128d hi =
            _mm_mul_pd(_mm_div_pd(_mm_cvtps_pd(_mm_movehl_ps(f, f)), divisor), cycle);
        const __m128 x = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(increments + k), _mm_cvtps_epi32(x));
    }
#else
    for (int32_t k = 0; k < kTile; ++k) {
        increments[k] =
            RoundEven(static_cast<float>(static_cast<double>(pitch[k]) / rate * 65536.0 * 512.0));
    }
#endif
}

// The cache is a plain object of static storage that no exit handler tears down.
constinit RateTableCache g_rate_tables;
static_assert(std::is_trivially_destructible_v<RateTableCache>);

}  // namespace

void BuildPitchTable(float* table) {
    float tile[kOctaves * kTile];
    for (int32_t first = 0; first < kSteps; first += kTile) {
        PitchTile(first, tile);
        for (int32_t q = 0; q < kOctaves; ++q) {
            for (int32_t j = 0; j < kTile; ++j) table[q * kSteps + first + j] = tile[q * kTile + j];
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
    if (std::fabs(x) < static_cast<float>(kCycle)) return RoundEven(x);
    // A whole cycle or more: rounding commutes with removing whole cycles (2^25 is even
    // and x is a float of at least 2^25, hence an integer).
    return static_cast<int32_t>(std::fmod(static_cast<double>(x), static_cast<double>(kCycle)));
}

void BuildIncrementTable(int32_t sample_rate, int32_t* increments) {
    float tile[kOctaves * kTile];
    for (int32_t first = 0; first < kSteps; first += kTile) {
        PitchTile(first, tile);
        for (int32_t q = 0; q < kOctaves; ++q) {
            Increments(tile + q * kTile, sample_rate, increments + q * kSteps + first);
        }
    }
}

RateTableCache& SharedRateTables() {
    return g_rate_tables;
}

RateTableCache::Handle AcquireRateTables(int32_t sample_rate) {
    return g_rate_tables.Acquire(sample_rate, [sample_rate](RateTables& t) {
        BuildSineTable(t.sine);
        BuildIncrementTable(sample_rate, t.increments);
    });
}

}  // namespace twin_op
