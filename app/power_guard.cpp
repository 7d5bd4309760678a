// The guard against sleep and shutdown while an update runs: the execution
// state, and the shutdown-block reason on the dialog window.
#include "app/power_guard.h"

#include <windows.h>

#include "app/display.h"
#include "target/display.h"

namespace {

const wchar_t kShutdownReason[] =
    L"A firmware update is running. Do not switch off the handheld until it has finished.";

uint32_t SetSystemExecutionState(uint32_t flags) {
    return SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags));
}

UI_EXECUTION_STATE_HANDLER g_execution_state = SetSystemExecutionState;

} // namespace

void UI_SetExecutionStateHandler(UI_EXECUTION_STATE_HANDLER handler) {
    g_execution_state = handler != nullptr ? handler : SetSystemExecutionState;
}

void UI_HoldSession() {
    g_execution_state(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    // The reason only explains the block; what blocks is the dialog's answer
    // to WM_QUERYENDSESSION.
    const HWND window = static_cast<HWND>(UI_GetDialogWindow());
    if (window != nullptr) {
        ShutdownBlockReasonCreate(window, kShutdownReason);
    }
}

void UI_ReleaseSession() {
    const HWND window = static_cast<HWND>(UI_GetDialogWindow());
    if (window != nullptr) {
        ShutdownBlockReasonDestroy(window);
    }
    g_execution_state(ES_CONTINUOUS);
}
