// Shared helpers of the animation-volts converter tests: the plug-in, a test signal, the
// values reported to the user-interface side, and a bare host callback.
#pragma once

#include <kvhost/host.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace anim_volts_test {

inline std::shared_ptr<kvhost::Plugin> Plugin() {
    static std::shared_ptr<kvhost::Plugin> plugin = kvhost::Plugin::Load("mxt_AnimVolts");
    return plugin;
}

inline constexpr float kRequest = 9999.31f;

// A rising signal of multiples of 1/2048 below 0.5, so that sums over a tick are exact.
inline float Ramp(uint32_t clock) {
    return static_cast<float>(clock % 1000u) / 2048.0f;
}

struct Report {
    uint32_t clock;
    float value;  // volts in "DSP 2 GUI - Out" when the step was announced
};

// Every value the audio side transmits on "DSP 2 GUI - Out".
class ReportLog {
  public:
    explicit ReportLog(kvhost::DspInstance& dsp) : dsp_(dsp) {
        const int32_t pin = dsp.DspPin("DSP 2 GUI - Out");
        dsp.SetStatusListener([this, pin](const kvhost::DspInstance::StatusRecord& s) {
            if (s.pin == pin && s.status == PS_STEP)
                all.push_back({s.clock, static_cast<float>(dsp_.ReadValue(pin))});
        });
    }
    ~ReportLog() { dsp_.SetStatusListener(nullptr); }
    ReportLog(const ReportLog&) = delete;
    ReportLog& operator=(const ReportLog&) = delete;

    // The reports other than the request sent at open.
    std::vector<Report> Ticks() const {
        std::vector<Report> out;
        for (const Report& r : all)
            if (r.value != kRequest) out.push_back(r);
        return out;
    }
    std::vector<uint32_t> TickClocks() const {
        std::vector<uint32_t> out;
        for (const Report& r : Ticks()) out.push_back(r.clock);
        return out;
    }

    std::vector<Report> all;

  private:
    kvhost::DspInstance& dsp_;
};

// A bare host for lifecycles the host library does not drive (closing before open): it
// answers the pin count and records the output statuses with the reported value.
class RawHost {
  public:
    struct Status {
        int32_t pin;
        int32_t status;
        float reported;
    };

    KVHostRecord* Make(const std::shared_ptr<kvhost::Plugin>& plugin) {
        report = nullptr;
        pin_count = 0;
        statuses.clear();
        return static_cast<KVHostRecord*>(plugin->MakeModule()(0, KV_KIND_DSP, &Callback, this));
    }

    int32_t pin_count = 0;
    const float* report = nullptr;
    std::vector<Status> statuses;

  private:
    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void*,
                             float) {
        auto* self = static_cast<RawHost*>(static_cast<KVHostRecord*>(record)->host_reference);
        switch (opcode) {
            case HOST_PIN_COUNT:
                return self->pin_count;
            case HOST_OUT_STATUS:
                self->statuses.push_back(
                    {index, value, self->report != nullptr ? *self->report : 0.0f});
                return 0;
            case HOST_PIN_BUFFER:
                return reinterpret_cast<intptr_t>(self->buffer_);
            default:
                return 0;
        }
    }

    float buffer_[1024] = {};
};

}  // namespace anim_volts_test
