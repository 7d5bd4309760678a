// Pictures and icons at the window's DPI.
#include "app/scaling.h"

#include "app/resource.h"

namespace {

// The scalings the artwork is drawn for, and their resources beside the 100 %
// one.
constexpr UINT kDrawnDpi[] = {120, 144, 192};
constexpr int kDrawnCount = 3;
struct SCALED_IDS {
    int base_id;
    int ids[kDrawnCount];
};
constexpr SCALED_IDS kScaled[] = {
    {IDB_HANDHELD, {IDB_HANDHELD_125, IDB_HANDHELD_150, IDB_HANDHELD_200}},
    {IDB_LOGO, {IDB_LOGO_125, IDB_LOGO_150, IDB_LOGO_200}},
};

// The images we loaded, so that only those are freed: the template's icon is
// shared and must not be.
const char kOwnedProp[] = "TidewellOwnedImage";

using GET_DPI_FOR_WINDOW = UINT(WINAPI*)(HWND);

HINSTANCE InstanceOf(HWND control) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(control, GWLP_HINSTANCE));
}

bool IsIconStatic(HWND control) {
    return (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

void FreeImage(HWND control, HANDLE image) {
    if (image == nullptr) {
        return;
    }
    if (IsIconStatic(control)) {
        DestroyIcon(static_cast<HICON>(image));
    } else {
        DeleteObject(image);
    }
}

// Sets the image and frees the one it replaces: any bitmap (the template's is
// the static's own), an icon only when it was ours.
void SetImage(HWND control, UINT type, HANDLE image) {
    const auto owned = static_cast<HANDLE>(GetPropA(control, kOwnedProp));
    const auto old = reinterpret_cast<HANDLE>(
        SendMessageA(control, STM_SETIMAGE, type, reinterpret_cast<LPARAM>(image)));
    if (old != nullptr && old != image && (type == IMAGE_BITMAP || old == owned)) {
        FreeImage(control, old);
    }
    SetPropA(control, kOwnedProp, image);
}

} // namespace

UINT UI_GetWindowDpi(HWND window) {
    // Absent before Windows 10 1607, so looked up rather than linked.
    static const auto get_dpi_for_window = reinterpret_cast<GET_DPI_FOR_WINDOW>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (get_dpi_for_window != nullptr) {
        const UINT dpi = get_dpi_for_window(window);
        if (dpi != 0) {
            return dpi;
        }
    }
    const HDC dc = GetDC(window);
    const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc != nullptr) {
        ReleaseDC(window, dc);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : UI_BASE_DPI;
}

int UI_PictureResource(int base_id, UINT dpi) {
    if (dpi <= UI_BASE_DPI) {
        return base_id;
    }
    for (const SCALED_IDS& scaled : kScaled) {
        if (scaled.base_id != base_id) {
            continue;
        }
        for (int i = 0; i < kDrawnCount; ++i) {
            if (dpi <= kDrawnDpi[i] || i == kDrawnCount - 1) {
                return scaled.ids[i];
            }
        }
    }
    return base_id;
}

void UI_ScalePicture(HWND control, const UI_PICTURE& picture, UINT dpi) {
    if (control == nullptr) {
        return;
    }
    // At a drawn scaling the bitmap comes at its own size; between two it is
    // reduced from the larger one, above 200 % enlarged from that.
    const int width = MulDiv(picture.width, static_cast<int>(dpi), UI_BASE_DPI);
    const int height = MulDiv(picture.height, static_cast<int>(dpi), UI_BASE_DPI);
    const auto bitmap = static_cast<HBITMAP>(
        LoadImageA(InstanceOf(control), MAKEINTRESOURCEA(UI_PictureResource(picture.base_id, dpi)),
                   IMAGE_BITMAP, width, height, LR_CREATEDIBSECTION));
    if (bitmap == nullptr) {
        return;
    }
    SetImage(control, IMAGE_BITMAP, bitmap);
    // The client area takes the picture, the border goes around it. (Wine's
    // static sizes the whole window to the bitmap, so its border would cover
    // the picture's edge.)
    RECT window = {};
    RECT client = {};
    GetWindowRect(control, &window);
    GetClientRect(control, &client);
    const int border_x = (window.right - window.left) - client.right;
    const int border_y = (window.bottom - window.top) - client.bottom;
    SetWindowPos(control, nullptr, 0, 0, width + border_x, height + border_y,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void UI_ScaleIcon(HWND control, int icon_id) {
    if (control == nullptr) {
        return;
    }
    // The frame already grows with the dialog's font; the icon is loaded at
    // its size from the nearest drawn one, so it is not stretched when shown.
    RECT client = {};
    GetClientRect(control, &client);
    const auto icon = static_cast<HICON>(LoadImageA(InstanceOf(control), MAKEINTRESOURCEA(icon_id),
                                                    IMAGE_ICON, client.right, client.bottom, 0));
    if (icon != nullptr) {
        SetImage(control, IMAGE_ICON, icon);
    }
}

void UI_ReleaseImage(HWND control) {
    if (control == nullptr) {
        return;
    }
    const auto owned = static_cast<HANDLE>(RemovePropA(control, kOwnedProp));
    if (owned == nullptr) {
        return;
    }
    const UINT type = IsIconStatic(control) ? IMAGE_ICON : IMAGE_BITMAP;
    SendMessageA(control, STM_SETIMAGE, type, 0);
    FreeImage(control, owned);
}
