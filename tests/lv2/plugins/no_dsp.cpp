// test_lv2_no_dsp: a deliverable whose makeModule makes no instance of either side.
#include "KVModuleIdentity.h"

const KVModuleIdentity kvModuleIdentity = {
    "test_lv2_no_dsp", "test_lv2_no_dsp", "", false, 0, false, 0, true, nullptr, nullptr};
