// ZOR Twin-Op's fixed tables and the increment arithmetic shared by open and the pitch
// recompute.
#include "Tables.h"

#include <cmath>
#include <numbers>

namespace twin_op {

void BuildPitchTable(float* table) {
    // 2^(k/10,000 − 5) = 2^(q − 5) × 2^(r/10,000) for k = 10,000·q + r: the octave factor is
    // exact, so one power per step r serves all ten octaves.
    constexpr int32_t kSteps = 10000;
    constexpr int32_t kOctaves = kPitchEntries / kSteps;
    for (int32_t r = 0; r < kSteps; ++r) {
        const double step = std::pow(2.0, r / 10000.0);
        for (int32_t q = 0; q < kOctaves; ++q) {
            table[q * kSteps + r] = static_cast<float>(440.0 * (std::ldexp(1.0, q - 5) * step));
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
    for (int32_t k = 0; k < kPitchEntries; ++k) {
        increments[k] = IncrementFor(pitch_table[k], sample_rate);
    }
}

}  // namespace twin_op
