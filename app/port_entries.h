// What each entry of the port list shows beside its own text ("COM%d"): what
// the system's device list says of its port, in grey: the device's name, a
// driver problem, a slow latency timer. For a slow port in use, what it
// costs an update and what to set, in a note under the bar and the list's
// tooltip, while no update runs. The entries are drawn in the dialog's font,
// measured again at every scaling. User-interface thread only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "com/devices.h"

// As the dialog starts (no device known yet; the carried image's blocks, for
// what a slow port costs) and as it ends (the tooltip gone).
void UI_StartPortEntries(HWND dialog, uint32_t blocks);
void UI_EndPortEntries();
// The device list as last read: the entries are drawn from it.
void UI_SetPortDevices(const COM_DEVICE* devices, int32_t count);
// Where the names begin, and the dropped list wide enough for the widest
// entry, after the entries or the devices changed.
void UI_LayOutPortEntries(HWND ports);
// The note and the tooltip for the port in use (-1: none); nothing while an
// update runs.
void UI_UpdatePortAdvice(int32_t port, bool update_running);

// The owner-drawn list: WM_MEASUREITEM and WM_DRAWITEM, false when not the
// port list's; and the entries measured again for the dialog's font after a
// DPI change.
bool UI_MeasurePortEntry(HWND dialog, MEASUREITEMSTRUCT* item);
bool UI_DrawPortEntry(const DRAWITEMSTRUCT* item);
void UI_RescalePortList(HWND dialog);

// What an entry is drawn with: its own text, and what follows it in the grey
// text colour (empty where the device list knows nothing of the port).
constexpr int32_t UI_ENTRY_TEXT_SIZE = 16;
constexpr int32_t UI_ENTRY_BESIDE_SIZE = COM_DEVICE_TEXT_SIZE + 48;
struct UI_PORT_ENTRY {
    int32_t port;
    char text[UI_ENTRY_TEXT_SIZE];
    char beside[UI_ENTRY_BESIDE_SIZE];
};
bool UI_GetPortEntry(HWND ports, int32_t index, UI_PORT_ENTRY* out);

// What the technician is told of a slow port in use while no update runs:
// the port list's tooltip and the note under the bar; empty when nothing is.
constexpr int32_t UI_ADVICE_TIP_SIZE = 320;
constexpr int32_t UI_ADVICE_NOTE_SIZE = 160;
struct UI_PORT_ADVICE {
    char tip[UI_ADVICE_TIP_SIZE];
    char note[UI_ADVICE_NOTE_SIZE];
};
void UI_GetPortAdvice(UI_PORT_ADVICE* out);
