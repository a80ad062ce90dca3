// test_probe: a DSP module that reports what the host does to it. Every observation goes
// back through HOST_PIN_AT_TIME (index = what, value = datum, clock = SampleClock()), which
// the host under test records in order.
#include <algorithm>
#include <cmath>

#include "KVModuleIdentity.h"

namespace test_probe {

// Codes of the observations.
enum Trace : int32_t {
    kStatus = 100,    // value: status of an input that changed (OnPinUpdate)
    kInSample = 200,  // value: CurrentSample() of "In" x 1000
    kLevel = 201,     // value: "Level" x 100
    kMode = 202,      // value: "Mode"
    kDelay = 203,     // value: "Delay"
    kMidi = 300,      // value: the packed message
    kTick = 400,      // a scheduled call ran
    kProcess = 500,   // value: sample count of a process call
    kPinIndex = 600,  // value: the PinAt index of the input that changed
    kQuery = 700,     // value: HOST_PIN_QUERY's answer for the pin a 0xA0 message names (d1)
};

class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    void Open() override {
        KVModule_base::Open();
        ChooseProcessFunction(&Module::Run);
    }

    bool DescribePin(int32_t index, KVPinProperties* p) override {
        switch (index) {
            case 0:
                return Describe(p, "In", DR_INPUT, DT_FSAMPLE, &in_, "2");
            case 1:
                return Describe(p, "Level", DR_INPUT, DT_REAL32, &level_, "1.5");
            case 2:
                Describe(p, "Mode", DR_INPUT, DT_CHOICE, &mode_, "7");
                p->choices = "Low=3,High=7";
                return true;
            case 3:
                Describe(p, "Panel", DR_INPUT, DT_REAL32, nullptr, "4");
                p->flags = IO_UI_COMMUNICATION;
                return true;
            case 4:
                return Describe(p, "Out", DR_OUT, DT_FSAMPLE, &out_, nullptr);
            case 5:
                return Describe(p, "Trace", DR_OUT, DT_FSAMPLE, &trace_, nullptr);
            case 6:
                return Describe(p, "MIDI In", DR_INPUT, DT_MIDI_STREAM, nullptr, nullptr);
            case 7:
                return Describe(p, "Delay", DR_INPUT, DT_WHOLE32, &delay_, "0");
            default:
                return false;
        }
    }

    void OnPinUpdate(KVPin* pin) override {
        Report(kPinIndex, pin->Index());
        Report(kStatus, pin->Status());
        const void* at = pin->ValueAddress();
        if (at == &in_)
            Report(kInSample, static_cast<int32_t>(std::lround(pin->CurrentSample() * 1000)));
        if (at == &level_) Report(kLevel, static_cast<int32_t>(std::lround(level_ * 100)));
        if (at == &mode_) Report(kMode, mode_);
        if (at == &delay_) {
            Report(kDelay, delay_);
            if (delay_ > 0)
                ScheduleCall(SampleClock() + static_cast<uint32_t>(delay_), &Module::Tick);
            // A delay of -n: the n-th process call from now asks for a tick inside its own
            // slice and announces a step on "Out" (n at most 1000).
            late_tick_in_ =
                delay_ < 0 ? static_cast<int32_t>(std::min<int64_t>(-int64_t{delay_}, 1000)) : 0;
        }
    }

    void OnMidi(uint32_t, int32_t message, int16_t) override {
        Report(kMidi, message);
        switch (message & 0xF0) {
            case 0x80:  // note-off with velocity n: dormant after the n-th process call
                sleep_in_ = std::max((message >> 16) & 0x7F, 1);
                break;
            case 0x90:  // note-on: the negating function
                ChooseProcessFunction(&Module::RunNegated);
                OutPin().SendStatus(SampleClock(), PS_STEP);
                break;
            case 0xA0:
                Report(kQuery, PinAt((message >> 8) & 0x7F).HostFlag() ? 1 : 0);
                break;
            case 0xB0:
                ChooseProcessFunction(&Module::Run);
                break;
            default:
                break;
        }
    }

  private:
    static bool Describe(KVPinProperties* p, const char* name, int32_t direction, int32_t type,
                         void* variable, const char* default_value) {
        p->name = name;
        p->direction = direction;
        p->datatype = type;
        p->variable = variable;
        p->default_value = default_value;
        return true;
    }

    void Report(int32_t what, int32_t value) {
        AskHost(HOST_PIN_AT_TIME, what, value,
                reinterpret_cast<void*>(static_cast<uintptr_t>(SampleClock())));
    }

    KVPin& OutPin() { return PinAt(PinCount() == 8 ? 4 : 3); }

    void Tick() { Report(kTick, 0); }

    void Run(int32_t first, int32_t count) {
        Report(kProcess, count);
        if (late_tick_in_ > 0 && --late_tick_in_ == 0) {
            ScheduleCall(SampleClock() + static_cast<uint32_t>(count / 2), &Module::Tick);
            OutPin().SendStatus(SampleClock(), PS_STEP);
        }
        const float add = level_ + static_cast<float>(mode_);
        const float clock = static_cast<float>(SampleClock());
        for (int32_t i = first; i < first + count; ++i) {
            out_[i] = in_[i] + add;
            trace_[i] = clock;
        }
        MaybeSleep();
    }

    void RunNegated(int32_t first, int32_t count) {
        Report(kProcess, count);
        const float clock = static_cast<float>(SampleClock());
        for (int32_t i = first; i < first + count; ++i) {
            out_[i] = -1.0f;
            trace_[i] = clock;
        }
        MaybeSleep();
    }

    void MaybeSleep() {
        if (sleep_in_ > 0 && --sleep_in_ == 0) AskHost(HOST_DORMANT);
    }

    float* in_ = nullptr;
    float* out_ = nullptr;
    float* trace_ = nullptr;
    float level_ = 0.0f;
    int16_t mode_ = 0;
    int32_t delay_ = 0;
    int32_t sleep_in_ = 0;
    int32_t late_tick_in_ = 0;
};

}  // namespace test_probe

const KVModuleIdentity kvModuleIdentity = {"test_probe",
                                           "test_probe",
                                           "Reports what the host does to it.",
                                           false,
                                           0,
                                           false,
                                           0,
                                           true,
                                           &KVMakeDsp<test_probe::Module>,
                                           nullptr};
