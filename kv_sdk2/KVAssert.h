// Debug-build precondition checks of the frame: a failed check prints its message and stops.
// Release builds (NDEBUG) check nothing.
#pragma once

#include "KVLinkage.h"

KV_FRAME_BEGIN
[[noreturn]] void kvAssertFailed(const char* message, const char* file, int line);
KV_FRAME_END

#ifdef NDEBUG
#define KV_ASSERT(cond, message) ((void)0)
#else
#define KV_ASSERT(cond, message) ((cond) ? (void)0 : kvAssertFailed(message, __FILE__, __LINE__))
#endif
