// The one COM port through which the updater talks to the target: settings,
// opening, a read with a total time-out, a write that is not waited for, and
// the scan of COM1 .. COM256. Configuration failures show an "Error" box
// naming the port. A port whose device goes away is opened again once it is
// back. No open is waited for longer than COM_OPEN_BOUND_MS.
#pragma once

#include <cstddef>
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
// The data bits of every line the updater opens, first-use defaults included.
constexpr uint8_t COM_DATA_BITS = 8;

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

// Where a call answers 0 or 1, 0 means it succeeded. "The thread that reads
// and writes" is one thread for the layer's life (the worker): a read's
// completion runs only on the thread that started it.

// Opens the port of the current settings (waiting at most COM_OPEN_BOUND_MS)
// or sets up the one held again: 0 or 1; a set-up failure shows an "Error"
// box naming the port, a port that is absent, busy or too slow shows none.
// Any thread.
int32_t _InitCOM();
// Applies the current line settings to the port held: 0, or 1 and a box.
// Any thread.
int32_t COM_ChangeBaudrate();
// 0 while a port is open for reads and writes, else 1; before any port was
// chosen successfully, the first call opens with plain defaults and still
// answers 1, unless a choice's open is under way (then it leaves the port to
// that choice, and a later call decides again). The thread that reads and
// writes.
int32_t COM_EnsureInit();
// Hands the bytes to the port, not waiting for them to go out; bytes a stuck
// line drops or the port refuses are counted (COM_GetStatus), not reported.
// The thread that reads and writes.
void COM_Write(const uint8_t* bytes, uint32_t length);
// Waits up to timeout_ms for count bytes (at most COM_READ_MAX); returns how
// many came. 0: none came in time, no port is open (none chosen yet, or
// closed), the port was chosen anew meanwhile, or its device has gone (opened
// again by later reads and writes once it is back). The thread that reads
// and writes.
uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms);
// Microseconds on a steady clock: the link layer times its deadlines and
// round trips by it, so that whatever stands in for the line (a virtual one
// in tests) stands in for its time too. Any thread.
uint64_t COM_Micros();
// The current settings. Any thread.
void COM_GetConfig(COM_CONFIG* out);
// Chooses these settings and opens their port: 0 or 1, with boxes as
// _InitCOM; a read waiting on the old port ends. Settings equal to the
// current ones answer 0 at once and open nothing while their port is open;
// while it is not (its open failed, was too slow or could not set it up, or
// its device has gone), it is opened again and the call answers as that
// open does. Any thread.
int32_t COM_SetConfig(const COM_CONFIG* config);
// Opens COM1 .. COM256, each waited for at most COM_OPEN_BOUND_MS; ports gets
// the numbers less one of those that opened, in order; returns how many. Their
// handles stay open until COM_CloseScanHandles. One scan at a time, on a
// thread that may wait (start-up gives it one of its own).
int32_t COM_ScanPorts(int32_t ports[COM_MAX_PORTS]);
// Closes the handles the last scan left open; again, nothing. On the scan's
// thread, or on another once the scan has ended.
void COM_CloseScanHandles();
// Closes the port: reads and writes transfer nothing until settings are
// chosen again. Runs at exit too, once a first use has opened. Any thread.
void COM_Close();
// Shows the text in the task-modal "Error" box and returns once it is
// closed; dropped while a box is up already, on any thread. Any thread.
void COM_ShowError(const char* text);

// Why a port could not be opened.
enum class COM_OPEN_FAILURE : uint8_t {
    NONE,       // it opened (or, for the port in use, it is open)
    IN_USE,     // held by another program
    GONE,       // not there: no such port, or its device was pulled
    TOO_SLOW,   // its open took longer than COM_OPEN_BOUND_MS
    NOT_SET_UP, // it opened but would not take the line settings
};
// The port (0 is COM1) that a name or path names: "COMn" in any case, behind
// any number of "\\.\", at most size characters of it; -1 for anything else.
int32_t COM_PortOfName(const char* name, size_t size);

// Opens the port (0 is COM1) on its own, bounded as every open, and closes it
// again without setting anything up: NONE when it opens. A path whose last
// open was given up on and is still blocked is not tried again meanwhile
// (TOO_SLOW). Any thread but the user-interface thread.
COM_OPEN_FAILURE COM_TryPort(int32_t port);
// Why the port of the current settings is not open, as the last open of it
// found (a choice's, the first use's, a reopen try's; GONE from when its
// device is found gone); NONE while it is open, before any port was chosen,
// and for new settings until their open has ended. Any thread.
COM_OPEN_FAILURE COM_GetOpenFailure();
// The port's device has arrived (a device-change notice): if it is the port
// in use and its device was gone, the next read or write opens it again at
// once rather than at the next retry. Any thread.
void COM_NotePortArrived(int32_t port);

// Where COM_ShowError sends its text: null (the default) shows the task-modal
// "Error" box; tests install a function that records the text instead.
void COM_SetErrorHandler(void (*handler)(const char* text));

// A read-only look at the layer, for tests and diagnostics; COM_GetStatus
// copies it on any thread. The thread that reads and writes counts every
// figure but these: opens, counted by whichever thread opens the port (the
// user-interface thread choosing one, the worker on first use and while
// reopening); the opens_ figures, by whichever waited for an open (those two,
// the scan's thread and COM_TryPort's callers; opens_still_blocked also by the
// helper threads whose opens return); open_failure and last_open_error, by
// whoever opened or lost the port. Each figure is taken on its own, not all
// at one instant.
struct COM_STATUS {
    int32_t state;              // COM_STATE_*
    bool handle_held;           // while a port handle is open
    bool exit_hook;             // once COM_Close is registered with atexit
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
    // Opens answered as too slow, of any port: given up after
    // COM_OPEN_BOUND_MS, or refused, never started, because the last open
    // given up on the same device had not returned yet; and opens given up
    // on that have not returned yet (each holds a helper thread).
    uint32_t opens_too_slow;
    uint32_t opens_refused;
    uint32_t opens_still_blocked;
    // The device found gone after a failed read or write; tries to open it
    // again, and those that brought it back.
    uint32_t losses;
    uint32_t reopen_tries;
    uint32_t reopens;
    bool lost; // while the port's device is gone and being waited for
    // As COM_GetOpenFailure, and the platform's error code that went with it
    // (0 where there was none: too slow, not set up, found gone).
    COM_OPEN_FAILURE open_failure;
    uint32_t last_open_error;
};
void COM_GetStatus(COM_STATUS* out);
