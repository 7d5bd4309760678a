// The main dialog's port list: filled from the scan, the first port that
// opens used, the entry of the port in use always the one selected, and a
// pick of the technician's opening the port picked. The entry's text is
// "COM%d", what the list sorts by; its item data is the port number (0 is
// COM1). What each entry shows beside it is app/port_entries'.
//
// After the start the list follows the device-change messages: a port that
// arrives is tried on a thread of the picker's and listed once it opens (and
// used, while nobody has chosen and no handheld has answered); a port that
// goes away leaves the list unless it is the one in use. The picker's
// threads report to the dialog by the messages below. User-interface thread
// only, but for those threads.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/port_entries.h"

// Posted by a try of an arrived port: wparam the port, lparam the
// COM_OPEN_FAILURE in its low byte and the picker's session above it.
constexpr UINT UI_PORT_TRIED = WM_APP + 4;
// Posted when the device list has been read again.
constexpr UINT UI_DEVICES_READ = WM_APP + 5;

// As the dialog starts, before the list is filled: the tooltip, the
// device-interface notices, and the first read of the device list (on a
// thread of its own). And as it ends: the notices given back, and results
// still to come dropped.
void UI_StartPortPicker(HWND dialog);
void UI_EndPortPicker();

// The scan's ports into the list (the scan's handles closed), and any that
// arrived while it ran; the first of them in scan order that opens is used
// and selected. The count listed: none leaves the list empty.
int32_t UI_FillPortList(HWND ports);
// The selection follows the port in the current settings.
void UI_SelectPortInUse(HWND ports);

// Each of these may open the port in use anew; true when it did (or tried),
// so the dialog looks at whether it is open.
// The technician picked an entry: its port is opened unless it is in use and
// open.
bool UI_OnPortPicked(HWND ports);
// WM_DEVICECHANGE's event and data.
bool UI_OnDeviceChange(HWND dialog, WPARAM event, LPARAM data);
bool UI_OnPortTried(HWND dialog, WPARAM wparam, LPARAM lparam);
void UI_OnDevicesRead(HWND dialog);

// A handheld has answered: from now on the port in use changes only by a
// pick.
void UI_NoteTargetAnswered();
// Around an update: the list is disabled from its start for the dialog's
// life, and the slow-port advice hidden while it runs.
void UI_PortsUpdateBegins(HWND dialog);
void UI_PortsUpdateEnded(HWND dialog);

// A look at the picker, for tests.
struct UI_PORT_PICKER_STATUS {
    int32_t threads; // the picker's threads still running
    uint32_t tries;  // tries of arrived ports started
    uint32_t reads;  // device lists taken in
    bool notices;    // registered for the ports' device-interface notices
};
UI_PORT_PICKER_STATUS UI_GetPortPickerStatus();
