// What the oscillator tests share: odd input values, a driver that reaches an instance
// straight through its record, the allocation count, and rendering an example patch.
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

// Drives one DSP instance straight through its record, for what the host library refuses
// to set up (sample rates that are zero, negative or not a number): every sample input
// reads a caller-filled buffer, the clock stays at 0, host requests are answered with 0.

class RawDriver {
  public:
    RawDriver(const std::shared_ptr<kvhost::Plugin>& plugin, float rate, int32_t block)
        : plugin_(plugin) {
        record_ = static_cast<KVHostRecord*>(plugin->MakeModule()(0, KV_KIND_DSP, &Callback, this));
        record_->dispatch(record_, MOD_SAMPLE_RATE, 0, 0, nullptr, rate);
        record_->dispatch(record_, MOD_BLOCK_SIZE, 0, block, nullptr, 0.0f);
        for (int32_t i = 0;; ++i) {
            KVPinProperties p{};
            if (record_->dispatch(record_, MOD_PIN_INFO, i, 0, &p, 0.0f) == 0) break;
            pins_.push_back(p);
            buffers_.emplace_back(static_cast<std::size_t>(block), 0.0f);
            if (p.datatype == DT_FSAMPLE) {
                *static_cast<float**>(p.variable) = buffers_.back().data();
            }
        }
        record_->dispatch(record_, MOD_OPEN, 0, 0, nullptr, 0.0f);
    }
    ~RawDriver() { record_->dispatch(record_, MOD_CLOSE, 0, 0, nullptr, 0.0f); }
    RawDriver(const RawDriver&) = delete;
    RawDriver& operator=(const RawDriver&) = delete;

    float* Buffer(int32_t pin) { return buffers_[static_cast<std::size_t>(pin)].data(); }
    void SetChoice(int32_t pin, int16_t value) {
        *static_cast<int16_t*>(pins_[static_cast<std::size_t>(pin)].variable) = value;
    }
    // An input's status change, delivered as the host would.
    void Update(int32_t pin, int32_t status = PS_STEP) {
        KVTimedEvent e{0, EV_PIN_STATUS, status, 0, pin, nullptr};
        record_->event(record_->object, &e);
    }
    void Process(int32_t first, int32_t count) { record_->process(record_->object, first, count); }
    int32_t Dormant() const { return dormant_; }

  private:
    static intptr_t Callback(void* record, int32_t opcode, int32_t, int32_t, void*, float) {
        auto* self = static_cast<RawDriver*>(static_cast<KVHostRecord*>(record)->host_reference);
        if (opcode == HOST_PIN_COUNT) return static_cast<intptr_t>(self->pins_.size());
        if (opcode == HOST_DORMANT) ++self->dormant_;
        return 0;
    }

    std::shared_ptr<kvhost::Plugin> plugin_;
    KVHostRecord* record_ = nullptr;
    std::vector<KVPinProperties> pins_;
    std::vector<std::vector<float>> buffers_;
    int32_t dormant_ = 0;
};
