// For tests: stand-ins for the two platform calls with which the serial layer
// starts a read and cancels one, with the arguments and results of ReadFileEx
// and CancelIoEx. Null, the default, makes the real calls.
#pragma once

#include <windows.h>

using COM_START_READ = BOOL(WINAPI*)(HANDLE file, LPVOID buffer, DWORD count,
                                     LPOVERLAPPED overlapped,
                                     LPOVERLAPPED_COMPLETION_ROUTINE routine);
using COM_CANCEL_READ = BOOL(WINAPI*)(HANDLE file, LPOVERLAPPED overlapped);

// Set while no read is in progress.
void COM_SetReadCalls(COM_START_READ start, COM_CANCEL_READ cancel);
