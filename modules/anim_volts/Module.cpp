// Audio side of the animation-volts converter: samples "Volts In" on a self-posted tick,
// reports the sampled volts to the user-interface side, and puts its volts out as a constant.
#include <cmath>
#include <cstdint>
#include <limits>

#include "AnimVolts.h"
#include "KVPinRow.h"

namespace anim_volts {

namespace {

// A host flag this module sets on every pin; the frame passes it on unchanged.
constexpr int32_t kHostFlag = 0x20000;

// The pins as the user sees them, in description order.
constexpr KVPinRow kPins[kPinDescriptions] = {
    {"GUI 2 DSP", DR_INPUT, DT_REAL32, nullptr, nullptr,
     IO_PRIVATE | IO_UI_COMMUNICATION | IO_DSP_VISIBLE | kHostFlag},
    {"DSP 2 GUI - Out", DR_OUT, DT_REAL32, nullptr, nullptr,
     IO_PRIVATE | IO_PATCH_STORE | kHostFlag},
    {"DSP 2 GUI - In", DR_INPUT, DT_REAL32, nullptr, nullptr,
     IO_PRIVATE | IO_UI_COMMUNICATION | IO_PATCH_STORE | kHostFlag},
    {"Anim Position", DR_INPUT, DT_REAL32, nullptr, nullptr, IO_UI_COMMUNICATION | kHostFlag},
    {"Volts In", DR_INPUT, DT_FSAMPLE, nullptr, nullptr, kHostFlag},
    {"Volts Out", DR_OUT, DT_FSAMPLE, nullptr, nullptr, kHostFlag},
    {"Min", DR_CONFIG, DT_REAL32, "0", nullptr, IO_UI_COMMUNICATION | kHostFlag},
    {"Max", DR_CONFIG, DT_REAL32, "10", nullptr, IO_UI_COMMUNICATION | kHostFlag},
    {"Sampling Method", DR_CONFIG, DT_CHOICE, "1", "Start,End,Start/End,All", kHostFlag},
    {"Sampling Rate (Hz)", DR_CONFIG, DT_REAL32, "40", nullptr, kHostFlag},
};

// Samples between ticks, truncated toward zero: at least one sample, so a tick never lands
// on its own clock, and never more than a 32-bit count holds (NaN counts as too few).
int32_t TickPeriod(double samples) {
    if (!(samples >= 1.0)) return 1;
    if (samples >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(samples);
}

}  // namespace

Module::Module(kvaudioMaster callback, void* host_reference)
    : KVModule_base(callback, host_reference) {}

// Tells the user-interface side the audio side is going away. An instance closed before it
// was opened has no pins to tell it through.
Module::~Module() {
    if (PinCount() <= kDspReport) return;
    report_value_ = kClosingValue;
    PinAt(kDspReport).SendStatus(SampleClock(), PS_STEP);
}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[kPinDescriptions] = {
        &gui_value_, &report_value_, &unused_gui_in_, &unused_position_, &volts_in_,
        &volts_out_, &unused_min_,   &unused_max_,    &method_,          &rate_,
    };
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    report_value_ = kRequestValue;
    ChooseProcessFunction(&Module::OpenFill);
    KVModule_base::Open();
    sampled_value_ = 0.0f;
    static_countdown_ = 0;
    idle_ = 1;
    sample_rate_ = SampleRate();
    tick_period_ = TickPeriod(sample_rate_);
    hold_report_ = 1;
    first_gui_value_ = 1;
    start_sample_ = 0.0f;
    end_sample_ = 0.0f;
    sum_ = 0.0f;
    tick_pending_ = false;
    ScheduleTick(2 * static_cast<int64_t>(BlockSize()));
    // Asks the user-interface side for the volts of its current position.
    PinAt(kDspReport).SendStatus(SampleClock() + 1, PS_STEP);
}

void Module::OnPinUpdate(KVPin* pin) {
    const int32_t input_status = PinAt(kDspVoltsIn).Status();
    switch (pin->Index()) {
        case kDspGui2Dsp:
            OnGuiValue(input_status);
            return;
        case kDspVoltsIn:
        case kDspMethod:
            OnInputOrMethod(input_status);
            return;
        case kDspRate:
            OnRate();
            return;
        default:
            return;
    }
}

// A value from the animated control. A streaming input wins over the control, except for
// the first value after open.
void Module::OnGuiValue(int32_t input_status) {
    if (std::isnan(gui_value_)) {
        gui_value_ = accepted_gui_value_;  // a value out of step changes nothing
        return;
    }
    const bool streaming = input_status == PS_STREAM;
    if (first_gui_value_ == 0 && streaming) return;
    gui_value_ = static_cast<float>(gui_value_ * kVoltsToSignal);
    accepted_gui_value_ = gui_value_;
    const uint32_t now = SampleClock();
    KVPin& out = PinAt(kDspVoltsOut);
    out.SendStatus(now, PS_STEP);
    // The whole buffer, whatever part of the block has already been processed.
    float* buffer = volts_out_;
    if (buffer != nullptr) {
        const float value = gui_value_;
        const int32_t n = BlockSize();
        for (int32_t i = 0; i < n; ++i) buffer[i] = value;
    }
    out.SendStatus(now + 1, PS_STILL);
    first_gui_value_ = 0;
    start_sample_ = gui_value_;
    end_sample_ = gui_value_;
    sum_ = gui_value_;
    // With a still input "Volts Out" now belongs to the control: a still function left
    // installed would copy the input over it on the next slice.
    if (!streaming) ChooseProcessFunction(&Module::ControlHeld);
}

void Module::OnInputOrMethod(int32_t input_status) {
    const bool streaming = input_status == PS_STREAM;
    if (streaming) hold_report_ = 0;
    if (hold_report_ != 0) return;
    sum_ = 0.0f;
    sample_count_ = 0;
    if (streaming) {
        switch (method_) {
            case kStart:
                ChooseProcessFunction(&Module::StartCapture);
                break;
            case kEnd:
                ChooseProcessFunction(&Module::EndCapture);
                break;
            case kStartEnd:
                ChooseProcessFunction(&Module::StartEndCapture);
                break;
            default:
                ChooseProcessFunction(&Module::SumCapture);
                break;
        }
        if (idle_ != 0) {
            // One chain only: a tick still pending (the one posted at open, or the last of a
            // chain that has not ended yet) carries the sampling on.
            if (!tick_pending_) ScheduleTick(BlockSize());
            PinAt(kDspVoltsOut).SendStatus(SampleClock(), PS_STREAM);
        }
        idle_ = 0;
        return;
    }
    const float sampled = static_cast<float>(PinAt(kDspVoltsIn).CurrentSample() * kSignalToVolts);
    if (!std::isnan(sampled)) sampled_value_ = sampled;
    Report(SampleClock());
    static_countdown_ = BlockSize();
    switch (method_) {
        case kStart:
            ChooseProcessFunction(&Module::StillStart);
            break;
        case kEnd:
        case kStartEnd:
            ChooseProcessFunction(&Module::StillEnd);
            break;
        default:
            ChooseProcessFunction(&Module::StillSum);
            break;
    }
}

void Module::OnRate() {
    float rate = rate_;
    if (!(rate >= kLowestRate)) rate = kLowestRate;  // NaN too
    if (rate > kHighestRate) rate = kFallbackRate;
    rate_ = rate;
    tick_period_ = TickPeriod(static_cast<double>(sample_rate_) / static_cast<double>(rate));
}

void Module::Tick() {
    tick_pending_ = false;
    // The first sample after this tick is captured next, but only from a streaming input:
    // with a still one the still function (or the control's value) keeps "Volts Out".
    const bool streaming = PinAt(kDspVoltsIn).Status() == PS_STREAM;
    double sampled = sampled_value_;
    switch (method_) {
        case kStart:
            sampled = static_cast<double>(start_sample_) * kSignalToVolts;
            if (streaming) ChooseProcessFunction(&Module::StartCapture);
            break;
        case kEnd:
            sampled = static_cast<double>(end_sample_) * kSignalToVolts;
            break;
        case kStartEnd:
            sampled = (static_cast<double>(end_sample_) + static_cast<double>(start_sample_)) *
                      (kSignalToVolts / 2);
            if (streaming) ChooseProcessFunction(&Module::StartEndCapture);
            break;
        default:
            if (sample_count_ != 0)
                sampled = static_cast<double>(sum_) * kSignalToVolts / sample_count_;
            break;
    }
    // A NaN among the samples leaves the last good value to be reported again.
    if (!std::isnan(sampled)) sampled_value_ = static_cast<float>(sampled);
    if (hold_report_ == 0)
        Report(SampleClock());
    else
        hold_report_ = 0;
    sample_count_ = 0;
    sum_ = 0.0f;
    if (idle_ == 0)
        ScheduleTick(tick_period_);
    else
        AskHost(HOST_DORMANT);
}

void Module::Report(uint32_t clock) {
    report_value_ = sampled_value_;
    PinAt(kDspReport).SendStatus(clock, PS_STEP);
}

// Posts the tick `samples_ahead` samples from now: at least one sample ahead and never past
// the end of the sample clock, so it is never stamped in the past.
void Module::ScheduleTick(int64_t samples_ahead) {
    const uint32_t now = SampleClock();
    const int64_t ahead = samples_ahead < 1 ? 1 : samples_ahead;
    const int64_t room = static_cast<int64_t>(std::numeric_limits<uint32_t>::max() - now);
    ScheduleCall(now + static_cast<uint32_t>(ahead < room ? ahead : room), &Module::Tick);
    tick_pending_ = true;
}

void Module::GoDormant() {
    idle_ = 1;
    PinAt(kDspVoltsOut).SendStatus(SampleClock(), PS_STEP);
    AskHost(HOST_DORMANT);
}

float Module::CopyThrough(int32_t first, int32_t count) {
    const float* in = volts_in_;
    float* out = volts_out_;
    if (in == nullptr || out == nullptr || count <= 0) return end_sample_;
    in += first;
    out += first;
    for (int32_t i = 0; i < count; ++i) out[i] = in[i];
    return in[count - 1];
}

void Module::AddThrough(int32_t first, int32_t count) {
    const float* in = volts_in_;
    float* out = volts_out_;
    if (in == nullptr || out == nullptr || count <= 0) return;
    in += first;
    out += first;
    double sum = sum_;
    for (int32_t i = 0; i < count; ++i) {
        out[i] = in[i];
        sum += in[i];
    }
    sum_ = static_cast<float>(sum);
    sample_count_ += count;
}

void Module::CountDown(int32_t count) {
    static_countdown_ -= count;
    if (static_countdown_ <= 0) GoDormant();
}

void Module::OpenFill(int32_t first, int32_t count) {
    float* out = volts_out_;
    if (out != nullptr) {
        const float value = gui_value_;
        out += first;
        for (int32_t i = 0; i < count; ++i) out[i] = value;
    }
    CountDown(count);
}

void Module::StartCapture(int32_t first, int32_t count) {
    if (volts_in_ == nullptr || count <= 0) return;
    start_sample_ = volts_in_[first];
    ChooseProcessFunction(&Module::Hold);
    held_sample_ = CopyThrough(first, count);
}

// Until the next tick "Volts Out" holds the last sample the capture passed through: the
// output is announced as streaming, so every sample of the call is written.
void Module::Hold(int32_t first, int32_t count) {
    float* out = volts_out_;
    if (out == nullptr) return;
    out += first;
    const float value = held_sample_;
    for (int32_t i = 0; i < count; ++i) out[i] = value;
}

void Module::EndCapture(int32_t first, int32_t count) {
    end_sample_ = CopyThrough(first, count);
}

void Module::StartEndCapture(int32_t first, int32_t count) {
    if (volts_in_ == nullptr || count <= 0) return;
    start_sample_ = volts_in_[first];
    end_sample_ = CopyThrough(first, count);
    ChooseProcessFunction(&Module::EndCapture);
}

void Module::SumCapture(int32_t first, int32_t count) {
    AddThrough(first, count);
}

void Module::StillStart(int32_t, int32_t) {
    GoDormant();
}

void Module::StillEnd(int32_t first, int32_t count) {
    end_sample_ = CopyThrough(first, count);
    CountDown(count);
}

void Module::StillSum(int32_t first, int32_t count) {
    AddThrough(first, count);
    CountDown(count);
}

// "Volts Out" holds the control's value, written in full when it arrived: nothing to do
// until something changes.
void Module::ControlHeld(int32_t, int32_t) {
    idle_ = 1;
    AskHost(HOST_DORMANT);
}

}  // namespace anim_volts
