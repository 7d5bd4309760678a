// The main dialog (port list, status line, progress bar, Start and Cancel/Ok)
// and the About box opened from its system menu.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr int32_t UI_TITLE_SIZE = 128;
constexpr int32_t UI_STATUS_TEXT_SIZE = 160;
// Posted to the main dialog when the port scan has ended: the list is filled
// then, if it was not at the start.
constexpr UINT UI_PORTS_FOUND = WM_APP + 2;
// The main dialog's result when the scan found no port.
constexpr int APP_DIALOG_NO_PORT = 2;

extern const char UI_PRODUCT_NAME[];
extern const char UI_DEVICE_LEGAL_LINE[];
extern const char UI_ENGINE_LEGAL_LINE[];

INT_PTR CALLBACK MainDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK AboutDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// Places the window a third of the way down the desktop, centred across it,
// at the top of the z-order; its size is kept.
void UI_CenterWindow(HWND hwnd, int width, int height);
// Switches Start for Cancel, runs the update and shows how it ended.
void UI_RunUpdate();

// "Tidewell Handheld v<major>.<minor>.<patch>": the caption, the title control and
// the About box.
const char* UI_GetTitle();
// The dialog's view of the target and the pending Start request.
bool UI_IsTargetPresent();
bool UI_IsStartRequested();
