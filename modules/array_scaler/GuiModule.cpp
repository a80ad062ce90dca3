// The array scaler's user-interface side: every conversion, on pin change notifications.
#include <string>

#include "ArrayText.h"
#include "Module.h"

namespace array_scaler {

GuiModule::GuiModule(kvaudioMaster callback, void* host_reference)
    : KVGUI_base(callback, host_reference) {}

GuiModule::~GuiModule() {
    AskHost(GUIHOST_REGISTER, 0);
}

void GuiModule::OnGuiInit(bool flag) {
    AskHost(GUIHOST_REGISTER, 0);
    KVGUI_base::OnGuiInit(flag);
    // A factor of 0 would wipe the array; start from passing it through.
    if (!flag && PinRef(kMultiplyPin).ReadFloat() == 0.0f) PinRef(kMultiplyPin).WriteFloat(1.0f);
}

bool GuiModule::OnGuiOp10() {
    return true;
}

void GuiModule::OnGuiPinChanged(KVGuiPinRef& pin) {
    const int32_t changed = pin.index;
    if (changed == kArrayInPin || changed == kMultiplyPin || changed == kAddPin) {
        m_source = kArrayInPin;
    } else if (changed == kArrayOutPin) {
        m_source = kArrayOutPin;
    } else {
        return;
    }
    const bool forward = m_source == kArrayInPin;

    Elements elements{};
    const std::string text = PinRef(m_source).ReadText();
    if (text.size() < 2) return;  // a one-character list is not converted
    const int32_t n = SplitElements(text, elements);

    const float m = PinRef(kMultiplyPin).ReadFloat();
    const float a = PinRef(kAddPin).ReadFloat();
    for (int32_t k = 0; k < n; ++k) {
        elements[k] = forward ? ScaleForward(elements[k], m, a) : ScaleInverse(elements[k], m, a);
    }
    const std::string joined = JoinElements(elements, n);

    // The write comes back as a notification for the written pin; the flags keep that
    // notification from converting in the opposite direction.
    if (forward) {
        m_writing_out = 1;
        if (m_writing_in == 1) {
            m_writing_out = 0;
            return;
        }
        PinRef(kArrayOutPin).WriteText(joined);
        m_writing_out = 0;
    } else {
        m_writing_in = 1;
        if (m_writing_out == 1) {
            m_writing_in = 0;
            return;
        }
        PinRef(kArrayInPin).WriteText(joined);
        m_writing_in = 0;
    }
}

}  // namespace array_scaler
