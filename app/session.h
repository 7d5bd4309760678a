// Keeping the machine up while an update runs: a system that sleeps or a
// session that ends mid-update leaves the handheld's flash half written.
#pragma once

#include <windows.h>

#include <cstdint>

// What SetThreadExecutionState is given; a test puts a recorder here, nullptr
// restores the system's.
using UI_EXECUTION_STATE_HANDLER = uint32_t (*)(uint32_t flags);
void UI_SetExecutionStateHandler(UI_EXECUTION_STATE_HANDLER handler);

// Keeps the system from sleeping and gives the window a reason that blocks
// the session's end; the release undoes both.
void UI_HoldSession(HWND window);
void UI_ReleaseSession(HWND window);
