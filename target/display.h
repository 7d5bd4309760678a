// What the target layer needs from the dialog above it: the job's caption and
// progress bar, the worker's notifications, the message pumps that the job
// runner waits in, and the cancel hook. Declared here, defined by the
// application's display operations; before the dialog exists they do nothing.
#pragma once

#include <cstdint>

using UI_CANCEL_HOOK = void (*)();

void UI_SetCancelHook(UI_CANCEL_HOOK hook);
void UI_ShowJob(const char* text);
void UI_HideJob();
// Synchronous: they complete once the user-interface thread dispatches them.
void UI_SetProgressRange(int32_t low, int32_t high); // also sets the position to 0
void UI_SetProgress(int32_t position);
// Posts a WM_COMMAND with the id to the dialog window: the worker's
// notifications, these.
constexpr uint32_t ID_NOTIFY_TICK = 0; // after every poll; wakes a waiting loop
constexpr uint32_t ID_NOTIFY_CONNECTED = 1024;
constexpr uint32_t ID_NOTIFY_DISCONNECTED = 1025;
void UI_PostCommand(uint32_t id);
// Around an update: keeps the machine awake and the session from ending (the
// flash would be left half written); the release undoes both.
void UI_HoldSession();
void UI_ReleaseSession();

// The user-interface thread's message pump, for loops that must keep the
// dialog alive while a job runs: waits for one message of this thread and
// dispatches it. Enter on the dialog is dropped: only Esc, the close box or
// an explicit press of Cancel ends a job.
void UI_PumpMessage();
// Serves only messages that other threads sent synchronously (the worker's
// progress calls) and returns at once; for waits that must not run handlers.
void UI_ServeSentMessages();
