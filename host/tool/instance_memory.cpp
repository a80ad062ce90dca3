// Weighs a deliverable's DSP instances by the heap bytes in use before and after each is
// made and opened; between the two, only the deliverable allocates.
#include "instance_memory.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "alloc_count.h"

namespace kvhost {
namespace {

// Bytes in live heap blocks, counted by the process's allocation wrappers (the same
// allocations always weigh the same, wherever the allocator put them).
std::size_t HeapInUse() {
    return static_cast<std::size_t>(validate::alloc::LiveBytes());
}

// One instance driven through its record: made, told the rate and block size, its pin
// descriptions read (sample pins bound to silent buffers) and opened; closed when destroyed.
class BareInstance {
  public:
    static constexpr int32_t kBlock = 64;

    // `silence`: kBlock zeros, allocated by the caller so that the instance alone allocates.
    BareInstance(const Plugin& plugin, int32_t pin_count, double sample_rate, float* silence)
        : pin_count_(pin_count) {
        void* const made = plugin.MakeModule()(0, KV_KIND_DSP, &Callback, this);
        record_ = static_cast<KVHostRecord*>(made);
        if (record_ == nullptr) return;
        record_->dispatch(record_, MOD_SAMPLE_RATE, 0, 0, nullptr, static_cast<float>(sample_rate));
        record_->dispatch(record_, MOD_BLOCK_SIZE, 0, kBlock, nullptr, 0.0f);
        for (int32_t i = 0;; ++i) {
            KVPinProperties p;
            std::memset(&p, 0, sizeof p);
            if (record_->dispatch(record_, MOD_PIN_INFO, i, 0, &p, 0.0f) == 0) break;
            if (p.datatype == DT_FSAMPLE && p.variable != nullptr) {
                *static_cast<float**>(p.variable) = silence;
            }
        }
        record_->dispatch(record_, MOD_OPEN, 0, 0, nullptr, 0.0f);
    }
    ~BareInstance() {
        if (record_ != nullptr) record_->dispatch(record_, MOD_CLOSE, 0, 0, nullptr, 0.0f);
    }
    BareInstance(const BareInstance&) = delete;
    BareInstance& operator=(const BareInstance&) = delete;

    bool Made() const { return record_ != nullptr; }

  private:
    // Answers the pin count; every other request with 0.
    static intptr_t Callback(void* record, int32_t opcode, int32_t, int32_t, void*, float) {
        if (opcode != HOST_PIN_COUNT || record == nullptr) return 0;
        const auto* r = static_cast<const KVHostRecord*>(record);
        return static_cast<const BareInstance*>(r->host_reference)->pin_count_;
    }

    KVHostRecord* record_ = nullptr;
    int32_t pin_count_;
};

}  // namespace

std::optional<InstanceMemory> MeasureInstanceMemory(const std::shared_ptr<Plugin>& plugin,
                                                    double sample_rate) {
    int32_t pin_count = 0;
    try {
        pin_count = DspInstance(plugin, sample_rate).PinCount();
    } catch (const Error&) {
        return std::nullopt;
    }
    // Weighed where the counters can be had: kvhost runs itself again with them preloaded.
    try {
        validate::alloc::Require();
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    std::vector<float> silence(BareInstance::kBlock, 0.0f);  // every sample pin's buffer
    const std::size_t before = HeapInUse();
    BareInstance first(*plugin, pin_count, sample_rate, silence.data());
    const std::size_t after_first = HeapInUse();
    BareInstance second(*plugin, pin_count, sample_rate, silence.data());
    const std::size_t after_second = HeapInUse();
    if (!first.Made() || !second.Made() || before == 0) return std::nullopt;
    const std::size_t one = after_second >= after_first ? after_second - after_first : 0;
    const std::size_t with_shared = after_first >= before ? after_first - before : 0;
    return InstanceMemory{sample_rate, one, with_shared > one ? with_shared - one : 0};
}

}  // namespace kvhost
