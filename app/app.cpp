// The start-up sequence: firmware, worker, port scan, then the main dialog.
// The scan runs on a thread of its own: a port's open may block for seconds,
// and the window must be up whatever the ports do.
#include "app/app.h"

#include "app/main_dialog.h"
#include "app/resource.h"
#include "app/display.h"
#include "com/com.h"
#include "target/worker.h"

#include <windows.h>

namespace {

// A scan that has ended by then shows its result before any window (the
// usual case: opens of absent ports fail at once); a slower one finishes
// behind the window.
constexpr DWORD kScanWaitMs = 250;

DWORD WINAPI ScanThread(void*) {
    APP_ScanPorts();
    return 0;
}

void ShowNoPort() {
    MessageBoxA(nullptr, "No COM port detected. Application can not be executed!", "Error",
                MB_OK | MB_ICONWARNING);
}

} // namespace

void APP_ScanPorts() {
    APP_PortCount = COM_ScanPorts(APP_PortList);
    APP_PortScanRunning.store(false);
    // The dialog looks at the flag after recording its window; one of the
    // two sees the other's store, and listing twice lists once.
    const HWND dialog = static_cast<HWND>(UI_GetDialogWindow());
    if (dialog != nullptr) {
        PostMessageA(dialog, UI_PORTS_FOUND, 0, 0);
    }
}

void APP_Start() {
    if (APP_LoadImage() != 0) {
        MessageBoxA(GetDesktopWindow(), "Data file not found!", "Error", MB_OK);
        return;
    }
    WORKER_Start();
    APP_PortScanRunning.store(true);
    const HANDLE scan = CreateThread(nullptr, 0, ScanThread, nullptr, 0, nullptr);
    if (scan != nullptr) {
        WaitForSingleObject(scan, kScanWaitMs);
        CloseHandle(scan);
    } else {
        APP_ScanPorts();
    }
    if (!APP_PortScanRunning.load() && APP_PortCount == 0) {
        COM_CloseScanHandles();
        ShowNoPort();
        return;
    }
    // The scan's handles stay open until the dialog has listed the ports.
    const INT_PTR result =
        DialogBoxParamA(static_cast<HINSTANCE>(APP_Instance), MAKEINTRESOURCEA(IDD_MAIN),
                        GetDesktopWindow(), MainDlgProc, 0);
    if (result == APP_DIALOG_NO_PORT) {
        ShowNoPort();
    }
}
