// The start-up sequence: firmware, worker, port scan, then the main dialog.
#include "app/app.h"

#include "app/main_dialog.h"
#include "app/resource.h"
#include "com/com.h"
#include "target/worker.h"

#include <windows.h>

void APP_Start() {
    if (APP_LoadImage() != 0) {
        MessageBoxA(GetDesktopWindow(), "Data file not found!", "Error", MB_OK);
        return;
    }
    WORKER_Start();
    APP_PortCount = COM_ScanPorts(APP_PortList);
    if (APP_PortCount == 0) {
        COM_CloseScanHandles();
        MessageBoxA(nullptr, "No COM port detected. Application can not be executed!", "Error",
                    MB_OK | MB_ICONWARNING);
        return;
    }
    // The scan's handles stay open until the dialog has listed the ports.
    DialogBoxParamA(static_cast<HINSTANCE>(APP_Instance), MAKEINTRESOURCEA(IDD_MAIN),
                    GetDesktopWindow(), MainDlgProc, 0);
}
