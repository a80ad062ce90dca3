// The data of a single-output plot: the analysed stretch, its spectrum, and the cycles shown.
#include <algorithm>
#include <cmath>

#include "kvhost/plot.h"

namespace kvhost::plot {

namespace {

// The FFT covers at most this many samples (about 95 s at 44.1 kHz); more adds nothing.
constexpr std::size_t kMaxAnalysed = std::size_t{1} << 22;

}  // namespace

SignalPlot MakeSignalPlot(std::string title, std::vector<float> samples, double sample_rate,
                          double from_seconds, double cycles) {
    SignalPlot p;
    p.title = std::move(title);
    p.sample_rate = sample_rate;
    p.from_seconds = from_seconds;
    p.samples = std::move(samples);
    p.spectrum =
        AnalyseSpectrum(p.samples.data(), std::min(p.samples.size(), kMaxAnalysed), sample_rate);
    if (p.samples.empty()) return p;

    const double f0 = p.spectrum.fundamental_hz;
    const double span = f0 > 0.0 && cycles > 0.0 ? cycles * sample_rate / f0 : 0.01 * sample_rate;
    p.view_count = std::clamp<std::size_t>(static_cast<std::size_t>(std::llround(span)) + 1, 2,
                                           p.samples.size());

    // Start on the first rising crossing of the mean within the first cycle, so the picture
    // begins where a cycle does.
    if (f0 > 0.0) {
        double mean = 0.0;
        for (float v : p.samples) mean += std::isfinite(v) ? v : 0.0f;
        mean /= static_cast<double>(p.samples.size());
        const auto period = static_cast<std::size_t>(std::llround(sample_rate / f0));
        const std::size_t limit = std::min(p.samples.size() - p.view_count, period);
        for (std::size_t i = 1; i <= limit; ++i) {
            if (p.samples[i - 1] < mean && p.samples[i] >= mean) {
                p.view_first = i;
                break;
            }
        }
    }
    return p;
}

}  // namespace kvhost::plot
