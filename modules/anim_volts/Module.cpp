// Audio side of the animation-volts converter: samples "Volts In" on a self-posted tick,
// reports the sampled volts to the user-interface side, and puts its volts out as a constant;
// and the deliverable's identity.
#include "Module.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "KVModuleIdentity.h"
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
    m_report_value = kClosingValue;
    PinAt(kDspReport).SendStatus(SampleClock(), PS_STEP);
}

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    void* const variables[kPinDescriptions] = {
        &m_gui_value, &m_report_value, &m_unused_gui_in, &m_unused_position, &m_volts_in,
        &m_volts_out, &m_unused_min,   &m_unused_max,    &m_method,          &m_rate,
    };
    return KVDescribe(kPins, variables, index, properties);
}

void Module::Open() {
    m_report_value = kRequestValue;
    ChooseProcessFunction(&Module::OpenFill);
    KVModule_base::Open();
    m_sampled_value = 0.0f;
    m_static_countdown.Start(0);
    m_idle = 1;
    m_open_sample_rate = SampleRate();
    m_tick_period = TickPeriod(m_open_sample_rate);
    m_hold_report = 1;
    m_first_gui_value = 1;
    m_start_sample = 0.0f;
    m_end_sample = 0.0f;
    m_sum = 0.0f;
    m_tick_pending = false;
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
    if (std::isnan(m_gui_value)) {
        m_gui_value = m_accepted_gui_value;  // a value out of step changes nothing
        return;
    }
    const bool streaming = input_status == PS_STREAM;
    if (m_first_gui_value == 0 && streaming) return;
    m_gui_value = static_cast<float>(m_gui_value * kVoltsToSignal);
    m_accepted_gui_value = m_gui_value;
    const uint32_t now = SampleClock();
    KVPin& out = PinAt(kDspVoltsOut);
    out.SendStatus(now, PS_STEP);
    // The whole buffer, whatever part of the block has already been processed.
    float* buffer = m_volts_out;
    if (buffer != nullptr) {
        const float value = m_gui_value;
        const int32_t n = BlockSize();
        for (int32_t i = 0; i < n; ++i) buffer[i] = value;
    }
    out.SendStatus(now + 1, PS_STILL);
    m_first_gui_value = 0;
    m_start_sample = m_gui_value;
    m_end_sample = m_gui_value;
    m_sum = m_gui_value;
    // With a still input "Volts Out" now belongs to the control: a still function left
    // installed would copy the input over it on the next slice.
    if (!streaming) ChooseProcessFunction(&Module::ControlHeld);
}

