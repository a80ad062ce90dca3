// Where the frame's names live. A deliverable is a shared library of its own, so there the
// frame's classes are plain global names and its entry points are getModuleProperties and
// makeModule. A program that links several modules in (the WebAssembly build) compiles each
// module with KV_LINKED_MODULE set to a name of its own: the frame then lives in an inline
// namespace of that module, so every module keeps its own copy of the frame (of its own
// revision, with its own per-library state), and its entry points and identity carry the
// module's name (twin_op_getModuleProperties, twin_op_makeModule, twin_op_kvModuleIdentity).
#pragma once

#ifdef KV_LINKED_MODULE
#define KV_LINKED_JOIN2(a, b) a##b
#define KV_LINKED_JOIN(a, b) KV_LINKED_JOIN2(a, b)
#define KV_FRAME_BEGIN inline namespace KV_LINKED_JOIN(kv_frame_, KV_LINKED_MODULE) {
#define KV_FRAME_END }
#define KV_ENTRY(name) KV_LINKED_JOIN(KV_LINKED_MODULE, KV_LINKED_JOIN(_, name))
#else
#define KV_FRAME_BEGIN
#define KV_FRAME_END
#define KV_ENTRY(name) name
#endif
