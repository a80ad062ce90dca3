// Base waves, box averaging and the carried two-stage smoothing of ZOR Basic Voice. Sums and
// filter state are carried in double precision; every stored element is single precision.
#include "BandTables.h"

#include <cmath>
#include <type_traits>

namespace basic_voice {

int32_t NextRandom(uint32_t& state) {
    state = state * 214013u + 2531011u;
    return static_cast<int32_t>((state >> 16) & 0x7FFFu);
}

uint32_t& SharedRandomState() {
    // Initial-exec: the word sits in the static TLS block, so reaching it from a library the
    // host loaded at run time never allocates.
    static thread_local uint32_t state __attribute__((tls_model("initial-exec"))) = 1;
    return state;
}

void BuildListedWaves(BaseWaves& waves) {
    // Sine, started at -pi so that it first falls; the angle adds the single-precision step.
    double angle = -3.1415927f;
    for (int32_t i = 0; i < kWaveLength; ++i) {
        waves[0][i] = static_cast<float>(0.4 * std::sin(angle));
        angle += 0.024543693f;
    }
    for (int32_t i = 0; i < kWaveLength; ++i) {
        const double x = i / 128.0;
        waves[1][i] = static_cast<float>(0.4 * (1.0 - x));   // Saw
        waves[2][i] = static_cast<float>(0.4 * (-1.0 + x));  // Ramp
        // Triangle, +-0.5 and not scaled.
        waves[3][i] = static_cast<float>(i <= 64    ? x
                                         : i <= 192 ? (128 - i) / 128.0
                                                    : (i - 256) / 128.0);
        waves[4][i] = static_cast<float>(i <= 128 ? 0.4 : -0.4);  // Square
        waves[5][i] = static_cast<float>(i <= 64 ? 0.4 : -0.4);   // Pulse 1
        waves[6][i] = static_cast<float>(i <= 25 ? 0.4 : -0.4);   // Pulse 2
    }
}

void BuildRandomWave(float* wave, uint32_t& random_state) {
    for (int32_t i = 0; i < kWaveLength; ++i) {
        wave[i] = static_cast<float>((NextRandom(random_state) % 10) * 0.1 - 0.5);
    }
}

void BuildBaseWaves(BaseWaves& waves, uint32_t& random_state) {
    BuildListedWaves(waves);
    BuildRandomWave(waves[kRandomWave - 1], random_state);
}

namespace {

constexpr int32_t kHalfWidth[kBands] = {1, 3, 5, 7, 9, 19, 29, 39, 49, 59};
constexpr int32_t kMaxHalfWidth = 59;
// Window sums are formed exactly in fixed point with this many fraction bits when every
// sample fits (all base waves do: the smallest sine sample is above 2^-25).
constexpr int32_t kFractionBits = 48;
constexpr double kFixedLimit = 64.0;

}  // namespace

void BoxAverage(const float* wave, float* bands) {
    const double averaging = 0.5;
    // Prefix sums over the wave read from -59 to 315, wrapping both ways: the sum of the
    // samples m = j - a .. j + a - 1 is prefix[j + a + 59] - prefix[j - a + 59].
    constexpr int32_t kSpan = kWaveLength + 2 * kMaxHalfWidth;
    int64_t prefix[kSpan + 1];
    bool exact = true;
    prefix[0] = 0;
    for (int32_t t = 0; t < kSpan; ++t) {
        const double x = wave[(t - kMaxHalfWidth + kWaveLength) & 255];
        const double scaled = std::ldexp(x, kFractionBits);
        exact = exact && std::fabs(x) <= kFixedLimit && scaled == std::trunc(scaled);
        prefix[t + 1] = prefix[t] + (exact ? static_cast<int64_t>(scaled) : 0);
    }
    // Each band's 257th value lands on the next band's first element until that band is
    // averaged; only the last band keeps it.
    for (int32_t k = 0; k < kBands; ++k) {
        const int32_t a = kHalfWidth[k];
        float* const band = bands + k * kWaveLength;
        for (int32_t j = 0; j <= kWaveLength; ++j) {
            double sum;
            if (exact) {
                const int64_t fixed = prefix[j + a + kMaxHalfWidth] - prefix[j - a + kMaxHalfWidth];
                sum = std::ldexp(static_cast<double>(fixed), -kFractionBits);
            } else {
                sum = 0.0;
                for (int32_t m = j - a; m <= j + a - 1; ++m) sum += wave[(m + kWaveLength) & 255];
            }
            band[j] = static_cast<float>(sum / a * averaging);
        }
    }
}

void Smooth(float* bands, float* diffs) {
    // Two-stage resonant low-pass, its state carried from band to band. Each pass covers 257
    // elements, so it also writes the next band's first element, which that band's pass
    // then takes as its first input.
    double s1 = 0.0;
    double s2 = 0.0;
    double f = 0.9f;
    for (int32_t k = 0; k < kBands; ++k) {
        const double fb = 0.1 / (1.0 - f) + 0.1;
        float* const band = bands + k * kWaveLength;
        float* const diff = diffs + k * kWaveLength;
        for (int32_t i = 0; i <= kWaveLength; ++i) {
            const double x = band[i];
            s1 = s1 + f * ((x - s1) + fb * (s1 - s2));
            s2 = s2 + f * (s1 - s2);
            band[i] = static_cast<float>(s2);
            if (i > 0) diff[i] = static_cast<float>(s2 - band[i - 1]);
        }
        f -= 0.09f;
    }
}

void BuildBands(const float* wave, float* bands, float* diffs) {
    BoxAverage(wave, bands);
    Smooth(bands, diffs);
}

void BuildWaveBands(const float* wave, WaveBands& bands) {
    BuildBands(wave, bands.band, bands.diff);
    bands.diff[0] = 0.0f;
}

namespace {

// The cache is a plain object of static storage that no exit handler tears down.
constinit ListedWaveCache g_listed_waves;
static_assert(std::is_trivially_destructible_v<ListedWaveCache>);

}  // namespace

ListedWaveCache& SharedListedWaves() {
    return g_listed_waves;
}

ListedWaveCache::Handle AcquireListedWaves() {
    return g_listed_waves.Acquire(0, [](ListedWaveLines& listed) {
        BaseWaves waves;
        BuildListedWaves(waves);
        WaveBands bands;
        for (int32_t w = 0; w < kListedWaves; ++w) {
            BuildWaveBands(waves[w], bands);
            for (int32_t i = 0; i < kBandStore; ++i) {
                listed.wave[w].band[i] = bands.band[i];
                listed.wave[w].diff[i] = bands.diff[i];
            }
        }
    });
}

int32_t BandForPitch(float p) {
    static constexpr float kThresholds[kBands - 1] = {0.4f,  0.45f, 0.5f,  0.55f, 0.6f,
                                                      0.65f, 0.7f,  0.75f, 0.8f};
    int32_t band = 0;
    for (float t : kThresholds) band += p >= t ? 1 : 0;
    return band;
}

}  // namespace basic_voice
