// The display operations through which the rest of the updater reaches the
// main dialog, and its two slots: the dialog window and the cancel hook.
// Before the dialog has recorded its window the operations do nothing.
#pragma once

#include <cstdint>

constexpr int UI_ID_PROGRESS = 1000;
constexpr int UI_ID_STATUS = 1002;

using UI_CANCEL_HOOK = void (*)();

void UI_SetDialogWindow(void* hwnd);
void* UI_GetDialogWindow();
void UI_SetCancelHook(UI_CANCEL_HOOK hook);
UI_CANCEL_HOOK UI_GetCancelHook();

void UI_ShowStatus(const char* text);
void UI_ShowJob(const char* text);
void UI_HideJob();
void UI_SetProgressRange(int32_t low, int32_t high); // also sets the position to 0
void UI_SetProgress(int32_t position);
// Posts a WM_COMMAND with the id to the dialog window (the worker's notifications).
void UI_PostCommand(uint32_t id);

// The user-interface thread's message pump, for loops that must keep the
// dialog alive while a job runs: waits for one message of this thread and
// dispatches it. Enter on the dialog is dropped: only Esc, the close box or
// an explicit press of Cancel ends a job.
void UI_PumpMessage();
// Serves only messages that other threads sent synchronously (the worker's
// progress calls) and returns at once; for waits that must not run handlers.
void UI_ServeSentMessages();
