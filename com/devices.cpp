// The system's device list of COM ports, read through SetupAPI without
// opening any port. CM_Get_DevNode_Status is looked up at run time: an exe
// that imports a call the system lacks does not start.
#include "com/devices.h"

#include <windows.h>

#include <setupapi.h>

#include "com/com.h"
#include "com/open.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The setup classes of serial ports and of modems (a USB or Bluetooth modem
// has a COM port too). Spelled out here rather than taken from devguid.h,
// whose definitions need a GUID library in the link.
constexpr GUID PORTS_CLASS = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID MODEM_CLASS = {
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The device node's status bit that says its problem code is set (cfg.h).
constexpr ULONG HAS_PROBLEM = 0x00000400;
constexpr DWORD REG_TEXT_SIZE = 64; // "COMn" with room to spare

using GET_DEVNODE_STATUS = DWORD(WINAPI*)(PULONG status, PULONG problem, DWORD devinst,
                                          ULONG flags);

// Stored by tests while no read runs; read by COM_ReadDevices.
std::atomic<COM_DEVICE_LIST> g_device_list{nullptr};

GET_DEVNODE_STATUS DevNodeStatusCall() {
    // Looked up once, by whichever thread reads first; the module stays loaded.
    static const GET_DEVNODE_STATUS call = [] {
        HMODULE module = LoadLibraryExA("cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return module != nullptr ? reinterpret_cast<GET_DEVNODE_STATUS>(reinterpret_cast<void*>(
                                       GetProcAddress(module, "CM_Get_DevNode_Status")))
                                 : nullptr;
    }();
    return call;
}

// The port (0 is COM1) named by a text value of the key, or -1.
int32_t PortOfValue(HKEY key, const char* value) {
    char text[REG_TEXT_SIZE] = {};
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return -1;
    }
    return COM_PortOfName(text, sizeof text);
}

uint32_t LatencyOf(HKEY key) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return value;
}

// The friendly name carries the port as " (COMn)"; the list shows the port
// beside the name already.
void DropPortSuffix(char* name) {
    const size_t length = std::strlen(name);
    const char* open = std::strrchr(name, '(');
    if (length == 0 || name[length - 1] != ')' || open == nullptr || open == name ||
        open[-1] != ' ') {
        return;
    }
    const size_t inside = static_cast<size_t>(name + length - 1 - (open + 1));
    if (COM_PortOfName(open + 1, inside) >= 0) {
        name[open - 1 - name] = '\0';
    }
}

void NameOf(HDEVINFO set, SP_DEVINFO_DATA* info, char (&name)[COM_DEVICE_TEXT_SIZE]) {
    name[0] = '\0';
    if (SetupDiGetDeviceRegistryPropertyA(set, info, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(name), sizeof name - 1,
                                          nullptr) &&
        name[0] != '\0') {
        name[sizeof name - 1] = '\0';
        DropPortSuffix(name);
        return;
    }
    name[0] = '\0';
    if (SetupDiGetDeviceRegistryPropertyA(set, info, SPDRP_DEVICEDESC, nullptr,
                                          reinterpret_cast<BYTE*>(name), sizeof name - 1,
                                          nullptr)) {
        name[sizeof name - 1] = '\0';
    } else {
        name[0] = '\0';
    }
}

uint32_t ProblemOf(const SP_DEVINFO_DATA& info) {
    const GET_DEVNODE_STATUS call = DevNodeStatusCall();
    ULONG status = 0;
    ULONG problem = 0;
    if (call == nullptr || call(&status, &problem, info.DevInst, 0) != 0) {
        return 0;
    }
    return (status & HAS_PROBLEM) != 0 ? problem : 0;
}

// The class's present devices that have a COM port, appended to out.
void ReadClass(const GUID& setup_class, bool modem, std::vector<COM_DEVICE>* out) {
    const HDEVINFO set = SetupDiGetClassDevsA(&setup_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        const HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        // A modem names its port as "AttachedTo" (one on a serial port) or
        // "PortName" (a USB or Bluetooth one).
        int32_t port = modem ? PortOfValue(key, "AttachedTo") : -1;
        if (port < 0) {
            port = PortOfValue(key, "PortName");
        }
        if (port >= 0) {
            COM_DEVICE device = {};
            device.port = port;
            device.latency_ms = LatencyOf(key);
            NameOf(set, &info, device.name);
            device.problem = ProblemOf(info);
            out->push_back(device);
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
}

int32_t ReadSystemList(COM_DEVICE* out, int32_t max) {
    std::vector<COM_DEVICE> found;
    ReadClass(PORTS_CLASS, false, &found);
    ReadClass(MODEM_CLASS, true, &found);
    std::stable_sort(found.begin(), found.end(),
                     [](const COM_DEVICE& a, const COM_DEVICE& b) { return a.port < b.port; });
    // A port listed twice (a modem and its port) keeps its first entry.
    found.erase(
        std::unique(found.begin(), found.end(),
                    [](const COM_DEVICE& a, const COM_DEVICE& b) { return a.port == b.port; }),
        found.end());
    int32_t filled = 0;
    for (const COM_DEVICE& device : found) {
        if (filled >= max) {
            break;
        }
        out[filled++] = device;
    }
    return filled;
}

} // namespace

int32_t COM_ReadDevices(COM_DEVICE* out, int32_t max) {
    const COM_DEVICE_LIST call = g_device_list.load();
    return (call != nullptr ? call : ReadSystemList)(out, max);
}

void COM_SetDeviceListCall(COM_DEVICE_LIST call) {
    g_device_list.store(call);
}
