// What each entry of the port list shows beside its own text: what the
// system's device list says of its port. For a slow port in use, what it
// costs and what to set, in a note under the bar and the list's tooltip.
#include "app/port_entries.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "app/resource.h"
#include "app/scaling.h"

namespace {

// A latency timer up to this costs an update nothing worth a word.
constexpr uint32_t FAST_LATENCY_MS = 2;
// The latency timer's cost rounded to tens of seconds from this on.
constexpr uint32_t ROUND_TO_TENS_MS = 50000;
// Drawing: the margin before an entry's text and the gap before what follows
// it, in average character widths; the tooltip's width in pixels at 100 %.
constexpr int ENTRY_MARGIN_CHARS = 1;
constexpr int ENTRY_GAP_CHARS = 2;
constexpr int TIP_WIDTH_PX = 360;
constexpr int TIP_SHOWN_MS = 30000;

// --- State ------------------------------------------------------------------

HWND g_dialog = nullptr;
HWND g_tip = nullptr;
// Where what follows an entry's own text begins, in pixels from its margin.
int g_beside_at = 0;
// Blocks of the carried firmware, counted as the dialog starts (the image's
// lock is the worker's while it programs).
uint32_t g_blocks = 0;
UI_PORT_ADVICE g_advice = {};
// The device list the entries are drawn from.
COM_DEVICE g_devices[COM_MAX_DEVICES] = {};
int32_t g_device_count = 0;

// --- Helpers ----------------------------------------------------------------

const COM_DEVICE* FindDevice(int32_t port) {
    for (int32_t i = 0; i < g_device_count; ++i) {
        if (g_devices[i].port == port) {
            return &g_devices[i];
        }
    }
    return nullptr;
}

// "6,227"
void FormatThousands(char* out, size_t size, uint32_t value) {
    if (value < 1000) {
        std::snprintf(out, size, "%u", static_cast<unsigned>(value));
    } else if (value < 1000000) {
        std::snprintf(out, size, "%u,%03u", static_cast<unsigned>(value / 1000),
                      static_cast<unsigned>(value % 1000));
    } else {
        std::snprintf(out, size, "%u,%03u,%03u", static_cast<unsigned>(value / 1000000),
                      static_cast<unsigned>(value / 1000 % 1000),
                      static_cast<unsigned>(value % 1000));
    }
}

// Whole seconds, tens of them for a minute or so on: it is an estimate.
uint32_t CostSeconds(uint32_t blocks, uint32_t latency_ms) {
    const uint64_t ms = static_cast<uint64_t>(blocks) * latency_ms;
    if (ms >= ROUND_TO_TENS_MS) {
        return static_cast<uint32_t>((ms + 5000) / 10000 * 10);
    }
    return static_cast<uint32_t>((ms + 500) / 1000);
}

HFONT ListFont(HWND window) {
    return reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
}

// The average character width and the height of the window's font.
SIZE FontCell(HWND window) {
    const HDC dc = GetDC(window);
    const HGDIOBJ old = SelectObject(dc, ListFont(window));
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return SIZE{metrics.tmAveCharWidth, metrics.tmHeight};
}

int TextWidth(HDC dc, const char* text) {
    SIZE size = {};
    GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &size);
    return size.cx;
}

