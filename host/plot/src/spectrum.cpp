// Magnitude spectrum and fundamental detection for kvhost plot, through FFTW.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "kvhost/plot.h"

namespace kvhost::plot {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The window's main lobe reaches 4 bins either side: a peak nearer DC is DC's own skirt.
constexpr std::size_t kLobe = 4;
// A peak this far below the strongest one is a spur or leakage, not the fundamental.
constexpr double kFundamentalRange = 40.0;
// Below this the stretch counts as silent (about -60 dB under one LSB of 24-bit audio).
constexpr double kSilence = -200.0;

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
struct PlanDestroy {
    void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};

double ToDb(double amplitude) {
    return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -400.0;
}

}  // namespace

Spectrum AnalyseSpectrum(const float* samples, std::size_t count, double sample_rate) {
    Spectrum s;
    count = std::min<std::size_t>(count, std::numeric_limits<int>::max());
    s.sample_rate = sample_rate;
    s.size = count;
    if (count < 2 * kLobe + 2 || !(sample_rate > 0.0)) return s;
    s.bin_hz = sample_rate / static_cast<double>(count);

    // 4-term Blackman-Harris: sidelobes stay ~92 dB down, so weak harmonics are not buried.
    std::unique_ptr<double, FftwFree> in(fftw_alloc_real(count));
    std::unique_ptr<fftw_complex, FftwFree> out(fftw_alloc_complex(count / 2 + 1));
    double window_sum = 0.0;
    const double n = static_cast<double>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double x = 2.0 * kPi * static_cast<double>(i) / n;
        const double w =
            0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
        window_sum += w;
        const double v = samples[i];
        in.get()[i] = std::isfinite(v) ? v * w : 0.0;
    }
    {
        std::unique_ptr<fftw_plan_s, PlanDestroy> plan(
            fftw_plan_dft_r2c_1d(static_cast<int>(count), in.get(), out.get(), FFTW_ESTIMATE));
        fftw_execute(plan.get());
    }

    // A sine of amplitude A centred on a bin gives |X| = A * window_sum / 2.
    const std::size_t bins = count / 2 + 1;
    s.level.resize(bins);
    for (std::size_t k = 0; k < bins; ++k) {
        const double re = out.get()[k][0], im = out.get()[k][1];
        const double scale = (k == 0 || 2 * k == count) ? 1.0 : 2.0;
        s.level[k] = ToDb(scale * std::sqrt(re * re + im * im) / window_sum);
    }

    const std::size_t top = bins - 1;
    if (top <= kLobe) return s;
    s.peak_level = *std::max_element(s.level.begin() + kLobe, s.level.end());
    if (s.peak_level < kSilence) return s;

    const double threshold = s.peak_level - kFundamentalRange;
    for (std::size_t k = kLobe; k < top; ++k) {
        if (s.level[k] < threshold) continue;
        const std::size_t lo = k - kLobe, hi = std::min(top, k + kLobe);
        bool is_peak = true;
        for (std::size_t j = lo; j <= hi && is_peak; ++j) {
            if (j < k ? s.level[j] >= s.level[k] : s.level[j] > s.level[k]) is_peak = false;
        }
        if (!is_peak) continue;
        // Parabola through the peak and its neighbours (in dB) for the position between bins.
        const double a = s.level[k - 1], b = s.level[k], c = s.level[k + 1];
        const double denom = a - 2.0 * b + c;
        const double delta = denom < 0.0 ? std::clamp(0.5 * (a - c) / denom, -0.5, 0.5) : 0.0;
        s.fundamental_bin = k;
        s.fundamental_hz = (static_cast<double>(k) + delta) * s.bin_hz;
        s.fundamental_level = b - 0.25 * (a - c) * delta;
        break;
    }
    return s;
}

}  // namespace kvhost::plot
