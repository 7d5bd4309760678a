// The port list. What runs off the user-interface thread here is bounded and
// only ever posts: a try of one arrived port (COM_TryPort, which opens and
// closes it, never sets it up), and a read of the system's device list.
#include "app/port_picker.h"

#include <dbt.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/display.h"
#include "app/resource.h"
#include "com/com.h"
#include "image/image.h"
#include "target/job.h"
#include "target/program.h"

namespace {

// The line the boot loader speaks: 115200 baud, 8 data bits, odd parity, one
// stop bit (the data bits are the serial layer's).
constexpr uint32_t PORT_BAUD_RATE = 115200;
// A port is not always ready as its arrival is announced (its driver still
// starting): it is tried this many times, this far apart, as other programs
// wait 300-500 ms.
constexpr int32_t ARRIVAL_TRIES = 5;
constexpr DWORD ARRIVAL_RETRY_MS = 400;
// Interface notices of the ports' class (GUID_DEVINTERFACE_COMPORT), named
// here so that no library need define it.
constexpr GUID PORT_INTERFACE = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// A try's port and session travel in its thread's parameter and its result's
// lparam: 16 bits of each are plenty.
constexpr uint32_t SESSION_MASK = 0xFFFF;
constexpr uint32_t PORT_BITS = 16;
constexpr uint32_t SESSION_SHIFT = 8;
constexpr LPARAM FAILURE_MASK = 0xFF;

enum class TRY_STATE : uint8_t {
    IDLE,
    RUNNING,   // a try thread runs for the port
    CANCELLED, // the port went away while it ran: its result is dropped
};

// --- State --------------------------------------------------------------

// Counted up by the user-interface thread as a dialog starts and ends its
// session; read by the try threads, whose results carry the number they
// were started under, so one that ends after its dialog is dropped.
std::atomic<uint32_t> g_session{0};
// The picker's threads still running: each thread counts itself out, the
// user-interface thread counts it in; read by tests.
std::atomic<int32_t> g_threads{0};
// Reads of the device list asked for and not yet done: counted up by the
// user-interface thread, set back to 0 by the reading thread once it has read
// after the last of them (one reading thread at a time).
std::atomic<uint32_t> g_read_requests{0};

// The device list as last read: written by the reading thread, taken by the
// user-interface thread, both under the lock.
struct DEVICE_LIST {
    COM_DEVICE devices[COM_MAX_DEVICES];
    int32_t count;
};
struct READ_LOCK {
    CRITICAL_SECTION section;
    READ_LOCK() { InitializeCriticalSection(&section); }
};
CRITICAL_SECTION* ReadLock() {
    static READ_LOCK lock;
    return &lock.section;
}
DEVICE_LIST g_read = {};

// The rest: user-interface thread only.
HWND g_dialog = nullptr;
HDEVNOTIFY g_notices = nullptr;
// What the technician and the handheld have done: the port in use changes by
// itself only before either.
bool g_picked = false;
bool g_answered = false;
// Set as an update begins: the list stays disabled. Running: while it runs.
bool g_update_begun = false;
bool g_update_running = false;
bool g_listed = false; // filled from the scan
TRY_STATE g_tries[COM_MAX_PORTS] = {};
// Ports that arrived and opened before the list was filled.
bool g_early[COM_MAX_PORTS] = {};
// The device list as last taken in, and whether one was yet (the first is
// what later ones are compared with).
DEVICE_LIST g_devices = {};
bool g_devices_known = false;
UI_PORT_PICKER_STATUS g_status = {};

// --- Ports and their names ----------------------------------------------

// The serial layer's device name of a port number: "\\.\COM<n + 1>".
void FormatDeviceName(char* out, size_t size, int32_t port) {
    std::snprintf(out, size, "\\\\.\\COM%d", static_cast<int>(port + 1));
}

// "COM<n>" (any case, n from 1 to COM_MAX_PORTS) as a port number, else -1.
int32_t ParsePortName(const char* name, size_t size) {
    const int32_t port = COM_PortOfName(name, size);
    return port < COM_MAX_PORTS ? port : -1;
}

// The port of the current settings, or -1 when they name none of COM1 ..
// COM256.
int32_t PortInUse() {
    COM_CONFIG current;
    std::memset(&current, 0, sizeof current);
    COM_GetConfig(&current);
    return ParsePortName(current.device_name, sizeof current.device_name);
}

bool IsLost() {
    COM_STATUS status;
    COM_GetStatus(&status);
    return status.lost;
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

LRESULT EntryCount(HWND ports) {
    return SendMessageA(ports, CB_GETCOUNT, 0, 0);
}

LRESULT FindEntry(HWND ports, int32_t port) {
    const LRESULT count = EntryCount(ports);
    for (LRESULT i = 0; i < count; ++i) {
        if (EntryPort(ports, i) == port) {
            return i;
        }
    }
    return CB_ERR;
}

void AddEntry(HWND ports, int32_t port) {
    char text[UI_ENTRY_TEXT_SIZE];
    std::snprintf(text, sizeof text, "COM%d", static_cast<int>(port + 1));
    const LRESULT index = SendMessageA(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (index >= 0) {
        SendMessageA(ports, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(port));
    }
}

bool InList(const DEVICE_LIST& list, int32_t port) {
    for (int32_t i = 0; i < list.count; ++i) {
        if (list.devices[i].port == port) {
            return true;
        }
    }
    return false;
}

// --- Threads ------------------------------------------------------------

uint32_t CurrentSession() {
    return g_session.load() & SESSION_MASK;
}

void PostToDialog(UINT message, WPARAM wparam, LPARAM lparam) {
    const HWND dialog = static_cast<HWND>(UI_GetDialogWindow());
    if (dialog != nullptr) {
        PostMessageA(dialog, message, wparam, lparam);
    }
}

bool StartThread(LPTHREAD_START_ROUTINE routine, void* param) {
    g_threads.fetch_add(1);
    const HANDLE thread = CreateThread(nullptr, 0, routine, param, 0, nullptr);
    if (thread == nullptr) {
        g_threads.fetch_sub(1);
        return false;
    }
    CloseHandle(thread);
    return true;
}

DWORD WINAPI TryThread(void* param) {
    const auto packed = reinterpret_cast<uintptr_t>(param);
    const auto port = static_cast<int32_t>(packed & ((1u << PORT_BITS) - 1));
    const auto session = static_cast<uint32_t>(packed >> PORT_BITS);
    COM_OPEN_FAILURE result = COM_OPEN_FAILURE::GONE;
    for (int32_t attempt = 0; attempt < ARRIVAL_TRIES && CurrentSession() == session; ++attempt) {
        if (attempt > 0) {
            Sleep(ARRIVAL_RETRY_MS);
        }
        result = COM_TryPort(port);
        // A slow open would only block again.
        if (result == COM_OPEN_FAILURE::NONE || result == COM_OPEN_FAILURE::TOO_SLOW) {
            break;
        }
    }
    if (CurrentSession() == session) {
        const auto lparam = static_cast<LPARAM>((static_cast<uintptr_t>(session) << SESSION_SHIFT) |
                                                static_cast<uintptr_t>(result));
        PostToDialog(UI_PORT_TRIED, static_cast<WPARAM>(port), lparam);
    }
    g_threads.fetch_sub(1);
    return 0;
}

DWORD WINAPI ReadThread(void*) {
    DEVICE_LIST list;
    for (;;) {
        uint32_t seen = g_read_requests.load();
        list.count = COM_ReadDevices(list.devices, COM_MAX_DEVICES);
        if (list.count < 0 || list.count > COM_MAX_DEVICES) {
            list.count = 0;
        }
        EnterCriticalSection(ReadLock());
        g_read = list;
        LeaveCriticalSection(ReadLock());
        // The list is the system's, whichever dialog asked for it.
        PostToDialog(UI_DEVICES_READ, 0, 0);
        if (g_read_requests.compare_exchange_strong(seen, 0)) {
            break;
        }
    }
    g_threads.fetch_sub(1);
    return 0;
}

void RequestRead() {
    if (g_read_requests.fetch_add(1) == 0 && !StartThread(ReadThread, nullptr)) {
        g_read_requests.store(0);
    }
}

void StartTry(int32_t port) {
    if (g_tries[port] != TRY_STATE::IDLE) {
        return;
    }
    const uintptr_t packed =
        (static_cast<uintptr_t>(CurrentSession()) << PORT_BITS) | static_cast<uintptr_t>(port);
    if (StartThread(TryThread, reinterpret_cast<void*>(packed))) {
        g_tries[port] = TRY_STATE::RUNNING;
        ++g_status.tries;
    }
}

// --- The list's state -----------------------------------------------------

bool MayChooseItself() {
    return !g_picked && !g_answered && !g_update_begun && !UPDATE_IsRunning();
}

// Enabled with a second port, outside an update and never after one began.
void UpdateEnabled(HWND ports) {
    if (!g_listed) {
        return;
    }
    const bool enable = EntryCount(ports) > 1 && !g_update_begun && !UPDATE_IsRunning();
    if (!enable) {
        const HWND focus = GetFocus();
        // A disabled list would take the keyboard with it.
        if (focus != nullptr && (focus == ports || IsChild(ports, focus))) {
            SendMessageA(g_dialog, WM_NEXTDLGCTL,
                         reinterpret_cast<WPARAM>(GetDlgItem(g_dialog, IDC_START)), TRUE);
        }
    }
    EnableWindow(ports, enable ? TRUE : FALSE);
}

void UpdateAdvice() {
    UI_UpdatePortAdvice(PortInUse(), g_update_running);
}

// After the port in use may have changed.
void FollowPortInUse(HWND ports) {
    UI_SelectPortInUse(ports);
    UpdateAdvice();
}

// The port in use whose open failed, not lost (the serial layer reopens a
// lost one by itself).
bool InUseButNotOpen() {
    return COM_GetOpenFailure() != COM_OPEN_FAILURE::NONE && !IsLost();
}

void OnArrival(HWND ports, int32_t port) {
    if (port == PortInUse()) {
        COM_NotePortArrived(port);
        if (InUseButNotOpen()) {
            StartTry(port); // opened once the try finds it ready
        }
        return;
    }
    if (FindEntry(ports, port) == CB_ERR) {
        StartTry(port);
    }
}

void OnRemoval(HWND ports, int32_t port) {
    if (g_tries[port] == TRY_STATE::RUNNING) {
        g_tries[port] = TRY_STATE::CANCELLED;
    }
    g_early[port] = false;
    if (port == PortInUse()) {
        return; // stays, and is opened again once it is back
    }
    const LRESULT index = FindEntry(ports, port);
    if (index != CB_ERR) {
        SendMessageA(ports, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
        UI_SelectPortInUse(ports);
        UpdateEnabled(ports);
        UI_LayOutPortEntries(ports);
    }
}

} // namespace

void UI_StartPortPicker(HWND dialog) {
    g_session.fetch_add(1);
    g_dialog = dialog;
    g_picked = false;
    g_answered = false;
    g_update_begun = false;
    g_update_running = false;
    g_listed = false;
    for (int32_t port = 0; port < COM_MAX_PORTS; ++port) {
        g_tries[port] = TRY_STATE::IDLE;
        g_early[port] = false;
    }
    g_devices.count = 0;
    g_devices_known = false;
    g_status.tries = 0;
    g_status.reads = 0;
    // Counted now: the image's lock is the worker's while it programs.
    const uint32_t bytes = APP_Image != nullptr ? IMAGE_GetNumBytes(APP_Image) : 0;
    UI_StartPortEntries(dialog, (bytes + PROGRAM_WINDOW - 1) / PROGRAM_WINDOW);

    DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = PORT_INTERFACE;
    g_notices = RegisterDeviceNotificationA(dialog, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    RequestRead();
}

void UI_EndPortPicker() {
    g_session.fetch_add(1);
    if (g_notices != nullptr) {
        UnregisterDeviceNotification(g_notices);
        g_notices = nullptr;
    }
    UI_EndPortEntries();
    g_dialog = nullptr;
}

int32_t UI_FillPortList(HWND ports) {
    for (int32_t i = 0; i < APP_PortCount; ++i) {
        AddEntry(ports, APP_PortList[i]);
    }
    COM_CloseScanHandles();
    g_listed = true;
    bool opened = false;
    for (int32_t i = 0; i < APP_PortCount && !opened; ++i) {
        opened = OpenPort(APP_PortList[i]) == 0;
    }
    for (int32_t port = 0; port < COM_MAX_PORTS; ++port) {
        if (g_early[port] && FindEntry(ports, port) == CB_ERR) {
            AddEntry(ports, port);
            opened = opened || OpenPort(port) == 0;
        }
        g_early[port] = false;
    }
    UI_LayOutPortEntries(ports);
    FollowPortInUse(ports);
    UpdateEnabled(ports);
    return static_cast<int32_t>(EntryCount(ports));
}

void UI_SelectPortInUse(HWND ports) {
    const int32_t in_use = PortInUse();
    const LRESULT count = EntryCount(ports);
    for (LRESULT i = 0; i < count; ++i) {
        if (EntryPort(ports, i) == in_use) {
            SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            return;
        }
    }
}

bool UI_OnPortPicked(HWND ports) {
    const LRESULT index = SendMessageA(ports, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return false;
    }
    g_picked = true;
    const int32_t port = EntryPort(ports, index);
    // The port in use picked again is opened again if its open failed (say
    // the other program has let go of it since).
    if (port != PortInUse() || InUseButNotOpen()) {
        OpenPort(port);
        FollowPortInUse(ports);
        return true;
    }
    return false;
}

bool UI_OnDeviceChange(HWND dialog, WPARAM event, LPARAM data) {
    const HWND ports = GetDlgItem(dialog, IDC_PORTS);
    if (event == DBT_DEVNODES_CHANGED) {
        RequestRead();
        return false;
    }
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) {
        return false;
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr) {
        return false;
    }
    if (header->dbch_devicetype == DBT_DEVTYP_PORT) {
        const auto* port_notice = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(header);
        const size_t name_at = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
        const size_t size = header->dbch_size > name_at ? header->dbch_size - name_at : 0;
        const int32_t port = ParsePortName(port_notice->dbcp_name, size);
        if (port >= 0) {
            if (event == DBT_DEVICEARRIVAL) {
                OnArrival(ports, port);
            } else {
                OnRemoval(ports, port);
            }
        }
    }
    // The names may have changed with any device, and an interface notice
    // may be all some drivers send.
    RequestRead();
    return false;
}

bool UI_OnPortTried(HWND dialog, WPARAM wparam, LPARAM lparam) {
    const auto port = static_cast<int32_t>(wparam);
    const auto session = static_cast<uint32_t>(static_cast<uintptr_t>(lparam) >> SESSION_SHIFT);
    const auto result = static_cast<COM_OPEN_FAILURE>(lparam & FAILURE_MASK);
    if (session != CurrentSession() || port < 0 || port >= COM_MAX_PORTS) {
        return false;
    }
    const TRY_STATE state = g_tries[port];
    g_tries[port] = TRY_STATE::IDLE;
    if (state != TRY_STATE::RUNNING || result != COM_OPEN_FAILURE::NONE) {
        return false;
    }
    const HWND ports = GetDlgItem(dialog, IDC_PORTS);
    if (port == PortInUse()) {
        if (InUseButNotOpen()) {
            OpenPort(port);
            return true;
        }
        return false;
    }
    if (!g_listed) {
        g_early[port] = true;
        return false;
    }
    if (FindEntry(ports, port) != CB_ERR) {
        return false;
    }
    AddEntry(ports, port);
    bool opened = false;
    if (MayChooseItself()) {
        // Nobody chose and no handheld answered: this is the adapter just
        // plugged in.
        OpenPort(port);
        opened = true;
    }
    UI_LayOutPortEntries(ports);
    FollowPortInUse(ports);
    UpdateEnabled(ports);
    return opened;
}

void UI_OnDevicesRead(HWND dialog) {
    DEVICE_LIST list;
    EnterCriticalSection(ReadLock());
    list = g_read;
    LeaveCriticalSection(ReadLock());
    const HWND ports = GetDlgItem(dialog, IDC_PORTS);
    // Only ports new in the list are tried: the others were there before.
    if (g_devices_known) {
        for (int32_t i = 0; i < list.count; ++i) {
            const int32_t port = list.devices[i].port;
            if (port >= 0 && port < COM_MAX_PORTS && !InList(g_devices, port) &&
                port != PortInUse() && FindEntry(ports, port) == CB_ERR) {
                StartTry(port);
            }
        }
    }
    g_devices = list;
    g_devices_known = true;
    ++g_status.reads;
    UI_SetPortDevices(list.devices, list.count);
    if (g_listed) {
        UI_LayOutPortEntries(ports);
    }
    UpdateAdvice();
}

void UI_NoteTargetAnswered() {
    g_answered = true;
}

void UI_PortsUpdateBegins(HWND dialog) {
    g_update_begun = true;
    g_update_running = true;
    EnableWindow(GetDlgItem(dialog, IDC_PORTS), FALSE);
    UpdateAdvice();
}

void UI_PortsUpdateEnded(HWND dialog) {
    (void)dialog;
    g_update_running = false;
    UpdateAdvice();
}

UI_PORT_PICKER_STATUS UI_GetPortPickerStatus() {
    UI_PORT_PICKER_STATUS status = g_status;
    status.threads = g_threads.load();
    status.notices = g_notices != nullptr;
    return status;
}
