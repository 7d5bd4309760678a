// The image lock without the platform: a timed mutex. The fuzzers and the
// firmware check run on one thread, so the wait never really waits; it is here
// so that an unbalanced lock or unlock still shows (a second take from "another
// thread" would hang).
#include "image/image_lock.h"

#include <chrono>
#include <mutex>
#include <new>

void* IMAGE_LockCreate() {
    return new (std::nothrow) std::timed_mutex();
}

void IMAGE_LockDestroy(void* lock) {
    delete static_cast<std::timed_mutex*>(lock);
}

bool IMAGE_LockWait(void* lock, uint32_t timeout_ms) {
    return static_cast<std::timed_mutex*>(lock)->try_lock_for(
        std::chrono::milliseconds(timeout_ms));
}

void IMAGE_LockRelease(void* lock) {
    static_cast<std::timed_mutex*>(lock)->unlock();
}

uint32_t IMAGE_LockThreadId() {
    return 1; // one thread only
}
