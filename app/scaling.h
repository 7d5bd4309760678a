// The dialogs' pictures and icons drawn for the window's display scaling. The
// manifest declares per-monitor DPI awareness, so Windows does not stretch the
// window: the pictures must follow its DPI themselves.
#pragma once

#include <windows.h>

constexpr UINT UI_BASE_DPI = 96; // 100 %

// A bitmap resource and its size at 100 %.
struct UI_PICTURE {
    int base_id;
    int width;
    int height;
};

// The window's DPI: the system's per-window value where it has one, else the
// screen's.
UINT UI_GetWindowDpi(HWND window);
// The resource drawn for the DPI: the smallest scaling at or above it, 200 %
// above that.
int UI_PictureResource(int base_id, UINT dpi);
// Puts the picture drawn for the DPI into the bitmap static, sizes the static
// to it and frees the bitmap it replaces.
void UI_ScalePicture(HWND control, const UI_PICTURE& picture, UINT dpi);
// Puts the icon, loaded at the icon static's size, into it.
void UI_ScaleIcon(HWND control, int icon_id);
// Frees what the two above put into the static; before the static goes.
void UI_ReleaseImage(HWND control);
