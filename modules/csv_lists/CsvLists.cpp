// The identity of one list converter deliverable: the float variant, or the integer variant
// when CSV_LISTS_INTEGERS is defined (the build compiles this file once for each).
#include "CsvLists.h"

#include "KVModuleIdentity.h"

namespace {
#ifdef CSV_LISTS_INTEGERS
using List = csv_lists::IntList;
#else
using List = csv_lists::FloatList;
#endif
}  // namespace

const KVModuleIdentity kvModuleIdentity = {
    List::kName,
    List::kName,
    List::kAbout,
    true,
    512,
    true,
    256,
    true,
    &KVMakeDsp<csv_lists::Module<List>>,
    &KVMakeGui<csv_lists::GuiModule<List>>,
};
