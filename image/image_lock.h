// The platform mutex behind the image lock; the only platform calls of image/.
#pragma once

#include <cstdint>

void* IMAGE_LockCreate();
void IMAGE_LockDestroy(void* lock);
// true when the mutex was taken within the wait.
bool IMAGE_LockWait(void* lock, uint32_t timeout_ms);
void IMAGE_LockRelease(void* lock);
uint32_t IMAGE_LockThreadId();
