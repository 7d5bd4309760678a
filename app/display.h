// The display operations through which the rest of the updater reaches the
// main dialog, and its two slots: the dialog window and the cancel hook.
// Before the dialog has recorded its window the operations do nothing. The
// ones the target layer calls are declared there.
#pragma once

#include <windows.h>

#include <cstdint>

#include "target/display.h"

constexpr int UI_ID_PROGRESS = 1000;
constexpr int UI_ID_STATUS = 1002;
// Posted by the progress calls when the bar's whole percent changes, for the
// taskbar button, which is the dialog thread's: wparam the position above the
// range's low end, lparam the range's span.
constexpr UINT UI_PROGRESS_PERCENT = WM_APP + 6;

void UI_SetDialogWindow(void* hwnd);
void* UI_GetDialogWindow();
UI_CANCEL_HOOK UI_GetCancelHook();

void UI_ShowStatus(const char* text);
