// No worker thread in the fuzzers: they call the job functions directly.
#include "target/worker_thread.h"

bool WORKER_CreateThread() {
    return false;
}

void WORKER_Sleep(uint32_t) {}
