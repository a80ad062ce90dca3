// What every panel model shares: the refusals of models without live MIDI, and the scope
// frames and spectra cut from an output's recent samples (the pins' controls: layout.cpp).
#include <algorithm>
#include <cmath>

#include "kvhost/panel.h"
#include "kvhost/plot.h"

namespace kvhost {

namespace {

// Scope: the stretch shown, and how far back a trigger is looked for.
constexpr double kScopeSeconds = 0.02;
// Spectrum: samples analysed, and the lowest frequency drawn.
constexpr std::size_t kSpectrumSamples = 4096;
constexpr double kLowestHz = 20.0;

}  // namespace

void PanelModel::Learn(const std::string&, const std::string&) {
    throw Error("no live MIDI here: controllers are learned under kvhost play --panel");
}

void PanelModel::Controller(int32_t, int32_t, int32_t) {
    throw Error("no live MIDI here: controllers go nowhere");
}

void PanelModel::Unmap(int32_t, const std::string&, const std::string&) {
    throw Error("no live MIDI here: nothing is mapped");
}

// ---- SignalWindow ------------------------------------------------------------------------

SignalWindow::SignalWindow(double sample_rate, std::size_t capacity)
    : sample_rate_(sample_rate), ring_(std::max<std::size_t>(capacity, 16), 0.0f) {}

void SignalWindow::Push(const float* samples, std::size_t count) {
    const std::size_t size = ring_.size();
    if (count > size) {
        samples += count - size;
        count = size;
    }
    for (std::size_t i = 0; i < count; ++i) {
        ring_[next_] = samples[i];
        next_ = next_ + 1 == size ? 0 : next_ + 1;
    }
    filled_ = std::min(size, filled_ + count);
}

namespace {

// The newest `count` samples of a ring, oldest first.
std::vector<float> Newest(const std::vector<float>& ring, std::size_t next, std::size_t count) {
    std::vector<float> out(count);
    const std::size_t size = ring.size();
    std::size_t at = (next + size - count) % size;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ring[at];
        at = at + 1 == size ? 0 : at + 1;
    }
    return out;
}

}  // namespace

ScopeFrame SignalWindow::Scope() const {
    ScopeFrame f;
    f.sample_rate = sample_rate_;
    const auto shown = std::max<std::size_t>(
        1, static_cast<std::size_t>(std::lround(kScopeSeconds * sample_rate_)));
    const std::size_t taken = std::min(filled_, 2 * shown);
    if (taken == 0) return f;
    const std::vector<float> s = Newest(ring_, next_, taken);
    // Trigger: the first rising crossing of the middle in the older part, so a steady wave
    // stands still from frame to frame.
    const auto [lo, hi] = std::minmax_element(s.begin(), s.end());
    const float middle = (*lo + *hi) * 0.5f;
    std::size_t start = taken > shown ? taken - shown : 0;
    for (std::size_t i = 1; i + shown <= taken; ++i) {
        if (s[i - 1] < middle && s[i] >= middle) {
            start = i;
            break;
        }
    }
    const std::size_t length = std::min(shown, taken - start);
    f.step = static_cast<int32_t>((length + kScopePoints - 1) / kScopePoints);
    for (std::size_t i = start; i < start + length; i += static_cast<std::size_t>(f.step)) {
        const float v = s[i] * 10.0f;
        f.volts.push_back(std::isfinite(v) ? v : 0.0f);
    }
    return f;
}

SpectrumFrame SignalWindow::Spectrum() const {
    SpectrumFrame f;
    f.sample_rate = sample_rate_;
    const std::size_t count = std::min(filled_, kSpectrumSamples);
    const std::vector<float> s = Newest(ring_, next_, count);
    const plot::Spectrum spectrum = plot::AnalyseSpectrum(s.data(), s.size(), sample_rate_);
    f.bin_hz = spectrum.bin_hz;
    f.fundamental_hz = spectrum.fundamental_hz;
    if (spectrum.level.size() < 2 || !(spectrum.bin_hz > 0.0)) return f;
    // Bands evenly spaced in pitch; each shows its strongest bin, or the nearest bin where it
    // holds none (low bands narrower than a bin).
    const double top = sample_rate_ / 2.0;
    const double ratio = std::pow(top / kLowestHz, 1.0 / static_cast<double>(kSpectrumBands));
    const std::size_t last = spectrum.level.size() - 1;
    for (std::size_t b = 0; b < kSpectrumBands; ++b) {
        const double from = kLowestHz * std::pow(ratio, static_cast<double>(b));
        const double to = from * ratio;
        const auto first = std::min(last, static_cast<std::size_t>(std::ceil(from / f.bin_hz)));
        const auto end = std::min(last, static_cast<std::size_t>(std::floor(to / f.bin_hz)));
        double level = spectrum.level[std::min(
            last, static_cast<std::size_t>(std::lround(std::sqrt(from * to) / f.bin_hz)))];
        for (std::size_t k = first; k <= end; ++k) {
            level = k == first ? spectrum.level[k] : std::max(level, spectrum.level[k]);
        }
        f.hz.push_back(static_cast<float>(std::sqrt(from * to)));
        f.level_db.push_back(static_cast<float>(std::max(level, -200.0)));
    }
    return f;
}

}  // namespace kvhost
