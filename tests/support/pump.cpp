#include "tests/support/pump.h"

#include <windows.h>

void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeout_ms) {
            return false;
        }
        PumpMessages();
        Sleep(1);
    }
    return true;
}

void PumpFor(uint32_t ms) {
    PumpUntil([] { return false; }, ms);
}
