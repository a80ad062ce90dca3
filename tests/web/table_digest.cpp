// Digests of every table the oscillators build from the C library's sin, exp2 and pow (and
// ldexp, fmod), and of the pitch-to-frequency conversion the table oscillators make with pow
// as they play: built natively by the tests and as WebAssembly by the wasm preset (run in
// node), the two outputs must be equal line for line, whichever C library each links.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../shared/PhaseArithmetic.h"
#include "BandTables.h"
#include "OperatorTables.h"
#include "WaveTables.h"

namespace {

// FNV-1a over the bytes of `count` values.
template <class T>
uint64_t Digest(const T* values, std::size_t count) {
    uint64_t h = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    for (std::size_t i = 0; i < count * sizeof(T); ++i) h = (h ^ bytes[i]) * 1099511628211ull;
    return h;
}

template <class T>
void Print(const char* what, int32_t which, const T* values, std::size_t count) {
    std::printf("%s %d %016llx\n", what, which,
                static_cast<unsigned long long>(Digest(values, count)));
}

void TwinOp() {
    std::vector<float> pitch(twin_op::kPitchEntries);
    twin_op::BuildPitchTable(pitch.data());
    Print("twin_op.pitch", 0, pitch.data(), pitch.size());
    float sine[twin_op::kSineEntries];
    twin_op::BuildSineTable(sine);
    Print("twin_op.sine", 0, sine, twin_op::kSineEntries);
    std::vector<int32_t> increments(twin_op::kPitchEntries);
    for (int32_t rate : {22050, 32000, 44100, 48000, 88200, 96000, 192000}) {
        twin_op::BuildIncrementTable(rate, increments.data());
        Print("twin_op.increments", rate, increments.data(), increments.size());
    }
}

void BasicVoice() {
    static basic_voice::BaseWaves waves;
    uint32_t random_state = 1;
    basic_voice::BuildBaseWaves(waves, random_state);
    static basic_voice::WaveBands bands;
    for (int32_t w = 0; w < basic_voice::kWaveCount; ++w) {
        Print("basic_voice.wave", w + 1, waves[w], basic_voice::kWaveLength);
        basic_voice::BuildWaveBands(waves[w], bands);
        Print("basic_voice.bands", w + 1, bands.band, basic_voice::kBandStore);
        Print("basic_voice.diffs", w + 1, bands.diff, basic_voice::kBandStore);
    }
}

void Warpwave() {
    warpwave::Scratch scratch;
    float table[warpwave::kTableStore];
    for (int32_t wave = warpwave::kFirstWave; wave <= warpwave::kLastWave; ++wave) {
        std::vector<float> all;
        for (int32_t step = 0; step <= 1000; ++step) {  // depths 0 to 1 by 0.001
            std::memset(table, 0, sizeof table);
            warpwave::BuildTable(wave, static_cast<float>(step) / 1000.0f, scratch, table);
            all.insert(all.end(), table, table + warpwave::kTableStore);
        }
        Print("warpwave.tables", wave, all.data(), all.size());
    }
}

// PitchToFrequency of every 97th single from -2 V to 20 V (22 million pitches).
void Frequencies() {
    std::vector<float> hz;
    for (float from : {0.0f, -0.0f}) {
        const uint32_t first = std::bit_cast<uint32_t>(from);
        const uint32_t last =
            std::bit_cast<uint32_t>(from == 0.0f && !std::signbit(from) ? 2.0f : -0.2f);
        for (uint32_t bits = first; bits <= last; bits += 97) {
            hz.push_back(phase_arithmetic::PitchToFrequency(std::bit_cast<float>(bits)));
        }
    }
    Print("phase_arithmetic.frequencies", static_cast<int32_t>(hz.size()), hz.data(), hz.size());
}

}  // namespace

int main() {
    Frequencies();
    TwinOp();
    BasicVoice();
    Warpwave();
    return 0;
}