void Module::OnInputOrMethod(int32_t input_status) {
    const bool streaming = input_status == PS_STREAM;
    if (streaming) m_hold_report = 0;
    if (m_hold_report != 0) return;
    m_sum = 0.0f;
    m_sample_count = 0;
    if (streaming) {
        switch (m_method) {
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
        if (m_idle != 0) {
            // One chain only: a tick still pending (the one posted at open, or the last of a
            // chain that has not ended yet) carries the sampling on.
            if (!m_tick_pending) ScheduleTick(BlockSize());
            PinAt(kDspVoltsOut).SendStatus(SampleClock(), PS_STREAM);
        }
        m_idle = 0;
        return;
    }
    const float sampled = static_cast<float>(PinAt(kDspVoltsIn).CurrentSample() * kSignalToVolts);
    if (!std::isnan(sampled)) m_sampled_value = sampled;
    Report(SampleClock());
    m_static_countdown.Start(BlockSize());
    switch (m_method) {
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
    float rate = m_rate;
    if (!(rate >= kLowestRate)) rate = kLowestRate;  // NaN too
    if (rate > kHighestRate) rate = kFallbackRate;
    m_rate = rate;
    m_tick_period = TickPeriod(static_cast<double>(m_open_sample_rate) / static_cast<double>(rate));
}

void Module::Tick() {
    m_tick_pending = false;
    // The first sample after this tick is captured next, but only from a streaming input:
    // with a still one the still function (or the control's value) keeps "Volts Out".
    const bool streaming = PinAt(kDspVoltsIn).Status() == PS_STREAM;
    double sampled = m_sampled_value;
    switch (m_method) {
        case kStart:
            sampled = static_cast<double>(m_start_sample) * kSignalToVolts;
            if (streaming) ChooseProcessFunction(&Module::StartCapture);
            break;
        case kEnd:
            sampled = static_cast<double>(m_end_sample) * kSignalToVolts;
            break;
        case kStartEnd:
            sampled = (static_cast<double>(m_end_sample) + static_cast<double>(m_start_sample)) *
                      (kSignalToVolts / 2);
            if (streaming) ChooseProcessFunction(&Module::StartEndCapture);
            break;
        default:
            if (m_sample_count != 0)
                sampled = static_cast<double>(m_sum) * kSignalToVolts / m_sample_count;
            break;
    }
    // A NaN among the samples leaves the last good value to be reported again.
    if (!std::isnan(sampled)) m_sampled_value = static_cast<float>(sampled);
    if (m_hold_report == 0)
        Report(SampleClock());
    else
        m_hold_report = 0;
    m_sample_count = 0;
    m_sum = 0.0f;
    if (m_idle == 0)
        ScheduleTick(m_tick_period);
    else
        AskHost(HOST_DORMANT);
}

void Module::Report(uint32_t clock) {
    m_report_value = m_sampled_value;
    PinAt(kDspReport).SendStatus(clock, PS_STEP);
}

// Posts the tick `samples_ahead` samples from now, at least one sample ahead (a tick due now
// would post the next one for now again). The sample clock wraps after 2^32 samples, and so
// does the stamp: the host orders them the nearer way round.
void Module::ScheduleTick(int64_t samples_ahead) {
    const uint32_t now = SampleClock();
    const int64_t ahead = samples_ahead < 1 ? 1 : samples_ahead;
    ScheduleCall(now + static_cast<uint32_t>(ahead), &Module::Tick);
    m_tick_pending = true;
}

void Module::GoDormant() {
    m_idle = 1;
    PinAt(kDspVoltsOut).SendStatus(SampleClock(), PS_STEP);
    AskHost(HOST_DORMANT);
}

float Module::CopyThrough(int32_t first, int32_t count) {
    const float* in = m_volts_in;
    float* out = m_volts_out;
    if (in == nullptr || out == nullptr || count <= 0) return m_end_sample;
    in += first;
    out += first;
    for (int32_t i = 0; i < count; ++i) out[i] = in[i];
    return in[count - 1];
}

void Module::AddThrough(int32_t first, int32_t count) {
    const float* in = m_volts_in;
    float* out = m_volts_out;
    if (in == nullptr || out == nullptr || count <= 0) return;
    in += first;
    out += first;
    double sum = m_sum;
    for (int32_t i = 0; i < count; ++i) {
        out[i] = in[i];
        sum += in[i];
    }
    m_sum = static_cast<float>(sum);
    m_sample_count += count;
}

void Module::OpenFill(int32_t first, int32_t count) {
    float* out = m_volts_out;
    if (out != nullptr) {
        const float value = m_gui_value;
        out += first;
        for (int32_t i = 0; i < count; ++i) out[i] = value;
    }
    if (m_static_countdown.Spend(count)) GoDormant();
}

void Module::StartCapture(int32_t first, int32_t count) {
    if (m_volts_in == nullptr || count <= 0) return;
    m_start_sample = m_volts_in[first];
    ChooseProcessFunction(&Module::Hold);
    m_held_sample = CopyThrough(first, count);
}

// Until the next tick "Volts Out" holds the last sample the capture passed through: the
// output is announced as streaming, so every sample of the call is written.
void Module::Hold(int32_t first, int32_t count) {
    float* out = m_volts_out;
    if (out == nullptr) return;
    out += first;
    const float value = m_held_sample;
    for (int32_t i = 0; i < count; ++i) out[i] = value;
}

void Module::EndCapture(int32_t first, int32_t count) {
    m_end_sample = CopyThrough(first, count);
}

void Module::StartEndCapture(int32_t first, int32_t count) {
    if (m_volts_in == nullptr || count <= 0) return;
    m_start_sample = m_volts_in[first];
    m_end_sample = CopyThrough(first, count);
    ChooseProcessFunction(&Module::EndCapture);
}

void Module::SumCapture(int32_t first, int32_t count) {
    AddThrough(first, count);
}

void Module::StillStart(int32_t, int32_t) {
    GoDormant();
}

void Module::StillEnd(int32_t first, int32_t count) {
    m_end_sample = CopyThrough(first, count);
    if (m_static_countdown.Spend(count)) GoDormant();
}

void Module::StillSum(int32_t first, int32_t count) {
    AddThrough(first, count);
    if (m_static_countdown.Spend(count)) GoDormant();
}

// "Volts Out" holds the control's value, written in full when it arrived: nothing to do
// until something changes.
void Module::ControlHeld(int32_t, int32_t) {
    m_idle = 1;
    AskHost(HOST_DORMANT);
}

}  // namespace anim_volts

namespace {

constexpr const char* kName = "MXT ZeruDurodov DereRizev";

constexpr const char* kAbout =
    "MXT ZeruDurodov DereRizev - v1.0.4\n"
    "Kolvex module team, 2026\n"
    "\n"
    "https://example.org/kolvex-modules\n"
    "\n"
    "modules@example.org\n"
    "\n"
    "Converts voltages to floats suitable for animation control.\n"
    "\n"
    "Use the 'Min' and 'Max' parameters by putting the smallest number expected to be input in "
    "the Min field, and the largest in the Max. By default, these are set to 0.0 and 10.0, to "
    "work with most other controls. This is needed to scale the value to 0.0 and 1.0, which is "
    "required by the animation position pin.\n"
    "\n"
    "Parameter changes reflect in the output immediately.";

}  // namespace

const KVModuleIdentity kvModuleIdentity = {
    .name = kName,
    .id = kName,
    .about = kAbout,
    .sets_flags = true,
    .flags = 64,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = false,
    .make_dsp = &KVMakeDsp<anim_volts::Module>,
    .make_gui = &KVMakeGui<anim_volts::GuiModule>,
};
