// What a deliverable declares about itself: its identity and how to create its two sides.
// The frame's exported entry points (getModuleProperties, makeModule) read it; each
// deliverable defines exactly one `kvModuleIdentity`.
#pragma once

#include <cstdint>
#include <new>

#include "KVGUI_base.h"
#include "KVModule_base.h"

KV_FRAME_BEGIN

struct KVModuleIdentity {
    const char* name;
    const char* id;
    const char* about;
    bool sets_flags;              // flags written; otherwise left as the host passed it
    int32_t flags;
    bool sets_flags_ext;          // flags_ext written; otherwise left as the host passed it
    int32_t flags_ext;
    bool revision_for_any_index;  // frame_revision written whatever the index (else only for 0)
    KVModule_base* (*make_dsp)(kvaudioMaster callback, void* host_reference);
    KVGUI_base* (*make_gui)(kvaudioMaster callback, void* host_reference);  // null: no GUI side
};

template <class M>
KVModule_base* KVMakeDsp(kvaudioMaster callback, void* host_reference) {
    return new (std::nothrow) M(callback, host_reference);
}

template <class G>
KVGUI_base* KVMakeGui(kvaudioMaster callback, void* host_reference) {
    return new (std::nothrow) G(callback, host_reference);
}

KV_FRAME_END

// A global name, each deliverable's own (KV_ENTRY: the module's name in a linked build).
#ifdef KV_LINKED_MODULE
#define kvModuleIdentity KV_ENTRY(kvModuleIdentity)
#endif
extern const KVModuleIdentity kvModuleIdentity;
