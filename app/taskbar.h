// The update on the window's taskbar button: its progress while it runs, red
// once it has failed, cleared on success and when the dialog ends; and a
// flash at its end while the window is not in front, until the technician
// comes back. Nothing here may change what the dialog does: a call that
// fails is left at that. User-interface thread only.
#pragma once

#include <windows.h>

#include <cstdint>

// The message the shell sends once the window's button exists (registered
// by name; Wine never sends it).
UINT UI_TaskbarButtonCreatedMessage();
// Takes hold of the button of the window: on the message above, and once
// after the dialog is shown.
void UI_TaskbarAttach(HWND dialog);
// Lets go of it, the button cleared: as the dialog ends.
void UI_TaskbarDetach();

enum class UI_TASKBAR_STATE : uint8_t { NONE, RUNNING, FAILED };

// An update begins (the bar empty), moves (position of high; a call only when
// the whole percent changes), or ends.
void UI_TaskbarBegin();
void UI_TaskbarProgress(int32_t position, int32_t high);
void UI_TaskbarEnd(bool success);

// What the button was last told, for tests: the platform's calls answer
// alike whether or not a shell shows them.
struct UI_TASKBAR_STATUS {
    bool attached;
    UI_TASKBAR_STATE state;
    int32_t percent;         // last progress set, 0 .. 100
    uint32_t progress_calls; // progress values set
    uint32_t flashes;        // flashes started
};
UI_TASKBAR_STATUS UI_GetTaskbarStatus();
