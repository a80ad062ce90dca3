// The counter library's lock entries: pthread's lock functions wrapped, counting on threads
// inside a thread window and passing every call on to the C library's own entry. Preloaded
// (or linked), they are what the program, its libraries and plug-ins reach.
#include <dlfcn.h>
#include <pthread.h>

#include "counters.h"

namespace {

// The C library's own entries, found behind ours: looked up at start-up, or at the first
// call when a lock is taken before that.
using MutexFn = int (*)(pthread_mutex_t*);
using RwlockFn = int (*)(pthread_rwlock_t*);
MutexFn g_mutex_lock, g_mutex_trylock;
RwlockFn g_rdlock, g_wrlock;

template <class Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor(101))) void FindLockEntries() {
    g_mutex_lock = Next<MutexFn>("pthread_mutex_lock");
    g_mutex_trylock = Next<MutexFn>("pthread_mutex_trylock");
    g_rdlock = Next<RwlockFn>("pthread_rwlock_rdlock");
    g_wrlock = Next<RwlockFn>("pthread_rwlock_wrlock");
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    kvhost::counters::Locked();
    if (g_mutex_lock == nullptr) FindLockEntries();
    return g_mutex_lock(mutex);
}
__attribute__((visibility("default"))) int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    kvhost::counters::Locked();
    if (g_mutex_trylock == nullptr) FindLockEntries();
    return g_mutex_trylock(mutex);
}
__attribute__((visibility("default"))) int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept {
    kvhost::counters::Locked();
    if (g_rdlock == nullptr) FindLockEntries();
    return g_rdlock(lock);
}
__attribute__((visibility("default"))) int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept {
    kvhost::counters::Locked();
    if (g_wrlock == nullptr) FindLockEntries();
    return g_wrlock(lock);
}

}  // extern "C"
