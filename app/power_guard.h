// Keeping the machine up while an update runs: a system that sleeps or a
// session that ends mid-update leaves the handheld's flash half written.
#pragma once

#include <cstdint>

// What SetThreadExecutionState is given; a test puts a recorder here, nullptr
// restores the system's.
using UI_EXECUTION_STATE_HANDLER = uint32_t (*)(uint32_t flags);
void UI_SetExecutionStateHandler(UI_EXECUTION_STATE_HANDLER handler);

// UI_HoldSession and UI_ReleaseSession, which the update calls around its
// jobs, are declared with the other display operations (target/display.h).
