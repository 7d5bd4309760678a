// The serial layer's own opens, for com.cpp and nothing above it: an open can
// block for seconds (a Bluetooth port whose device is off), so each runs on a
// helper thread and is waited for at most COM_OPEN_BOUND_MS. The scan of
// COM1 .. COM256 and its handles (COM_ScanPorts, COM_CloseScanHandles in
// com.h) and the try of one port (COM_TryPort) live here too.
#pragma once

#include <windows.h>

#include "com/com.h"

#include <cstddef>
#include <cstdint>

// Room for "\\.\" and a device name of COM_DEVICE_NAME_SIZE, with some over.
constexpr size_t COM_PATH_SIZE = 200;

// path = "\\.\" + name, the name as it is (even when it already begins with
// "\\.\"), at most name_size characters of it.
void COM_FormPath(char (&path)[COM_PATH_SIZE], const char* name, size_t name_size);

// How a bounded open ended.
struct COM_OPENED {
    HANDLE handle;            // INVALID_HANDLE_VALUE unless it opened
    COM_OPEN_FAILURE failure; // NONE when it opened
    DWORD error;              // the platform's error when the open itself failed, else 0
};

// Opens the path for overlapped I/O. An open that takes longer than
// COM_OPEN_BOUND_MS is given up (its helper closes the handle that arrives
// later). While the last open given up on the same device is still blocked,
// none is started: the call waits for it within the bound, then answers
// TOO_SLOW. Every open of a chosen port comes through here. Any thread, never
// under the layer's lock.
COM_OPENED COM_OpenBounded(const char* path);

// Opens answered TOO_SLOW so far, the scan's included: given up after the
// bound, or refused (not started) while the last one given up on their
// device was still blocked; and opens given up on that are blocked still.
// Counted by whichever thread waits for opens (the user-interface thread
// choosing a port, the worker on first use and while reopening, the scan's
// and the tries' threads); still_blocked also by the opener threads.
struct COM_OPEN_COUNTS {
    uint32_t too_slow;
    uint32_t refused;
    uint32_t still_blocked;
};
COM_OPEN_COUNTS COM_GetOpenCounts();
