// Builds ZOR Warpwave's single-cycle tables. Phases are carried in double precision (every
// sweep step is then exact); each parabolic-sine value and each table entry is stored in
// single precision.
#include "WaveTables.h"

#include <cmath>
#include <type_traits>

namespace warpwave {
namespace {

// Writes S(phi) into entries [from, to) of `table`, lowering phi by `step` after each.
void Sweep(float* table, int32_t from, int32_t to, double step, double& phi) {
    for (int32_t k = from; k < to; ++k) {
        table[k] = ParabolicSine(phi);
        phi -= step;
    }
}

void Fill(float* table, int32_t from, int32_t to, float value) {
    for (int32_t k = from; k < to; ++k) table[k] = value;
}

// Saw: a fast quarter-cycle down, a slow half-cycle up through entry 64, a fast quarter down.
void BuildSaw(const Warp& w, float* table) {
    double phi = kTwoPi;
    Sweep(table, 0, w.i, w.s, phi);
    Sweep(table, w.i, 96 + w.a, w.s2, phi);
    Sweep(table, 96 + w.a, kTableSize, w.s, phi);
}

// Square: four fast quarter-cycles with plateaus of 2a entries at -1 and +1; the phase
// stands still on plateau entries.
void BuildSquare(const Warp& w, float* table) {
    Fill(table, 0, 64, -1.0f);
    Fill(table, 64, kTableSize, 1.0f);
    double phi = kTwoPi;
    Sweep(table, 0, w.i, w.s, phi);
    Sweep(table, 32 + w.a, 64, w.s, phi);
    Sweep(table, 64, 96 - w.a, w.s, phi);
    Sweep(table, 96 + w.a, kTableSize, w.s, phi);
}

// The shape under Reso3: the Square's first half, then a plain positive half-cycle.
void BuildHalfSquare(const Warp& w, float* table) {
    Fill(table, 0, 64, -1.0f);
    double phi = kTwoPi;
    Sweep(table, 0, w.i, w.s, phi);
    Sweep(table, 32 + w.a, 64, w.s, phi);
    Sweep(table, 64, kTableSize, kEntryStep, phi);
}

// T[k] <- T[k] + |T[k]| * R[k]: the resonance rides on the shape's own level.
void AddScaledResonance(const float* resonance, float* table) {
    for (int32_t k = 0; k < kTableSize; ++k) {
        const double t = table[k];
        table[k] = static_cast<float>(t + std::fabs(t) * resonance[k]);
    }
}

// Depths outside [0, 1] (or unordered) never reach the builder from the oscillator; they
// are limited here as well so that the segment arithmetic always stays inside the table.
float LimitDepth(float m) {
    if (!(m >= 0.0f)) return 0.0f;
    return m > 1.0f ? 1.0f : m;
}

}  // namespace

Warp WarpFor(float depth) {
    const double m = LimitDepth(depth);
    return WarpOfSteps(static_cast<int32_t>(m * 9.2f * 3.2f));
}

Warp WarpOfSteps(int32_t steps) {
    Warp w;
    w.a = steps;
    w.i = 32 - w.a;
    w.s = static_cast<float>(static_cast<double>(kHalfPi) / w.i);
    w.n = 2 * w.a + 64;
    w.s2 = static_cast<float>(static_cast<double>(kPi) / w.n);
    return w;
}

float ParabolicSine(double e) {
    double x;
    bool positive;
    if (e < kHalfPi) {
        x = e;
        positive = true;
    } else if (e < kPi) {
        x = kPi - e;
        positive = true;
    } else if (e < kThreeHalfPi) {
        x = e - kPi;
        positive = false;
    } else {
        x = kTwoPi - e;
        positive = false;
    }
    const double t = x * kTwoOverPi - 0.5;
    return static_cast<float>(positive ? t - t * t + 0.75 : t * t - 0.75 - t);
}

void BuildResonance(float depth, float* resonance) {
    const double m = LimitDepth(depth);
    const float rho = static_cast<float>(kTwoPi / (128.0 - 0.9f * 128.0 * m));
    double window = 1.0;
    double psi = 0.0;
    for (int32_t k = 0; k < kTableSize; ++k) {
        resonance[k] = static_cast<float>(window * ParabolicSine(psi));
        // The entry on which psi first passes 2*pi was read on the continued parabola;
        // the next cycle starts at rho, not at the overshoot.
        if (psi > kTwoPi) psi = 0.0;
        psi += rho;
        window -= 1.0 / 128.0;
    }
}

void BuildWarpedShape(int32_t wave, const Warp& w, Scratch& scratch, float* table) {
    switch (wave) {
        case 1:  // Saw
            BuildSaw(w, table);
            break;
        case 2:  // Square
            BuildSquare(w, table);
            break;
        case 3:  // Square-Saw: the Saw's first half, the Square's second half
            BuildSaw(w, table);
            BuildSquare(w, scratch.resonance);
            for (int32_t k = 64; k < kTableSize; ++k) table[k] = scratch.resonance[k];
            break;
        default:
            break;
    }
}

bool BuildTable(int32_t wave, float depth, Scratch& scratch, float* table) {
    const float m = LimitDepth(depth);
    const Warp w = WarpFor(m);
    float* const r = scratch.resonance;
    bool built = true;
    switch (wave) {
        case 1:
        case 2:
        case 3:
            BuildWarpedShape(wave, w, scratch, table);
            break;
        case 4: {  // Dbl-ResSine: fundamental, octave and resonance mixed by depth
            float* const p = scratch.sine;
            for (int32_t k = 0; k < kTableSize; ++k) p[k] = ParabolicSine(k * double{kEntryStep});
            BuildResonance(m, r);
            const double md = m;
            for (int32_t k = 0; k < kTableSize; ++k) {
                const double v = p[(2 * k) % kTableSize];
                table[k] = static_cast<float>(0.5 * md * r[k] + md * p[k] + (1.0 - md) * v);
            }
            break;
        }
        case 5:  // Reso1: Saw plus depth-scaled resonance
            BuildSaw(w, table);
            BuildResonance(m, r);
            for (int32_t k = 0; k < kTableSize; ++k) {
                table[k] = static_cast<float>(double{table[k]} + double{m} * r[k]);
            }
            break;
        case 6:  // Reso2
            BuildSquare(w, table);
            BuildResonance(m, r);
            AddScaledResonance(r, table);
            break;
        case 7:  // Reso3
            BuildHalfSquare(w, table);
            BuildResonance(m, r);
            AddScaledResonance(r, table);
            break;
        case 8:  // Reso4: the plain parabolic sine plus depth-scaled resonance
            BuildResonance(m, r);
            for (int32_t k = 0; k < kTableSize; ++k) {
                const double sine = ParabolicSine(k * double{kEntryStep});
                table[k] = static_cast<float>(sine + double{m} * r[k]);
            }
            break;
        default:
            built = false;
            break;
    }
    table[kTableSize] = table[0];
    table[kTableSize + 1] = table[1];
    return built;
}

void FormLines(const float* table, TableLines& lines) {
    for (int32_t k = 0; k < kTableStore - 1; ++k) {
        const double t0 = table[k];
        const double t1 = table[k + 1];
        lines.base[k] = 0.5 * t0;
        lines.slope[k] = 0.5 * (t1 - t0);
    }
}

namespace {

// The cache is a plain object of static storage that no exit handler tears down.
constinit WarpedShapeCache g_warped_shapes;
static_assert(std::is_trivially_destructible_v<WarpedShapeCache>);

}  // namespace

WarpedShapeCache& SharedWarpedShapes() {
    return g_warped_shapes;
}

WarpedShapeCache::Handle AcquireWarpedShapes() {
    return g_warped_shapes.Acquire(0, [](WarpedShapes& shapes) {
        Scratch scratch;
        float table[kTableStore];
        for (int32_t wave = 1; wave <= kWarpedWaves; ++wave) {
            for (int32_t a = 0; a < kWarpSteps; ++a) {
                BuildWarpedShape(wave, WarpOfSteps(a), scratch, table);
                table[kTableSize] = table[0];
                table[kTableSize + 1] = table[1];
                FormLines(table, shapes.shape[wave - 1][a]);
            }
        }
    });
}

}  // namespace warpwave
