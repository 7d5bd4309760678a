// tw_portshot: the real main dialog as a technician's laptop shows it, its
// port list dropped open, saved as a 24-bit BMP:
//   tw_portshot OUT.bmp
// The device list is a stand-in (Wine's is empty); the ports are ptys of the
// serial test bench, so the program is run by tools/testbench/wine-run.sh
// (tools/portshot/portshot.sh does that and makes the PNG).
#include "app/app_state.h"
#include "app/main_dialog.h"
#include "app/port_picker.h"
#include "app/resource.h"
#include "app/scaling.h"
#include "com/com.h"
#include "com/devices.h"
#include "tests/app/dialog_fixture.h"
#include "tests/support/pump.h"
#include "tests/support/testbench.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

struct LAPTOP_PORT {
    int number; // COMn
    const char* name;
    uint32_t problem;
    uint32_t latency_ms;
};

// Scan order: the first that opens is used, so the handheld's cable comes
// first, with the latency timer its driver sets by default.
const LAPTOP_PORT LAPTOP[] = {
    {3, "USB Serial Port", 0, 16},
    {4, "Standard Serial over Bluetooth link", 0, 0},
    {5, "Standard Serial over Bluetooth link", 0, 0},
    {6, "USB-SERIAL CH340", 0, 0},
    {7, "Conexant USB Modem", 0, 0},
    {8, "USB Serial Device", 10, 0},
};
constexpr int PORT_COUNT = static_cast<int>(sizeof LAPTOP / sizeof LAPTOP[0]);
// Each port's far end of its cable: never listed.
constexpr int FAR_END_OFFSET = 10;
constexpr uint32_t READ_WAIT_MS = 5000;
constexpr uint32_t SETTLE_MS = 500;
// Where the picture shows neither window; nothing in the dialog has it.
constexpr COLORREF KEY_COLOUR = RGB(255, 0, 255);

int32_t LaptopDevices(COM_DEVICE* out, int32_t max) {
    int32_t count = 0;
    for (const LAPTOP_PORT& port : LAPTOP) {
        if (count == max) {
            break;
        }
        COM_DEVICE device = {};
        device.port = port.number - 1;
        std::snprintf(device.name, sizeof device.name, "%s", port.name);
        device.problem = port.problem;
        device.latency_ms = port.latency_ms;
        out[count++] = device;
    }
    return count;
}

int Fail(const char* what) {
    std::fprintf(stderr, "portshot: %s\n", what);
    return 1;
}

// The dialog's client area on the screen: without a window manager nobody
// draws its frame.
RECT ClientOnScreen(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    return client;
}

// The screen's pixels over both rectangles, the rest in the key colour that
// the script makes transparent; bottom-up, as a BMP holds them.
bool SaveScreen(const RECT& dialog, const RECT& list, const char* path) {
    const RECT screen_rect = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    RECT both = {};
    UnionRect(&both, &dialog, &list);
    RECT area = {};
    IntersectRect(&area, &screen_rect, &both);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied =
        BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
    const HRGN outside = CreateRectRgn(0, 0, width, height);
    for (const RECT& shown : {dialog, list}) {
        const HRGN window = CreateRectRgn(shown.left - area.left, shown.top - area.top,
                                          shown.right - area.left, shown.bottom - area.top);
        CombineRgn(outside, outside, window, RGN_DIFF);
        DeleteObject(window);
    }
    const HBRUSH key = CreateSolidBrush(KEY_COLOUR);
    FillRgn(memory, outside, key);
    DeleteObject(key);
    DeleteObject(outside);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * static_cast<size_t>(height));
    const bool read =
        copied && GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                            reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == height;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!read) {
        return false;
    }

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                         std::fwrite(&info, sizeof info, 1, out) == 1 &&
                         std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && written;
}

bool UsesPort(int number) {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    char want[COM_DEVICE_NAME_SIZE];
    std::snprintf(want, sizeof want, "\\\\.\\COM%d", number);
    return std::strcmp(config.device_name, want) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tw_portshot OUT.bmp\n");
        return 2;
    }
    InitCommonControls();
    APP_Instance = GetModuleHandleA(nullptr);
    if (APP_LoadImage() != 0) {
        return Fail("the carried firmware does not load");
    }
    if (!TESTBENCH_Reset()) {
        return Fail("no test bench (run under tools/testbench/wine-run.sh)");
    }
    APP_PortCount = 0;
    for (const LAPTOP_PORT& port : LAPTOP) {
        if (!TESTBENCH_MapPair(port.number, port.number + FAR_END_OFFSET)) {
            return Fail("a port could not be mapped");
        }
        APP_PortList[APP_PortCount++] = port.number - 1;
    }
    COM_SetDeviceListCall(LaptopDevices);

    const HWND dialog = CreateDialogParamA(static_cast<HINSTANCE>(APP_Instance),
                                           MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    if (dialog == nullptr) {
        return Fail("no dialog");
    }
    int rc = 0;
    const HWND ports = GetDlgItem(dialog, IDC_PORTS);
    const bool read = PumpUntil(
        [] {
            const UI_PORT_PICKER_STATUS status = UI_GetPortPickerStatus();
            return status.reads > 0 && status.threads == 0;
        },
        READ_WAIT_MS);
    if (UI_GetWindowDpi(dialog) != UI_BASE_DPI) {
        rc = Fail("the prefix is not at 100 % scaling");
    } else if (!read) {
        rc = Fail("the device list was not read");
    } else if (SendMessageA(ports, CB_GETCOUNT, 0, 0) != PORT_COUNT ||
               !UsesPort(LAPTOP[0].number)) {
        rc = Fail("not every port is listed, or the cable's port is not in use");
    }
    if (rc == 0) {
        ShowWindow(dialog, SW_SHOWNORMAL);
        SetForegroundWindow(dialog);
        UpdateWindow(dialog);
        PumpFor(SETTLE_MS);
        SendMessageA(ports, CB_SHOWDROPDOWN, TRUE, 0);
        PumpFor(SETTLE_MS);
        COMBOBOXINFO info = {};
        info.cbSize = sizeof info;
        if (!IsWindowVisible(GetDlgItem(dialog, IDC_PORT_NOTE))) {
            rc = Fail("the latency note is not shown");
        } else if (!GetComboBoxInfo(ports, &info) || !IsWindowVisible(info.hwndList)) {
            rc = Fail("the list did not drop open");
        } else {
            RedrawWindow(info.hwndList, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
            PumpFor(SETTLE_MS);
            RECT list = {};
            GetWindowRect(info.hwndList, &list);
            if (!SaveScreen(ClientOnScreen(dialog), list, argv[1])) {
                rc = Fail("the picture could not be saved");
            }
        }
        if (rc == 0 && !FitsInItsLines(dialog, IDC_PORT_NOTE)) {
            std::fprintf(stderr, "portshot: the note's text is cut: it needs more room\n");
        }
        SendMessageA(ports, CB_SHOWDROPDOWN, FALSE, 0);
    }
    DestroyWindow(dialog);
    PumpMessages();
    COM_SetDeviceListCall(nullptr);
    COM_Close();
    TESTBENCH_Reset();
    return rc;
}
