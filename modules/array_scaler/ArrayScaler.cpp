// The array scaler's two sides and the deliverable's identity.
#include "ArrayScaler.h"

#include <string>

#include "ArrayText.h"
#include "KVModuleIdentity.h"
#include "KVPinRow.h"

namespace array_scaler {

bool Module::DescribePin(int32_t index, KVPinProperties* properties) {
    // The pins as the user sees them. Every pin belongs to the user-interface side (the DSP
    // side builds no KVPin); none is bound to a member or has a default or choices.
    //   "Array In"     text   e.g. "1,2,3"; any length; elements past the 128th are ignored
    //   "Multiply by"  float  0 is made 1 when the user-interface side starts
    //   "Add"          float
    //   "Array Out"    text   "Array In" × "Multiply by" + "Add"; editing it rewrites
    //                         "Array In"; elements past the 128th are ignored
    static constexpr KVPinRow kPins[] = {
        {"Array In", DR_INPUT, DT_STRING, nullptr, nullptr, IO_UI_COMMUNICATION},
        {"Multiply by", DR_INPUT, DT_REAL32, nullptr, nullptr, IO_UI_COMMUNICATION},
        {"Add", DR_INPUT, DT_REAL32, nullptr, nullptr, IO_UI_COMMUNICATION},
        {"Array Out", DR_OUT, DT_STRING, nullptr, nullptr, IO_UI_COMMUNICATION},
    };
    return KVDescribe(kPins, index, properties);
}

void Module::Open() {
    ChooseProcessFunction(&Module::GoDormant);
    KVModule_base::Open();
}

void Module::GoDormant(int32_t, int32_t) {
    AskHost(HOST_DORMANT);
}

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

const KVModuleIdentity kvModuleIdentity = {
    "jx_VecMul",
    "jx_VecMul",
    "https://example.org/kolvex-modules",
    true,
    512,
    true,
    256,
    true,
    &KVMakeDsp<array_scaler::Module>,
    &KVMakeGui<array_scaler::GuiModule>,
};
