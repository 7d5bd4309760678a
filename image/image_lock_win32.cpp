// The image lock on Win32: an unnamed mutex, not initially owned.
#include "image/image_lock.h"

#include <windows.h>

void* IMAGE_LockCreate() {
    return CreateMutexA(nullptr, FALSE, nullptr);
}

void IMAGE_LockDestroy(void* lock) {
    if (lock != nullptr) {
        CloseHandle(static_cast<HANDLE>(lock));
    }
}

bool IMAGE_LockWait(void* lock, uint32_t timeout_ms) {
    DWORD result = WaitForSingleObject(static_cast<HANDLE>(lock), timeout_ms);
    // An abandoned mutex is ours now; its former holder thread is gone.
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void IMAGE_LockRelease(void* lock) {
    ReleaseMutex(static_cast<HANDLE>(lock));
}

uint32_t IMAGE_LockThreadId() {
    return GetCurrentThreadId();
}
