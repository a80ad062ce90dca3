// Identity of the deliverable mxt_AnimVolts: its name, help text and its two sides.
#include "AnimVolts.h"
#include "KVModuleIdentity.h"

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
    kName,
    kName,
    kAbout,
    true,  // flags written
    64,
    false,  // flags_ext left as the host passed it
    0,
    false,  // frame_revision written for module 0 only
    &KVMakeDsp<anim_volts::Module>,
    &KVMakeGui<anim_volts::GuiModule>,
};
