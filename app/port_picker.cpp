#include "app/port_picker.h"

#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "com/com.h"

namespace {

// The line the boot loader speaks: 115200 baud, 8 data bits, odd parity, one
// stop bit (the data bits are the serial layer's).
constexpr uint32_t PORT_BAUD_RATE = 115200;
constexpr size_t ENTRY_TEXT_SIZE = 32;

// The serial layer's device name of a port number: "\\.\COM<n + 1>".
void FormatDeviceName(char* out, size_t size, int32_t port) {
    std::snprintf(out, size, "\\\\.\\COM%d", static_cast<int>(port + 1));
}

// Whether the port is the one the current settings name.
bool IsPortInUse(int32_t port) {
    char name[COM_DEVICE_NAME_SIZE];
    FormatDeviceName(name, sizeof name, port);
    COM_CONFIG current;
    std::memset(&current, 0, sizeof current);
    COM_GetConfig(&current);
    current.device_name[COM_DEVICE_NAME_SIZE - 1] = '\0';
    return std::strcmp(name, current.device_name) == 0;
}

// 0 opened and set up, 1 not.
int32_t OpenPort(int32_t port) {
    COM_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.baud_rate = PORT_BAUD_RATE;
    FormatDeviceName(config.device_name, sizeof config.device_name, port);
    config.byte_size = COM_DATA_BITS;
    config.parity = COM_PARITY_ODD;
    config.stop_bits = COM_STOP_BITS_ONE;
    return COM_SetConfig(&config);
}

int32_t EntryPort(HWND ports, LRESULT index) {
    return static_cast<int32_t>(SendMessageA(ports, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

} // namespace

int32_t UI_FillPortList(HWND ports) {
    for (int32_t i = 0; i < APP_PortCount; ++i) {
        char text[ENTRY_TEXT_SIZE];
        std::snprintf(text, sizeof text, "COM%d", static_cast<int>(APP_PortList[i] + 1));
        const LRESULT index = SendMessageA(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        if (index >= 0) {
            SendMessageA(ports, CB_SETITEMDATA, static_cast<WPARAM>(index),
                         static_cast<LPARAM>(APP_PortList[i]));
        }
    }
    COM_CloseScanHandles();
    for (int32_t i = 0; i < APP_PortCount; ++i) {
        if (OpenPort(APP_PortList[i]) == 0) {
            break;
        }
    }
    UI_SelectPortInUse(ports);
    return APP_PortCount;
}

void UI_SelectPortInUse(HWND ports) {
    const LRESULT count = SendMessageA(ports, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        if (IsPortInUse(EntryPort(ports, i))) {
            SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            return;
        }
    }
}

void UI_OnPortPicked(HWND ports) {
    const LRESULT index = SendMessageA(ports, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return;
    }
    const int32_t port = EntryPort(ports, index);
    if (!IsPortInUse(port)) {
        OpenPort(port);
    }
}
