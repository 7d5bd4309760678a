// The ports the system's device list knows, read without opening any port:
// the name Windows gives each port's device ("USB Serial Port", "Standard
// Serial over Bluetooth link"), a driver problem the device reports, and a
// USB adapter's latency timer. Reading the list can take a moment: callers
// keep it off the user-interface thread. Where the list is empty (Wine's is,
// for every port), nothing is known and nothing is lost.
#pragma once

#include <cstdint>

constexpr int32_t COM_DEVICE_TEXT_SIZE = 128;
// Where the list holds more, the rest is left out.
constexpr int32_t COM_MAX_DEVICES = 64;

struct COM_DEVICE {
    int32_t port;                    // 0 is COM1
    char name[COM_DEVICE_TEXT_SIZE]; // the device's name; empty where it has none
    uint32_t problem;                // the driver's problem code; 0: none
    uint32_t latency_ms;             // a USB adapter's latency timer; 0: none known
};

// The devices of the Ports and Modem classes that have a COM port, in port
// order, at most max of them: how many were filled in. Any thread.
int32_t COM_ReadDevices(COM_DEVICE* out, int32_t max);

// For tests: a stand-in for the system's list, with COM_ReadDevices' contract;
// null, the default, reads the system's. Set while no read of it runs.
using COM_DEVICE_LIST = int32_t (*)(COM_DEVICE* out, int32_t max);
void COM_SetDeviceListCall(COM_DEVICE_LIST call);
