// A small LV2 plugin (a clamped gain from an optional audio input to an audio output) with
// one fault chosen at build time, for the validator's LV2 target tests.
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

struct Gain {
    const float* in = nullptr;  // optional: silence while unconnected
    float* out = nullptr;
    const float* gain = nullptr;
};

LV2_Handle Instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
    return new Gain;
}

void Connect(LV2_Handle handle, uint32_t port, void* data) {
    auto* g = static_cast<Gain*>(handle);
    if (port == 0) g->in = static_cast<const float*>(data);
    if (port == 1) g->out = static_cast<float*>(data);
    if (port == 2) g->gain = static_cast<const float*>(data);
}

void Run(LV2_Handle handle, uint32_t frames) {
    auto* g = static_cast<Gain*>(handle);
#if defined(FAULT_allocates)
    void* volatile block = std::malloc(16);
    std::free(block);
#endif
#if defined(FAULT_crashes)
    if (frames > 4000) std::abort();
#endif
    const float gain = std::clamp(*g->gain, 0.0f, 1.0f);
    uint32_t written = frames;
#if defined(FAULT_unwritten)
    written = frames / 2;
#endif
    for (uint32_t i = 0; i < written; ++i) {
        g->out[i] = g->in != nullptr ? std::clamp(g->in[i], -1.0f, 1.0f) * gain : 0.0f;
    }
#if defined(FAULT_nan)
    if (frames < 8) g->out[0] = std::nanf("");
#endif
}

void Cleanup(LV2_Handle handle) {
    delete static_cast<Gain*>(handle);
}

const LV2_Descriptor kDescriptor = {KV_FAULT_URI, Instantiate, Connect, nullptr,
                                    Run,          nullptr,     Cleanup, nullptr};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
