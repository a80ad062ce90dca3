// User-interface side of the animation-volts converter: maps volts from the audio side to
// the 0-1 position of the animated control by "Min" and "Max", and positions back to volts.
#include <cmath>

#include "Module.h"

namespace anim_volts {

GuiModule::GuiModule(kvaudioMaster callback, void* host_reference)
    : KVGUI_base(callback, host_reference) {}

void GuiModule::OnGuiInit(bool flag) {
    KVGUI_base::OnGuiInit(flag);
    m_skip_first = 1;
    if (!flag) {
        m_updating = 1;
        PinRef(kAnimPosition).WriteFloat(0.0f);
        PinRef(kDsp2GuiIn).WriteFloat(0.0f);
        PinRef(kMin).WriteFloat(0.0f);
        PinRef(kMax).WriteFloat(kDefaultMax);
    }
    PinRef(kGui2Dsp).WriteFloat(0.0f);
    m_updating = 0;
    ReadMin();
    ReadRange();
}

void GuiModule::OnGuiPinChanged(KVGuiPinRef& pin) {
    if (m_updating != 0) return;
    m_updating = 1;
    const int32_t i = pin.index;
    if (i == kMin) ReadMin();
    // A new Min or Max takes effect with the next value that arrives.
    if (i == kMin || i == kMax) ReadRange();
    if (i == kDsp2GuiIn) {
        const float v = PinRef(kDsp2GuiIn).ReadFloat();
        if (v == kRequestValue) {
            const double volts = PositionVolts();
            WriteVolts(-volts);
            WriteVolts(volts);
        } else {
            double p = (static_cast<double>(v) - m_min) * m_scale;
            if (p > 1.0)
                p = 1.0;
            else if (p < 0.0)
                p = 0.0;
            // A NaN value (or an infinite one with Max equal to Min) moves nothing.
            if (!std::isnan(p)) {
                if (m_skip_first != 0)
                    m_skip_first = 0;
                else
                    PinRef(kAnimPosition).WriteFloat(static_cast<float>(p));
            }
        }
    }
    if (i == kAnimPosition) WriteVolts(PositionVolts());
    m_updating = 0;
}

// A Min that is not a finite number keeps the one in force.
void GuiModule::ReadMin() {
    const float min = PinRef(kMin).ReadFloat();
    if (std::isfinite(min)) m_min = min;
}

// A Max that is not a finite number, or a span too wide for a float, keeps the range in force.
void GuiModule::ReadRange() {
    const float range = static_cast<float>(static_cast<double>(PinRef(kMax).ReadFloat()) - m_min);
    if (!std::isfinite(range)) return;
    m_range = range;
    m_scale = range == 0.0f ? 0.0f : static_cast<float>(1.0 / range);
}

double GuiModule::PositionVolts() {
    return static_cast<double>(PinRef(kAnimPosition).ReadFloat()) * m_range + m_min;
}

// Volts that would come out NaN or infinite (a position out of step) are not sent.
void GuiModule::WriteVolts(double volts) {
    const float value = static_cast<float>(volts);
    if (std::isfinite(value)) PinRef(kGui2Dsp).WriteFloat(value);
}

}  // namespace anim_volts
