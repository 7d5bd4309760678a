// For tests: stand-ins for the platform calls with which the serial layer
// opens a port, starts a read and cancels one, with the arguments and results
// of CreateFileA, ReadFileEx and CancelIoEx. Null, the default, makes the real
// calls.
#pragma once

#include <windows.h>

using COM_OPEN_FILE = HANDLE(WINAPI*)(LPCSTR path, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flags, HANDLE template_file);
using COM_START_READ = BOOL(WINAPI*)(HANDLE file, LPVOID buffer, DWORD count,
                                     LPOVERLAPPED overlapped,
                                     LPOVERLAPPED_COMPLETION_ROUTINE routine);
using COM_CANCEL_READ = BOOL(WINAPI*)(HANDLE file, LPOVERLAPPED overlapped);

// Set while no read is in progress.
void COM_SetReadCalls(COM_START_READ start, COM_CANCEL_READ cancel);
// Set while no open is in progress; an open given up as too slow may still be
// in the stand-in when it is taken away, so a stand-in outlives its use.
void COM_SetOpenCall(COM_OPEN_FILE open);
