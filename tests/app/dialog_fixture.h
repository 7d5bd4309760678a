// A hidden main dialog made from the program's own template, for tests.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/resource.h"
#include "tests/support/pump.h"

inline HINSTANCE TestInstance() {
    return GetModuleHandleA(nullptr);
}

inline HWND CreateMainTemplate(DLGPROC proc) {
    InitCommonControls();
    return CreateDialogParamA(TestInstance(), MAKEINTRESOURCEA(IDD_MAIN), nullptr, proc, 0);
}

// The control's own visibility flag: the dialog itself stays hidden.
inline bool IsShown(HWND dialog, int id) {
    return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

inline std::string ControlText(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// The icon static (it has no id of its own).
inline HWND FindIcon(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            return child;
        }
    }
    return nullptr;
}

// The engine's logo: the bitmap static that is not the handheld's picture.
inline HWND FindLogo(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP &&
            GetDlgCtrlID(child) != IDC_PICTURE) {
            return child;
        }
    }
    return nullptr;
}

// The size of the picture a static shows, and of its client area.
inline SIZE ImageSize(HWND control) {
    const bool icon = (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    const auto image = reinterpret_cast<HANDLE>(
        SendMessageA(control, STM_GETIMAGE, icon ? IMAGE_ICON : IMAGE_BITMAP, 0));
    BITMAP info = {};
    ICONINFO icon_info = {};
    if (icon && GetIconInfo(static_cast<HICON>(image), &icon_info)) {
        GetObjectA(icon_info.hbmColor, sizeof info, &info);
        DeleteObject(icon_info.hbmColor);
        DeleteObject(icon_info.hbmMask);
    } else if (!icon) {
        GetObjectA(image, sizeof info, &info);
    }
    return SIZE{info.bmWidth, info.bmHeight};
}

inline SIZE ClientSize(HWND control) {
    RECT client = {};
    GetClientRect(control, &client);
    return SIZE{client.right, client.bottom};
}

// The dialog manager may turn a control's WS_BORDER into a client edge.
inline bool IsBordered(HWND control) {
    return (GetWindowLongA(control, GWL_STYLE) & WS_BORDER) != 0 ||
           (GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
}

// Where the control lies in the dialog's client area, against the place the
// template gives it in dialog units.
inline bool IsAtTemplatePlace(HWND dialog, HWND control, int x, int y, int width, int height) {
    RECT want = {x, y, x + width, y + height};
    MapDialogRect(dialog, &want);
    RECT have = {};
    GetWindowRect(control, &have);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&have), 2);
    return EqualRect(&want, &have) != FALSE;
}

// The room the control's text needs in its font, laid out with DrawText's
// flags from its client area, and that area.
inline void TextRoom(HWND control, UINT flags, RECT* need, RECT* client) {
    char text[256] = {};
    GetWindowTextA(control, text, sizeof text);
    const HDC dc = GetDC(control);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    GetClientRect(control, client);
    *need = *client;
    DrawTextA(dc, text, -1, need, flags | DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
}

// Whether the control's text fits its width in the control's font, on one line.
inline bool FitsOnOneLine(HWND dialog, int id) {
    RECT need = {};
    RECT client = {};
    TextRoom(GetDlgItem(dialog, id), DT_SINGLELINE, &need, &client);
    return need.right <= client.right;
}

// Whether the control's text, wrapped at its width, fits its height.
inline bool FitsInItsLines(HWND dialog, int id) {
    RECT need = {};
    RECT client = {};
    TextRoom(GetDlgItem(dialog, id), DT_WORDBREAK, &need, &client);
    return need.right <= client.right && need.bottom <= client.bottom;
}

// The About box, when one is open on this thread.
inline HWND FindAboutBox() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM param) -> BOOL {
            char caption[64] = {};
            GetWindowTextA(window, caption, sizeof caption);
            if (lstrcmpA(caption, "About Varnel Firmware Updater...") != 0) {
                return TRUE;
            }
            *reinterpret_cast<HWND*>(param) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

inline int ProgressPosition(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

// A key pressed and released, posted to the window as the keyboard would.
inline void PostKey(HWND window, WORD key) {
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(key, 0)) << 16;
    PostMessageA(window, WM_KEYDOWN, key, 1 | scan);
    PostMessageA(window, WM_KEYUP, key, 1 | scan | (3u << 30));
}
