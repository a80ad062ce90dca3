// Floor kernels: each oscillator's bare per-sample loop with no frame and no host, the same
// arithmetic as the deliverable (so the same samples), written as tightly as it allows.
// The benchmarks set each deliverable, driven through the host library, beside its kernel.
#pragma once

#include <cstdint>
#include <vector>

namespace kvbench {

// ---- ZOR Warpwave ---------------------------------------------------------------------
struct WarpwaveState {
    float phase = 0.0f;
    float increment = 0.0f;
    float last_sync = 0.0f;
};
// Radians per sample of pitch value p (limited to 0.94) at `rate`.
float WarpwaveIncrement(float pitch, float rate);
// The table as the loop reads it: entry i's line, 0.5·T[i] and 0.5·(T[i+1] − T[i]) in double.
// Halving is exact and the difference is the one the loop would form, so the samples are
// the same as from 0.5 × (T[i] + frac × (T[i+1] − T[i])); formed once per table build.
struct WarpwaveLines {
    double base[129];
    double slope[129];
};
void PrepareWarpwaveLines(const float* table /* 130 */, WarpwaveLines& lines);
// One block: phase advance and wrap, hard sync, rounded index, line through two entries.
void WarpwaveLoop(const WarpwaveLines& lines, const float* sync, float* out, int32_t count,
                  WarpwaveState& s);

// ---- ZOR Basic Voice ------------------------------------------------------------------
struct BasicVoiceState {
    float phase = 0.0f;
    float increment = 0.0f;
    float last_sync = 0.0f;
    int32_t band = 0;
};
// Band index and radians per sample of a block-start pitch p at `rate`.
int32_t BasicVoiceBand(float pitch);
float BasicVoiceIncrement(float pitch, float rate);
// The ten bands of one base wave (Sine=1 ... Pulse 2=7) and their backward differences,
// 2,561 used elements each.
struct BasicVoiceBands {
    std::vector<float> band, diff;
};
BasicVoiceBands BuildBasicVoiceBands(int32_t wave);
// One band in double, as the loop reads it (formed when the band index changes).
struct BasicVoiceLines {
    double base[257];
    double slope[257];
};
void PrepareBasicVoiceLines(const BasicVoiceBands& bands, int32_t band, BasicVoiceLines& lines);
void BasicVoiceLoop(const BasicVoiceLines& lines, const float* sync, float* out, int32_t count,
                    BasicVoiceState& s);

// ---- ZOR Twin-Op ----------------------------------------------------------------------
struct TwinOpTables {
    std::vector<float> pitch;        // 100,000 frequencies, entry k for pitch k / 100,000
    std::vector<float> sine;         // 513 entries
    std::vector<int32_t> increment;  // one per pitch entry at `rate`
    int32_t rate = 44100;
};
// Built literally: one power per pitch entry, the sine by a running double angle.
TwinOpTables BuildTwinOpTables(int32_t rate);

struct TwinOpState {
    uint32_t phase1 = 0, phase2 = 0;
    int32_t increment1 = 0, increment2 = 0;
    float last1 = -99.0f, last2 = -99.0f;
    float memory = 0.0f;
};
// "1->1": operator 1 fed back onto its own pitch. `Table` reads the precomputed
// increment; `Literal` looks the frequency up and divides by the rate on each recompute.
void TwinOpFeedbackTable(const TwinOpTables& t, const float* pitch1, const float* level1,
                         float* out, int32_t count, TwinOpState& s);
void TwinOpFeedbackLiteral(const TwinOpTables& t, const float* pitch1, const float* level1,
                           float* out, int32_t count, TwinOpState& s);
// "2->1": operator 2 on operator 1's pitch.
void TwinOpTwoTable(const TwinOpTables& t, const float* pitch1, const float* level1,
                    const float* pitch2, const float* level2, float* out, int32_t count,
                    TwinOpState& s);
void TwinOpTwoLiteral(const TwinOpTables& t, const float* pitch1, const float* level1,
                      const float* pitch2, const float* level2, float* out, int32_t count,
                      TwinOpState& s);

// ---- The do-nothing block ---------------------------------------------------------------
// What a plug-in that only writes its output does per block.
void WriteBlock(float* out, int32_t count, float value);

}  // namespace kvbench
