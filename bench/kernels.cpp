// The floor kernels. Rounding to nearest-even is one conversion instruction; state lives in
// locals for the whole block; every decision that holds for the block is made before it.
#include "kernels.h"

#include <xmmintrin.h>

#include <cmath>

namespace kvbench {

namespace {

constexpr float kTwoPi = 6.2831855f;

inline int32_t RoundEven(float x) {
    return _mm_cvtss_si32(_mm_set_ss(x));
}

// The table oscillators' block: phase advance and wrap, hard sync, the index rounded from
// scale × phase, and the line base + fraction × slope at it.
template <typename State>
inline void LineLoop(const double* base, const double* slope, float scale, const float* sync,
                     float* out, int32_t count, State& s) {
    const float increment = s.increment;
    float phase = s.phase;
    float last_sync = s.last_sync;
    for (int32_t n = 0; n < count; ++n) {
        phase += increment;
        phase = phase >= kTwoPi ? phase - kTwoPi : phase;
        const float y = sync[n];
        phase = (!(last_sync >= 0.0f) && y >= 0.0f) ? 0.0f : phase;
        last_sync = y;
        const float b = scale * phase;
        const int32_t idx = RoundEven(b);
        const float frac = b - static_cast<float>(idx);
        out[n] = static_cast<float>(base[idx] + double{frac} * slope[idx]);
    }
    s.phase = phase;
    s.last_sync = last_sync;
}

}  // namespace

// ---- ZOR Warpwave ---------------------------------------------------------------------

float WarpwaveIncrement(float pitch, float rate) {
    const float p = pitch > 0.94f ? 0.94f : pitch;
    const float frequency = static_cast<float>(440.0 * std::pow(2.0, 10.0 * p - 5.0));
    const float per_hertz = static_cast<float>((1.0 / rate) * kTwoPi);
    return frequency * per_hertz;
}

void PrepareWarpwaveLines(const float* table, WarpwaveLines& lines) {
    for (int32_t i = 0; i < 129; ++i) {
        const double t0 = table[i];
        const double t1 = table[i + 1];
        lines.base[i] = 0.5 * t0;
        lines.slope[i] = 0.5 * (t1 - t0);
    }
}

void WarpwaveLoop(const WarpwaveLines& lines, const float* sync, float* out, int32_t count,
                  WarpwaveState& s) {
    LineLoop(lines.base, lines.slope, 20.371832f, sync, out, count, s);
}

// ---- ZOR Basic Voice ------------------------------------------------------------------

int32_t BasicVoiceBand(float p) {
    if (p < 0.4f) return 0;
    if (p >= 0.8f) return 9;
    constexpr float kEdges[] = {0.45f, 0.5f, 0.55f, 0.6f, 0.65f, 0.7f, 0.75f, 0.8f};
    int32_t band = 1;
    for (float edge : kEdges) {
        if (p < edge) return band;
        ++band;
    }
    return 9;
}

float BasicVoiceIncrement(float pitch, float rate) {
    const float p = pitch > 0.9f ? 0.9f : pitch;
    const float frequency = static_cast<float>(440.0 * std::pow(2.0, 10.0 * p - 5.0));
    const float reciprocal = static_cast<float>(1.0 / rate);
    const float per_hertz = static_cast<float>(double{reciprocal} * kTwoPi);
    return frequency * per_hertz;
}

BasicVoiceBands BuildBasicVoiceBands(int32_t wave) {
    float w[256];
    double angle = -3.1415927f;
    for (int32_t i = 0; i < 256; ++i) {
        double v = 0.0;
        switch (wave) {
            case 1:
                v = 0.4 * std::sin(angle);
                angle += 0.024543693f;
                break;
            case 2:
                v = 0.4 * (1.0 - i / 128.0);
                break;
            case 3:
                v = 0.4 * (-1.0 + i / 128.0);
                break;
            case 4:
                v = i <= 64 ? i / 128.0 : i <= 192 ? (128 - i) / 128.0 : (i - 256) / 128.0;
                break;
            case 5:
                v = i <= 128 ? 0.4 : -0.4;
                break;
            case 6:
                v = i <= 64 ? 0.4 : -0.4;
                break;
            case 7:
                v = i <= 25 ? 0.4 : -0.4;
                break;
            default:
                break;
        }
        w[i] = static_cast<float>(v);
    }
    BasicVoiceBands b;
    b.band.assign(100 * 256, 0.0f);
    b.diff.assign(100 * 256, 0.0f);
    constexpr int32_t kHalf[10] = {1, 3, 5, 7, 9, 19, 29, 39, 49, 59};
    for (int32_t k = 0; k < 10; ++k) {
        const int32_t a = kHalf[k];
        for (int32_t j = 0; j <= 256; ++j) {
            double sum = 0.0;
            for (int32_t m = j - a; m < j + a; ++m) sum += w[(m % 256 + 256) % 256];
            b.band[256 * k + j] = static_cast<float>(sum / a * 0.5);
        }
    }
    double f = 0.9f;
    double s1 = 0.0, s2 = 0.0;
    for (int32_t k = 0; k < 10; ++k) {
        const double fb = 0.1 / (1.0 - f) + 0.1;
        for (int32_t i = 0; i <= 256; ++i) {
            const double x = b.band[256 * k + i];
            s1 = s1 + f * ((x - s1) + fb * (s1 - s2));
            s2 = s2 + f * (s1 - s2);
            b.band[256 * k + i] = static_cast<float>(s2);
            if (i > 0) b.diff[256 * k + i] = static_cast<float>(s2 - b.band[256 * k + i - 1]);
        }
        f -= 0.09f;
    }
    return b;
}

void PrepareBasicVoiceLines(const BasicVoiceBands& bands, int32_t band, BasicVoiceLines& lines) {
    for (int32_t i = 0; i < 257; ++i) {
        lines.base[i] = bands.band[static_cast<std::size_t>(256 * band + i)];
        lines.slope[i] = bands.diff[static_cast<std::size_t>(256 * band + i)];
    }
}

void BasicVoiceLoop(const BasicVoiceLines& lines, const float* sync, float* out, int32_t count,
                    BasicVoiceState& s) {
    LineLoop(lines.base, lines.slope, 40.336227f, sync, out, count, s);
}

// ---- ZOR Twin-Op ----------------------------------------------------------------------

namespace {

constexpr uint32_t kPhaseMask = (1u << 25) - 1;

inline float Clamp(double s) {
    if (s > static_cast<double>(0.99f)) return 0.99f;
    if (!(s >= 0.0)) return 0.0f;
    return static_cast<float>(s);
}

inline int32_t PitchIndex(float clamped) {
    return RoundEven(static_cast<float>(static_cast<double>(clamped) * 100000.0));
}

// The increment of a clamped pitch: one read of the precomputed table.
struct ByTable {
    const int32_t* increment;
    int32_t operator()(float clamped) const { return increment[PitchIndex(clamped)]; }
};

// The increment as the algorithm states it: frequency / rate × 2^25, rounded.
struct ByDivision {
    const float* pitch;
    double rate;
    int32_t operator()(float clamped) const {
        const double x = static_cast<double>(pitch[PitchIndex(clamped)]) / rate * 33554432.0;
        return RoundEven(static_cast<float>(x));
    }
};

template <class Recompute>
void Feedback(const float* sine, Recompute recompute, const float* pitch1, const float* level1,
              float* out, int32_t count, TwinOpState& st) {
    uint32_t phase = st.phase1;
    int32_t increment = st.increment1;
    float last = st.last1;
    float memory = st.memory;
    for (int32_t n = 0; n < count; ++n) {
        const double s = static_cast<double>(memory) + static_cast<double>(pitch1[n]);
        if (s != static_cast<double>(last)) {
            last = Clamp(s);
            increment = recompute(last);
        }
        phase = (phase + static_cast<uint32_t>(increment)) & kPhaseMask;
        const float v = sine[phase >> 16];
        memory = v * level1[n];
        out[n] = v;
    }
    st.phase1 = phase;
    st.increment1 = increment;
    st.last1 = last;
    st.memory = memory;
}

template <class Recompute>
void TwoOperator(const float* sine, Recompute recompute, const float* pitch1, const float* level1,
                 const float* pitch2, const float* level2, float* out, int32_t count,
                 TwinOpState& st) {
    uint32_t phase1 = st.phase1, phase2 = st.phase2;
    int32_t increment1 = st.increment1, increment2 = st.increment2;
    float last1 = st.last1, last2 = st.last2;
    float y = st.memory;
    for (int32_t n = 0; n < count; ++n) {
        const float p2 = pitch2[n];
        if (p2 != last2) {
            last2 = Clamp(p2);
            increment2 = recompute(last2);
        }
        phase2 = (phase2 + static_cast<uint32_t>(increment2)) & kPhaseMask;
        const double m = static_cast<double>(sine[phase2 >> 16]) * static_cast<double>(level2[n]);
        const double s = m + static_cast<double>(pitch1[n]);
        if (s != static_cast<double>(last1)) {
            last1 = Clamp(s);
            increment1 = recompute(last1);
        }
        phase1 = (phase1 + static_cast<uint32_t>(increment1)) & kPhaseMask;
        y = sine[phase1 >> 16] * level1[n];
        out[n] = y;
    }
    st.phase1 = phase1;
    st.phase2 = phase2;
    st.increment1 = increment1;
    st.increment2 = increment2;
    st.last1 = last1;
    st.last2 = last2;
    st.memory = y;
}

}  // namespace

TwinOpTables BuildTwinOpTables(int32_t rate) {
    TwinOpTables t;
    t.rate = rate;
    t.pitch.resize(100000);
    t.increment.resize(100000);
    for (int32_t k = 0; k < 100000; ++k) {
        t.pitch[k] = static_cast<float>(440.0 * std::pow(2.0, k / 10000.0 - 5.0));
    }
    for (int32_t k = 0; k < 100000; ++k) {
        const double x = static_cast<double>(t.pitch[k]) / rate * 33554432.0;
        t.increment[k] = RoundEven(static_cast<float>(x));
    }
    t.sine.resize(513);
    double angle = -static_cast<double>(3.1415927f);
    for (int32_t j = 0; j < 513; ++j) {
        t.sine[j] = static_cast<float>(0.5 * std::sin(angle));
        angle += static_cast<double>(0.012247925f);
    }
    return t;
}

void TwinOpFeedbackTable(const TwinOpTables& t, const float* pitch1, const float* level1,
                         float* out, int32_t count, TwinOpState& s) {
    Feedback(t.sine.data(), ByTable{t.increment.data()}, pitch1, level1, out, count, s);
}

void TwinOpFeedbackLiteral(const TwinOpTables& t, const float* pitch1, const float* level1,
                           float* out, int32_t count, TwinOpState& s) {
    Feedback(t.sine.data(), ByDivision{t.pitch.data(), static_cast<double>(t.rate)}, pitch1, level1,
             out, count, s);
}

void TwinOpTwoTable(const TwinOpTables& t, const float* pitch1, const float* level1,
                    const float* pitch2, const float* level2, float* out, int32_t count,
                    TwinOpState& s) {
    TwoOperator(t.sine.data(), ByTable{t.increment.data()}, pitch1, level1, pitch2, level2, out,
                count, s);
}

void TwinOpTwoLiteral(const TwinOpTables& t, const float* pitch1, const float* level1,
                      const float* pitch2, const float* level2, float* out, int32_t count,
                      TwinOpState& s) {
    TwoOperator(t.sine.data(), ByDivision{t.pitch.data(), static_cast<double>(t.rate)}, pitch1,
                level1, pitch2, level2, out, count, s);
}

void WriteBlock(float* out, int32_t count, float value) {
    for (int32_t n = 0; n < count; ++n) out[n] = value;
}

}  // namespace kvbench
