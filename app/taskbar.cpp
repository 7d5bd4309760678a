// The taskbar list is a shell object of the user-interface thread's
// apartment; the worker's progress reaches it through the dialog, posted once
// a percent (app/display.cpp), so the update never waits for the shell.
#include "app/taskbar.h"

#include <shobjidl.h>

namespace {

constexpr int32_t PERCENT_FULL = 100;

// User-interface thread only, as all of this room.
ITaskbarList3* g_list = nullptr;
HWND g_window = nullptr;
bool g_com_started = false;
UI_TASKBAR_STATUS g_status = {};

void SetState(TBPFLAG flag, UI_TASKBAR_STATE state) {
    g_status.state = state;
    if (g_list != nullptr) {
        g_list->SetProgressState(g_window, flag);
    }
}

void SetPercent(int32_t percent) {
    g_status.percent = percent;
    ++g_status.progress_calls;
    if (g_list != nullptr) {
        g_list->SetProgressValue(g_window, static_cast<ULONGLONG>(percent), PERCENT_FULL);
    }
}

} // namespace

UINT UI_TaskbarButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageA("TaskbarButtonCreated");
    return message;
}

void UI_TaskbarAttach(HWND dialog) {
    g_window = dialog;
    g_status.attached = true;
    if (g_list != nullptr) {
        return; // the button was made again: the object serves the new one
    }
    if (!g_com_started) {
        const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        g_com_started = SUCCEEDED(started);
    }
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list)))) {
        return;
    }
    if (FAILED(list->HrInit())) {
        list->Release();
        return;
    }
    g_list = list;
}

void UI_TaskbarDetach() {
    SetState(TBPF_NOPROGRESS, UI_TASKBAR_STATE::NONE);
    if (g_list != nullptr) {
        g_list->Release();
        g_list = nullptr;
    }
    if (g_com_started) {
        CoUninitialize();
        g_com_started = false;
    }
    g_window = nullptr;
    g_status.attached = false;
}

void UI_TaskbarBegin() {
    SetState(TBPF_NORMAL, UI_TASKBAR_STATE::RUNNING);
    SetPercent(0);
}

void UI_TaskbarProgress(int32_t position, int32_t high) {
    if (g_status.state != UI_TASKBAR_STATE::RUNNING || high <= 0) {
        return;
    }
    const int64_t scaled = static_cast<int64_t>(position) * PERCENT_FULL / high;
    const int32_t percent = static_cast<int32_t>(scaled < 0              ? 0
                                                 : scaled > PERCENT_FULL ? PERCENT_FULL
                                                                         : scaled);
    if (percent != g_status.percent) {
        SetPercent(percent);
    }
}

void UI_TaskbarEnd(bool success) {
    if (success) {
        SetState(TBPF_NOPROGRESS, UI_TASKBAR_STATE::NONE);
    } else {
        SetState(TBPF_ERROR, UI_TASKBAR_STATE::FAILED);
    }
    if (g_window != nullptr && GetForegroundWindow() != g_window) {
        FLASHWINFO flash = {};
        flash.cbSize = sizeof flash;
        flash.hwnd = g_window;
        flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
        ++g_status.flashes;
    }
}

UI_TASKBAR_STATUS UI_GetTaskbarStatus() {
    return g_status;
}
