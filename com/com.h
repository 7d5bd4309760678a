// The one COM port through which the updater talks to the target: settings,
// opening, a read with a total time-out, a write that is not waited for, and
// the scan of COM1 .. COM256. Configuration failures show an "Error" box
// naming the port. A port whose device goes away is opened again once it is
// back. No open is waited for longer than COM_OPEN_BOUND_MS.
#pragma once

#include <cstdint>

constexpr int32_t COM_DEVICE_NAME_SIZE = 100;

struct COM_CONFIG {
    uint32_t baud_rate;
    char device_name[COM_DEVICE_NAME_SIZE]; // the path is "\\.\" + this text
    uint8_t byte_size;
    uint8_t parity;    // COM_PARITY_* (the platform's codes)
    uint8_t stop_bits; // COM_STOP_BITS_*
};

constexpr uint8_t COM_PARITY_NONE = 0;
constexpr uint8_t COM_PARITY_ODD = 1;
constexpr uint8_t COM_PARITY_EVEN = 2;
constexpr uint8_t COM_PARITY_MARK = 3;
constexpr uint8_t COM_PARITY_SPACE = 4;
constexpr uint8_t COM_STOP_BITS_ONE = 0;
constexpr uint8_t COM_STOP_BITS_ONE_AND_HALF = 1;
constexpr uint8_t COM_STOP_BITS_TWO = 2;

constexpr int32_t COM_MAX_PORTS = 256;
constexpr uint32_t COM_QUEUE_SIZE = 10000;
constexpr uint32_t COM_DEFAULT_BAUD = 9600;

// An open that takes longer is given up: the port is left out of a scan, and
// choosing it fails. Bluetooth ports whose device is off block an open for
// seconds.
constexpr uint32_t COM_OPEN_BOUND_MS = 500;
// A port whose device went away is tried again this often until it is back.
constexpr uint32_t COM_REOPEN_INTERVAL_MS = 500;
// An error text: the port's name and what failed.
constexpr int32_t COM_ERROR_TEXT_SIZE = 160;

// One COM_Read takes at most this many bytes (a frame is at most 264).
constexpr uint32_t COM_READ_MAX = 4096;

// Port states.
constexpr int32_t COM_STATE_NEW = 0;
constexpr int32_t COM_STATE_OPEN = 1;
constexpr int32_t COM_STATE_CLOSED = 2;

int32_t _InitCOM();
int32_t COM_ChangeBaudrate();
int32_t COM_EnsureInit();
void COM_Write(const uint8_t* bytes, uint32_t length);
uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms);
// Microseconds on a steady clock, the one that read time-outs run on: the
// link layer times its deadlines and round trips by it, so that a line and
// its waits keep the same time.
uint64_t COM_Micros();
void COM_GetConfig(COM_CONFIG* out);
int32_t COM_SetConfig(const COM_CONFIG* config);
int32_t COM_ScanPorts(int32_t ports[COM_MAX_PORTS]);
void COM_CloseScanHandles();
void COM_Close();
void COM_ShowError(const char* text);

// Where COM_ShowError sends its text: null (the default) shows the task-modal
// "Error" box; tests install a function that records the text instead.
void COM_SetErrorHandler(void (*handler)(const char* text));

// A read-only look at the layer, for tests and diagnostics.
struct COM_STATUS {
    int32_t state;              // COM_STATE_*
    int32_t handle_held;        // 1 while a port handle is open
    int32_t exit_hook;          // 1 once COM_Close is registered with atexit
    uint32_t opens;             // port handles opened so far
    uint32_t read_timeouts_set; // SetCommTimeouts calls made by COM_Read
    uint32_t read_timeout_ms;   // the read time-out last applied
    // Writes handed to the platform; that waited for the one before them;
    // dropped because that one never finished; refused by the platform at
    // once, and the platform's error code for the last of those.
    uint32_t writes;
    uint32_t write_waits;
    uint32_t writes_dropped;
    uint32_t writes_refused;
    uint32_t last_write_error;
    // Reads: ended by their deadline and cancelled; given up with their
    // completion still to come (their slot stays taken until it runs); that
    // found every slot taken and waited for one; that found none in time.
    uint32_t reads_cut_off;
    uint32_t reads_let_go_late;
    uint32_t read_slot_waits;
    uint32_t reads_without_slot;
    // The line settings last accepted by the port, and the DCB flag word
    // (the 32 bits after BaudRate) that went with them.
    uint32_t line_baud_rate;
    uint32_t line_flags;
    uint16_t line_xon_lim;
    uint16_t line_xoff_lim;
    uint8_t line_byte_size;
    uint8_t line_parity;
    uint8_t line_stop_bits;
    uint8_t line_xon_char;
    uint8_t line_xoff_char;
    uint32_t port_baud_rate; // as the open port reports it now (0 if none)
    // Opens given up as too slow; the device found gone after a failed read
    // or write; tries to open it again, and those that brought it back.
    uint32_t opens_too_slow;
    uint32_t losses;
    uint32_t reopen_tries;
    uint32_t reopens;
    int32_t lost; // 1 while the port's device is gone and being waited for
};
void COM_GetStatus(COM_STATUS* out);
