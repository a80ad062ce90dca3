// Animation-volts converter: the audio side samples "Volts In" for an animated control and
// puts the control's volts out on "Volts Out"; the user-interface side maps volts to positions.
#pragma once

#include <cstdint>

#include "../shared/OffCountdown.h"
#include "KVGUI_base.h"
#include "KVModule_base.h"

namespace anim_volts {

// Pin description indices (both sides address the GUI-side pins by these).
enum PinIndex : int32_t {
    kGui2Dsp = 0,
    kDsp2GuiOut = 1,
    kDsp2GuiIn = 2,
    kAnimPosition = 3,
    kVoltsIn = 4,
    kVoltsOut = 5,
    kMin = 6,
    kMax = 7,
    kSamplingMethod = 8,
    kSamplingRate = 9,
    kPinDescriptions = 10,
};

// The audio side's KVPin numbers (pins without IO_UI_COMMUNICATION, or IO_DSP_VISIBLE too).
enum DspPin : int32_t {
    kDspGui2Dsp = 0,
    kDspReport = 1,
    kDspVoltsIn = 2,
    kDspVoltsOut = 3,
    kDspMethod = 4,
    kDspRate = 5,
};

enum SamplingMethod : int16_t { kStart = 0, kEnd = 1, kStartEnd = 2, kAll = 3 };

// Sent on "DSP 2 GUI - Out": asks the user-interface side for the volts of its position.
inline constexpr float kRequestValue = 9999.31f;
// Sent on "DSP 2 GUI - Out" as the audio side closes.
inline constexpr float kClosingValue = 9999.13f;
inline constexpr double kVoltsToSignal = 0.1;
inline constexpr double kSignalToVolts = 10.0;
inline constexpr float kLowestRate = 0.0001f;   // Hz
inline constexpr float kHighestRate = 500.0f;   // Hz; anything above falls back to ...
inline constexpr float kFallbackRate = 100.0f;  // ... this rate
inline constexpr float kDefaultMax = 10.0f;     // volts at position 1 until set otherwise

class Module : public KVModule_base {
  public:
    Module(kvaudioMaster callback, void* host_reference);
    ~Module() override;

    void Open() override;
    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;

    // The sampling tick, run by the host at the time it was scheduled for.
    void Tick();

    // Block-processing functions (first sample offset, sample count).
    void OpenFill(int32_t first, int32_t count);
    void StartCapture(int32_t first, int32_t count);
    void Hold(int32_t first, int32_t count);
    void EndCapture(int32_t first, int32_t count);
    void StartEndCapture(int32_t first, int32_t count);
    void SumCapture(int32_t first, int32_t count);
    void StillStart(int32_t first, int32_t count);
    void StillEnd(int32_t first, int32_t count);
    void StillSum(int32_t first, int32_t count);
    void ControlHeld(int32_t first, int32_t count);

  private:
    void OnGuiValue(int32_t input_status);
    void OnInputOrMethod(int32_t input_status);
    void OnRate();
    void GoDormant();
    void ScheduleTick(int64_t samples_ahead);
    void Report(uint32_t clock);
    // Copies in[first..first+count) to out and answers the last sample copied.
    float CopyThrough(int32_t first, int32_t count);
    void AddThrough(int32_t first, int32_t count);

    // Pin members, in pin order.
    float m_gui_value = 0.0f;  // "GUI 2 DSP": volts as received, signal units once accepted
    float m_report_value = kRequestValue;  // "DSP 2 GUI - Out": volts last sent to the GUI side
    float m_unused_gui_in = 0.0f;          // "DSP 2 GUI - In" (GUI side only)
    float m_unused_position = 0.0f;        // "Anim Position" (GUI side only)
    float* m_volts_in = nullptr;
    float* m_volts_out = nullptr;
    float m_unused_min = 0.0f;  // "Min" (GUI side only)
    float m_unused_max = 0.0f;  // "Max" (GUI side only)
    int16_t m_method = kEnd;
    float m_rate = 40.0f;  // "Sampling Rate (Hz)"

    // Sampling state.
    float m_sampled_value = 0.0f;  // volts
    float m_start_sample = 0.0f;   // signal units
    float m_end_sample = 0.0f;     // signal units
    float m_held_sample = 0.0f;    // "Start": what "Volts Out" holds between captures
    float m_sum = 0.0f;
    int32_t m_sample_count = 0;
    int32_t m_tick_period = 44100;
    float m_open_sample_rate = 44100.0f;
    OffCountdown m_static_countdown;    // samples of "Volts In" held still before dormancy
    float m_accepted_gui_value = 0.0f;  // the GUI value as last accepted, signal units
    uint8_t m_idle = 1;
    uint8_t m_hold_report = 1;
    uint8_t m_first_gui_value = 1;
    bool m_tick_pending = false;  // a tick is posted and has not run yet
};

class GuiModule : public KVGUI_base {
  public:
    GuiModule(kvaudioMaster callback, void* host_reference);
    ~GuiModule() override = default;

    void OnGuiInit(bool flag) override;
    void OnGuiPinChanged(KVGuiPinRef& pin) override;

  private:
    void ReadMin();
    void ReadRange();
    void WriteVolts(double volts);
    double PositionVolts();

    // Until OnGuiInit reads "Min" and "Max", values map over the default 0 to 10 V.
    uint8_t m_updating = 0;  // 1 while this side writes pins: their notices are ignored
    float m_min = 0.0f;
    float m_range = kDefaultMax;
    float m_scale = 1.0f / kDefaultMax;
    uint8_t m_skip_first = 1;  // the first ordinary value after init is dropped
};

}  // namespace anim_volts