// Where the names begin, and the dropped list wide enough for the widest
// entry; with no names, the list as the system makes it.
void LayOutEntries(HWND ports) {
    const SIZE cell = FontCell(ports);
    const HDC dc = GetDC(ports);
    const HGDIOBJ old = SelectObject(dc, ListFont(ports));
    int widest_text = 0;
    int widest_beside = 0;
    const LRESULT count = SendMessageA(ports, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        UI_PORT_ENTRY entry;
        if (UI_GetPortEntry(ports, static_cast<int32_t>(i), &entry)) {
            const int text = TextWidth(dc, entry.text);
            const int beside = entry.beside[0] != '\0' ? TextWidth(dc, entry.beside) : 0;
            widest_text = text > widest_text ? text : widest_text;
            widest_beside = beside > widest_beside ? beside : widest_beside;
        }
    }
    SelectObject(dc, old);
    ReleaseDC(ports, dc);
    g_beside_at = widest_text + ENTRY_GAP_CHARS * cell.cx;
    int width = 0;
    if (widest_beside > 0) {
        width = 2 * ENTRY_MARGIN_CHARS * cell.cx + g_beside_at + widest_beside +
                GetSystemMetrics(SM_CXVSCROLL);
    }
    SendMessageA(ports, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
    InvalidateRect(ports, nullptr, TRUE);
}

// TTM_ADDTOOLA or TTM_UPDATETIPTEXTA for the window as a tool of the tip.
void SendTool(UINT message, HWND window, const char* text) {
    TOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = g_dialog;
    tool.uId = reinterpret_cast<UINT_PTR>(window);
    tool.lpszText = const_cast<char*>(text);
    SendMessageA(g_tip, message, 0, reinterpret_cast<LPARAM>(&tool));
}

// The tooltip's tools: the list, its edit field and the note.
void ForEachTool(UINT message, const char* text) {
    const HWND ports = GetDlgItem(g_dialog, IDC_PORTS);
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    SendTool(message, ports, text);
    if (GetComboBoxInfo(ports, &info) && info.hwndItem != nullptr) {
        SendTool(message, info.hwndItem, text);
    }
    SendTool(message, GetDlgItem(g_dialog, IDC_PORT_NOTE), text);
}

// Long enough lines to read, wrapped at the same width at every scaling.
void SetTipWidth(HWND dialog) {
    if (g_tip != nullptr) {
        const auto dpi = static_cast<int>(UI_GetWindowDpi(dialog));
        SendMessageA(g_tip, TTM_SETMAXTIPWIDTH, 0,
                     MulDiv(TIP_WIDTH_PX, dpi, static_cast<int>(UI_BASE_DPI)));
    }
}

void MakeTip(HWND dialog) {
    g_tip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                            WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr,
                            static_cast<HINSTANCE>(APP_Instance), nullptr);
    if (g_tip == nullptr) {
        return; // no tooltip: the note still says it
    }
    SetTipWidth(dialog);
    SendMessageA(g_tip, TTM_SETDELAYTIME, TTDT_AUTOPOP, TIP_SHOWN_MS);
    ForEachTool(TTM_ADDTOOLA, "");
    SendMessageA(g_tip, TTM_ACTIVATE, FALSE, 0);
}

} // namespace

// --- The dialog's life and the device list ----------------------------------

void UI_StartPortEntries(HWND dialog, uint32_t blocks) {
    g_dialog = dialog;
    g_device_count = 0;
    g_beside_at = 0;
    g_blocks = blocks;
    g_advice = UI_PORT_ADVICE{};
    ShowWindow(GetDlgItem(dialog, IDC_PORT_NOTE), SW_HIDE);
    MakeTip(dialog);
}

void UI_EndPortEntries() {
    if (g_tip != nullptr) {
        DestroyWindow(g_tip);
        g_tip = nullptr;
    }
    g_dialog = nullptr;
}

void UI_SetPortDevices(const COM_DEVICE* devices, int32_t count) {
    g_device_count = count < 0 ? 0 : count > COM_MAX_DEVICES ? COM_MAX_DEVICES : count;
    for (int32_t i = 0; i < g_device_count; ++i) {
        g_devices[i] = devices[i];
    }
}

void UI_LayOutPortEntries(HWND ports) {
    LayOutEntries(ports);
}

// --- The slow-port advice ---------------------------------------------------

void UI_UpdatePortAdvice(int32_t port, bool update_running) {
    UI_PORT_ADVICE advice = {};
    const COM_DEVICE* device = port >= 0 ? FindDevice(port) : nullptr;
    const uint32_t seconds = device != nullptr ? CostSeconds(g_blocks, device->latency_ms) : 0;
    if (device != nullptr && device->latency_ms > FAST_LATENCY_MS && seconds > 0 &&
        !update_running) {
        char blocks[16];
        FormatThousands(blocks, sizeof blocks, g_blocks);
        std::snprintf(advice.tip, sizeof advice.tip,
                      "COM%d's latency timer is %u ms. Every block's acknowledge waits for it: "
                      "%s blocks x %u ms is about %u s more an update.\r\nSet it to 1 ms: "
                      "Device Manager, the port, Properties, Port Settings, Advanced, Latency "
                      "Timer, 1 ms.",
                      static_cast<int>(port + 1), static_cast<unsigned>(device->latency_ms), blocks,
                      static_cast<unsigned>(device->latency_ms), static_cast<unsigned>(seconds));
        std::snprintf(advice.note, sizeof advice.note,
                      "COM%d is slow (latency timer %u ms): about %u s more an update. Set it to "
                      "1 ms.",
                      static_cast<int>(port + 1), static_cast<unsigned>(device->latency_ms),
                      static_cast<unsigned>(seconds));
    }
    if (std::strcmp(advice.tip, g_advice.tip) == 0 &&
        std::strcmp(advice.note, g_advice.note) == 0) {
        return;
    }
    g_advice = advice;
    const HWND note = GetDlgItem(g_dialog, IDC_PORT_NOTE);
    SetWindowTextA(note, g_advice.note);
    ShowWindow(note, g_advice.note[0] != '\0' ? SW_SHOW : SW_HIDE);
    if (g_tip != nullptr) {
        ForEachTool(TTM_UPDATETIPTEXTA, g_advice.tip);
        SendMessageA(g_tip, TTM_ACTIVATE, g_advice.tip[0] != '\0' ? TRUE : FALSE, 0);
    }
}

