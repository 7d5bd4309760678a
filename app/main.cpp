// Entry point of the updater.
#include "app/app.h"

#include <windows.h>
#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)command_line;
    (void)show;
    // The progress bar's class must exist before the dialog is made.
    InitCommonControls();
    APP_Instance = instance;
    APP_Start();
    return 0;
}
