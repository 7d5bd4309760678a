// The main dialog's port list: filled from the scan, the first port that
// opens used, the entry of the port in use always the one selected, and a
// pick of the technician's opening the port picked. The entry's text is
// "COM%d", what the list sorts by; its item data is the port number (0 is
// COM1).
#pragma once

#include <windows.h>

#include <cstdint>

// The scan's ports into the list (the scan's handles closed), the first of
// them in scan order that opens is used and selected. The count listed.
int32_t UI_FillPortList(HWND ports);
// The selection follows the port in the current settings.
void UI_SelectPortInUse(HWND ports);
// The technician picked an entry: its port is opened unless it is in use.
void UI_OnPortPicked(HWND ports);
