// What the oscillator tests share: odd input values, a driver that reaches an instance
// straight through its record (raw_driver.h), the allocation count, and rendering an
// example patch.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kv_abi.h"
#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "raw_driver.h"

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

// Unordered, infinite, huge, denormal and signed-zero values in a scrambled order.
inline float Wild(uint32_t n) {
    static const float odd[] = {kNaN,   kInf,    -kInf, 1e30f, -1e30f,
                                1e-40f, -1e-40f, 0.0f,  -0.0f, 0.5f};
    return odd[(n * 7 + n / 13) % (sizeof odd / sizeof odd[0])];
}

// Every operator new of the process, the loaded deliverables' included (the test binaries
// export their definitions), so that the audio path can be checked for allocations.
extern std::atomic<std::size_t> g_allocations;

// The example patch `name`: wy_VUDA2DU plays the oscillator from the example melody.
inline std::vector<float> RenderExample(const std::string& name, double& rate) {
    const std::string folder = KV_EXAMPLES_DIR;
    const kvhost::PatchPlan plan = kvhost::LoadPatch(folder + "/" + name + ".json");
    kvhost::Patch patch(plan);
    patch.SetMidi(kvhost::ReadMidiFile(folder + "/" + *plan.midi_file, plan.sample_rate));
    rate = patch.SampleRate();
    std::vector<float> out(patch.DefaultLength());
    patch.Render(out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

// Upward zero crossings per second over [from, to) seconds.
inline double RisingCrossings(const std::vector<float>& out, double rate, double from, double to) {
    int32_t count = 0;
    const auto end = static_cast<std::size_t>(to * rate);
    for (auto n = static_cast<std::size_t>(from * rate); n < end; ++n) {
        if (out[n - 1] < 0.0f && out[n] >= 0.0f) ++count;
    }
    return count / (to - from);
}
