// A stand-in for the serial layer's open: the open of a chosen port blocks
// until it is let go, as a Bluetooth port's does while its device is off;
// other ports open as usual. Opens that reach it are counted by port, so a
// test sees how many the layer started.
#pragma once

#include <windows.h>

#include "com/com_calls.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace blocking_open {

inline std::atomic<bool>& Blocked(int port) {
    static std::atomic<bool> blocked[257] = {};
    return blocked[port >= 1 && port <= 256 ? port : 0];
}

// Opens of COMn that reached the stand-in since Install.
inline std::atomic<int>& Reached(int port) {
    static std::atomic<int> reached[257] = {};
    return reached[port >= 1 && port <= 256 ? port : 0];
}

inline HANDLE LetGo() {
    static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

inline HANDLE WINAPI Open(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file) {
    const char* com = std::strstr(path, "COM");
    const int port = com != nullptr ? std::atoi(com + 3) : 0;
    Reached(port).fetch_add(1);
    if (Blocked(port).load()) {
        WaitForSingleObject(LetGo(), INFINITE);
    }
    return CreateFileA(path, access, share, security, disposition, flags, template_file);
}

// Opens of these ports (COMn) block from now on, until LetGoAll.
inline void Install(std::initializer_list<int> ports) {
    ResetEvent(LetGo());
    for (int port = 0; port <= 256; ++port) {
        Reached(port).store(0);
    }
    for (int port : ports) {
        Blocked(port).store(true);
    }
    COM_SetOpenCall(Open);
}

// The blocked opens return, and the real open is back.
inline void LetGoAll() {
    for (int port = 1; port <= 256; ++port) {
        Blocked(port).store(false);
    }
    SetEvent(LetGo());
    COM_SetOpenCall(nullptr);
}

} // namespace blocking_open
