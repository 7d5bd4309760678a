#include "target/worker_thread.h"

#include <windows.h>

#include "target/worker.h"

namespace {

DWORD WINAPI WorkerEntry(LPVOID argument) {
    return WORKER_Thread(argument);
}

} // namespace

bool WORKER_CreateThread() {
    HANDLE thread = CreateThread(nullptr, 0, WorkerEntry, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    // Nobody waits on the handle: the worker reports its end through the
    // running flag that WORKER_Stop watches.
    CloseHandle(thread);
    return true;
}

void WORKER_Sleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}
