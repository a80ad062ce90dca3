// The two entry points every deliverable exports, answered from its kvModuleIdentity.
#include "KVModuleIdentity.h"

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

KV_EXPORT bool KV_ENTRY(getModuleProperties)(int32_t index, KVModuleInfo* info) {
    if (info == nullptr) return false;
    const KVModuleIdentity& m = kvModuleIdentity;
    if (m.revision_for_any_index || index == 0) info->frame_revision = KV_FRAME_REVISION;
    if (index != 0) return false;
    info->name = m.name;
    info->id = m.id;
    info->about = m.about;
    if (m.sets_flags) info->flags = m.flags;
    if (m.sets_flags_ext) info->flags_ext = m.flags_ext;
    return true;
}

KV_EXPORT void* KV_ENTRY(makeModule)(int32_t index, int32_t kind, kvaudioMaster callback,
                                     void* host_reference) {
    if (index != 0) return nullptr;
    const KVModuleIdentity& m = kvModuleIdentity;
    if (kind == KV_KIND_DSP && m.make_dsp != nullptr) {
        KVModule_base* dsp = m.make_dsp(callback, host_reference);
        return dsp != nullptr ? dsp->Record() : nullptr;
    }
    if (kind == KV_KIND_GUI && m.make_gui != nullptr) {
        KVGUI_base* gui = m.make_gui(callback, host_reference);
        return gui != nullptr ? gui->Record() : nullptr;
    }
    return nullptr;
}
