// The identity of one list converter deliverable: the float variant, or the integer variant
// when CSV_LISTS_INTEGERS is defined (the build compiles this file once for each).
#include "Module.h"

#include "KVModuleIdentity.h"

namespace {
#ifdef CSV_LISTS_INTEGERS
using List = csv_lists::IntList;
#else
using List = csv_lists::FloatList;
#endif
}  // namespace

const KVModuleIdentity kvModuleIdentity = {
    .name = List::kName,
    .id = List::kName,
    .about = List::kAbout,
    .sets_flags = true,
    .flags = 512,
    .sets_flags_ext = true,
    .flags_ext = 256,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<csv_lists::Module<List>>,
    .make_gui = &KVMakeGui<csv_lists::GuiModule<List>>,
};
