// The display operations that target/display.h declares for the layer below,
// and the dialog's own (display.h): the status line, the progress bar, the
// two slots, and the message pumps the job runner waits in.
#include "app/display.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>

namespace {

// Written on the user-interface thread, read by the worker as well.
std::atomic<HWND> g_dialog{nullptr};
// Installed by the job runner as a job or an update starts (the worker's
// cancel request), called by the dialog's Cancel, Esc and close box; both on
// the user-interface thread.
UI_CANCEL_HOOK g_cancel_hook = nullptr;
// The progress bar as UI_SetProgressRange found it, with the dialog it was
// found in: a job moves the bar a dozen thousand times, and each lookup of a
// control of another thread's window costs a call into the window system.
// Written and read by the thread that sets the progress (the worker); the
// user-interface thread clears the dialog whenever it records a window, as a
// new dialog may reuse a destroyed one's handle.
std::atomic<HWND> g_bar_dialog{nullptr};
std::atomic<HWND> g_bar{nullptr};
// The range as UI_SetProgressRange set it, and the whole percent last posted
// (-1: none since). Written and read by the thread that sets the progress.
std::atomic<int32_t> g_bar_low{0};
std::atomic<int32_t> g_bar_span{0};
std::atomic<int32_t> g_bar_percent{-1};
constexpr int64_t PERCENT_FULL = 100;

HWND ControlOf(HWND dialog, int id) {
    return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

HWND Control(int id) {
    return ControlOf(g_dialog.load(), id);
}

void SetStatusText(const char* text) {
    const HWND status = Control(UI_ID_STATUS);
    if (status != nullptr) {
        SetWindowTextA(status, text != nullptr ? text : "");
    }
}

void Show(int id, int how) {
    const HWND control = Control(id);
    if (control != nullptr) {
        ShowWindow(control, how);
    }
}

// Posted, never sent: the worker must not wait for the shell's button. Once
// a whole percent, so about a hundred times a job, not once a block.
void PostPercent(HWND dialog, int32_t position) {
    const int64_t span = g_bar_span.load();
    if (span <= 0) {
        return;
    }
    int64_t offset = static_cast<int64_t>(position) - g_bar_low.load();
    offset = offset < 0 ? 0 : offset > span ? span : offset;
    const auto percent = static_cast<int32_t>(offset * PERCENT_FULL / span);
    if (percent == g_bar_percent.load()) {
        return;
    }
    g_bar_percent.store(percent);
    PostMessageA(dialog, UI_PROGRESS_PERCENT, static_cast<WPARAM>(offset),
                 static_cast<LPARAM>(span));
}

bool IsEnterKey(const MSG& msg) {
    return (msg.message == WM_KEYDOWN || msg.message == WM_KEYUP || msg.message == WM_CHAR) &&
           msg.wParam == VK_RETURN;
}

} // namespace

void UI_SetDialogWindow(void* hwnd) {
    g_bar_dialog.store(nullptr);
    g_dialog.store(static_cast<HWND>(hwnd));
}

void* UI_GetDialogWindow() {
    return g_dialog.load();
}

void UI_SetCancelHook(UI_CANCEL_HOOK hook) {
    g_cancel_hook = hook;
}

UI_CANCEL_HOOK UI_GetCancelHook() {
    return g_cancel_hook;
}

void UI_ShowStatus(const char* text) {
    SetStatusText(text);
    Show(UI_ID_STATUS, SW_SHOW);
}

void UI_ShowJob(const char* text) {
    SetStatusText(text);
    Show(UI_ID_STATUS, SW_SHOW);
    Show(UI_ID_PROGRESS, SW_SHOW);
}

void UI_HideJob() {
    Show(UI_ID_STATUS, SW_HIDE);
    Show(UI_ID_PROGRESS, SW_HIDE);
}

// SendMessage, not PostMessage: a worker caller waits until the dialog's thread
// has moved the bar, so the bar never lags behind the job.
void UI_SetProgressRange(int32_t low, int32_t high) {
    const HWND dialog = g_dialog.load();
    const HWND bar = ControlOf(dialog, UI_ID_PROGRESS);
    g_bar.store(bar);
    g_bar_dialog.store(dialog);
    if (bar == nullptr) {
        return;
    }
    SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    g_bar_low.store(low);
    g_bar_span.store(high - low);
    g_bar_percent.store(-1);
    PostPercent(dialog, 0);
}

void UI_SetProgress(int32_t position) {
    const HWND dialog = g_dialog.load();
    if (dialog == nullptr) {
        return;
    }
    // Another dialog since the range was set: look again.
    const HWND bar =
        g_bar_dialog.load() == dialog ? g_bar.load() : ControlOf(dialog, UI_ID_PROGRESS);
    if (bar != nullptr) {
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        PostPercent(dialog, position);
    }
}

void UI_PostCommand(uint32_t id) {
    const HWND dialog = g_dialog.load();
    if (dialog != nullptr) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    }
}

void UI_PumpMessage() {
    MSG msg;
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
        return;
    }
    // Keyboard input for the dialog goes through its own navigation, so Esc,
    // Space and Tab keep working while a job runs. Enter does not: it would
    // press the focused Cancel button, and a second Enter given to start an
    // update would abort it after the flash was cleared.
    const HWND dialog = g_dialog.load();
    if (dialog != nullptr && (msg.hwnd == dialog || IsChild(dialog, msg.hwnd))) {
        if (IsEnterKey(msg)) {
            return;
        }
        if (IsDialogMessageA(dialog, &msg)) {
            return;
        }
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void UI_ServeSentMessages() {
    MSG msg;
    // Peeking with the sent-message filter delivers pending cross-thread
    // SendMessage calls and leaves every posted message in the queue.
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
