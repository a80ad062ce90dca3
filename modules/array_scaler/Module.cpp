// The array scaler's DSP side, which only describes the pins, and the deliverable's identity.
#include "Module.h"

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

}  // namespace array_scaler

const KVModuleIdentity kvModuleIdentity = {
    .name = "jx_VecMul",
    .id = "jx_VecMul",
    .about = "https://example.org/kolvex-modules",
    .sets_flags = true,
    .flags = 512,
    .sets_flags_ext = true,
    .flags_ext = 256,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<array_scaler::Module>,
    .make_gui = &KVMakeGui<array_scaler::GuiModule>,
};
