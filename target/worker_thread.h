// The worker's platform edge: one thread started with default stack size and
// no argument, and millisecond sleeps.
#pragma once

#include <cstdint>

// Runs WORKER_Thread on a new thread; false when the thread could not be made.
bool WORKER_CreateThread();
void WORKER_Sleep(uint32_t milliseconds);
