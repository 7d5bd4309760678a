// The one COM port through which the updater talks to the target: settings,
// opening, a read with a total time-out, a write that is not waited for, and
// the scan of COM1 .. COM256. Configuration failures show an "Error" box.
#pragma once

#include <cstdint>

constexpr int32_t COM_DEVICE_NAME_SIZE = 100;

struct COM_CONFIG {
    uint32_t baud_rate;
    char device_name[COM_DEVICE_NAME_SIZE];  // the path is "\\.\" + this text
    uint8_t byte_size;
    uint8_t parity;     // DCB code: 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stop_bits;  // DCB code: 0 one, 1 one and a half, 2 two
};

constexpr int32_t COM_MAX_PORTS = 256;
constexpr uint32_t COM_QUEUE_SIZE = 10000;
constexpr uint32_t COM_DEFAULT_BAUD = 9600;

// Port states.
constexpr int32_t COM_STATE_NEW = 0;
constexpr int32_t COM_STATE_OPEN = 1;
constexpr int32_t COM_STATE_CLOSED = 2;

int32_t _InitCOM();
int32_t COM_ChangeBaudrate();
int32_t COM_EnsureInit();
void COM_Write(const uint8_t* bytes, uint32_t length);
uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms);
void COM_GetConfig(COM_CONFIG* out);
int32_t COM_SetConfig(const COM_CONFIG* config);
int32_t COM_ScanPorts(int32_t ports[COM_MAX_PORTS]);
void COM_CloseScanHandles();
void COM_Close();
void COM_ShowError(const char* text);