// --- Drawing ----------------------------------------------------------------

bool UI_MeasurePortEntry(HWND dialog, MEASUREITEMSTRUCT* item) {
    if (item->CtlType != ODT_COMBOBOX || item->CtlID != IDC_PORTS) {
        return false;
    }
    // Sent as the list is made, before it has the dialog's font: measured in
    // that font, which it is then given.
    item->itemHeight = static_cast<UINT>(FontCell(dialog).cy);
    return true;
}

bool UI_DrawPortEntry(const DRAWITEMSTRUCT* item) {
    if (item->CtlType != ODT_COMBOBOX || item->CtlID != IDC_PORTS) {
        return false;
    }
    const HDC dc = item->hDC;
    const bool selected = (item->itemState & ODS_SELECTED) != 0;
    const bool disabled = (item->itemState & ODS_DISABLED) != 0;
    FillRect(dc, &item->rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    UI_PORT_ENTRY entry;
    if (item->itemID != static_cast<UINT>(-1) &&
        UI_GetPortEntry(item->hwndItem, static_cast<int32_t>(item->itemID), &entry)) {
        const HGDIOBJ old = SelectObject(dc, ListFont(item->hwndItem));
        const int margin = ENTRY_MARGIN_CHARS * FontCell(item->hwndItem).cx;
        const int mode = SetBkMode(dc, TRANSPARENT);
        const COLORREF color = SetTextColor(dc, GetSysColor(disabled   ? COLOR_GRAYTEXT
                                                            : selected ? COLOR_HIGHLIGHTTEXT
                                                                       : COLOR_WINDOWTEXT));
        constexpr UINT FORMAT = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
        RECT place = item->rcItem;
        place.left += margin;
        DrawTextA(dc, entry.text, -1, &place, FORMAT);
        if (entry.beside[0] != '\0') {
            place.left += g_beside_at;
            SetTextColor(dc,
                         GetSysColor(selected && !disabled ? COLOR_HIGHLIGHTTEXT : COLOR_GRAYTEXT));
            DrawTextA(dc, entry.beside, -1, &place, FORMAT | DT_END_ELLIPSIS);
        }
        SetTextColor(dc, color);
        SetBkMode(dc, mode);
        SelectObject(dc, old);
    }
    if ((item->itemState & ODS_FOCUS) != 0) {
        DrawFocusRect(dc, &item->rcItem);
    }
    return true;
}

void UI_RescalePortList(HWND dialog) {
    const HWND ports = GetDlgItem(dialog, IDC_PORTS);
    const auto height = static_cast<LPARAM>(FontCell(dialog).cy);
    SendMessageA(ports, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), height);
    SendMessageA(ports, CB_SETITEMHEIGHT, 0, height);
    LayOutEntries(ports);
    SetTipWidth(dialog);
}

bool UI_GetPortEntry(HWND ports, int32_t index, UI_PORT_ENTRY* out) {
    std::memset(out, 0, sizeof *out);
    const LRESULT length = SendMessageA(ports, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length >= UI_ENTRY_TEXT_SIZE) {
        return false;
    }
    SendMessageA(ports, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(out->text));
    out->port =
        static_cast<int32_t>(SendMessageA(ports, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
    const COM_DEVICE* device = FindDevice(out->port);
    if (device == nullptr) {
        return true;
    }
    char name[COM_DEVICE_TEXT_SIZE];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(COM_DEVICE_TEXT_SIZE - 1),
                  device->name);
    const char* parts[3] = {name, nullptr, nullptr};
    char latency[32] = {};
    if (device->problem != 0) {
        parts[1] = "driver problem";
    }
    if (device->latency_ms > FAST_LATENCY_MS) {
        std::snprintf(latency, sizeof latency, "latency %u ms",
                      static_cast<unsigned>(device->latency_ms));
        parts[2] = latency;
    }
    size_t used = 0;
    for (const char* part : parts) {
        if (part == nullptr || part[0] == '\0') {
            continue;
        }
        const int wrote = std::snprintf(out->beside + used, sizeof out->beside - used, "%s%s",
                                        used > 0 ? ", " : "", part);
        if (wrote < 0 || static_cast<size_t>(wrote) >= sizeof out->beside - used) {
            break;
        }
        used += static_cast<size_t>(wrote);
    }
    return true;
}

void UI_GetPortAdvice(UI_PORT_ADVICE* out) {
    *out = g_advice;
}
