// The serial layer's own opens, for com.cpp and nothing above it: an open can
// block for seconds (a Bluetooth port whose device is off), so each runs on a
// helper thread and is waited for at most COM_OPEN_BOUND_MS. The scan of
// COM1 .. COM256 and its handles (COM_ScanPorts, COM_CloseScanHandles in
// com.h) live here too.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Room for "\\.\" and a device name of COM_DEVICE_NAME_SIZE, with some over.
constexpr size_t COM_PATH_SIZE = 200;

// path = "\\.\" + name, the name as it is (even when it already begins with
// "\\.\"), at most name_size characters of it.
void COM_FormPath(char (&path)[COM_PATH_SIZE], const char* name, size_t name_size);

// The port's handle, opened for overlapped I/O, or INVALID_HANDLE_VALUE when
// the open failed or took longer than COM_OPEN_BOUND_MS (its helper closes the
// handle that arrives later). Every open of a chosen port comes through here.
// Any thread, never under the layer's lock.
HANDLE COM_OpenBounded(const char* path);

// Opens given up as too slow so far, the scan's included.
uint32_t COM_OpensTooSlow();
