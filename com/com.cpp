// The serial layer: one COM port, opened for overlapped I/O.
//
// Why the I/O is shaped as it is:
// - Reads start ReadFileEx with a completion routine and then wait in 1 ms
//   alertable sleeps. The routine runs on the reading thread inside those
//   sleeps, so a finished read is seen within about a millisecond, and the
//   wait can also be ended from outside: a reopen on the user-interface thread
//   closes the handle (the platform then completes the read as aborted) and a
//   successful open raises the read-completed flag. Each read also has its own
//   deadline (time-out plus a margin); past it the read is cancelled and its
//   completion awaited, briefly, so no read waits for ever whatever the port
//   does (an unplugged adapter, a time-out the port refused).
// - The platform keeps using an operation's control block and buffer until
//   the operation completes, which for a write is after COM_Write has
//   returned (writes are never waited for, and the frame layer's buffer is a
//   local one). So every write copies its bytes into a slot of a small ring
//   the layer owns, with its own control block; a slot is reused only once
//   its operation has finished. Writes also reach the platform one at a time:
//   one started beside a pending one can overtake it or interleave with it
//   (seen with Wine when the line is full), so a write whose predecessor is
//   still pending waits for it, for as long as the line takes to carry the
//   predecessor's bytes and a margin, and only a line that stays stuck beyond
//   that drops it. Dropped and refused writes are counted (COM_GetStatus).
// - Reads go into layer-owned slots too and are copied out once their
//   completion has come. A read whose completion is late (a driver slow to
//   honour a cancel) is left in its slot, which stays taken until the
//   completion runs. That happens only in an alertable wait on the thread
//   that started the read, so a read that finds every slot taken waits for
//   one alertably, within its own time-out, instead of failing at once: a
//   caller that only ever sleeps non-alertably between reads would otherwise
//   never let the completions run, and no read would work again.
// - The worker thread reads and writes while the user-interface thread may
//   close and reopen the port. A critical section (cheap, unlike a kernel
//   mutex) is held while an operation is started and while the port is closed
//   and reopened, never while a read is waited for, so a handle is never
//   closed under an operation being started and a reopen still ends a read
//   that waits. Closing the handle aborts the reads still held on it, but
//   their buffers are the platform's until their completions have run, so
//   their slots are freed by those completions, not by the reopen. Error
//   boxes are shown after the section is left.
// - Opens run on helper threads (open.cpp) and are waited for at most
//   COM_OPEN_BOUND_MS: an open can block for seconds (a Bluetooth port whose
//   device is off), and neither the window nor the worker may wait on it. The
//   lock is not held while an open is waited for; a settings change in the
//   meantime makes the open's handle stale (the generation), and it is closed.
// - A read or write that fails is followed by a look at the port
//   (ClearCommError): when that fails too, the device has gone (an adapter
//   pulled). The port is closed, and reads and writes try to open the same
//   port again every COM_REOPEN_INTERVAL_MS, silently, until it is back.
//
// Each variable says who writes it and who reads it; "under the lock" means
// both happen only while the lock is held.
#include "com/com.h"

#include <windows.h>

#include "com/com_calls.h"
#include "com/open.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// --- The lock ---------------------------------------------------------------

namespace {

struct PORT_LOCK {
    CRITICAL_SECTION section;
    PORT_LOCK() { InitializeCriticalSection(&section); }
};

CRITICAL_SECTION* PortLock() {
    static PORT_LOCK lock; // never destroyed before the exit hook runs
    return &lock.section;
}

// Holds the lock for a scope: while an operation is started, and around a
// close and reopen.
struct LOCK_GUARD {
    LOCK_GUARD() { EnterCriticalSection(PortLock()); }
    ~LOCK_GUARD() { LeaveCriticalSection(PortLock()); }
    LOCK_GUARD(const LOCK_GUARD&) = delete;
    LOCK_GUARD& operator=(const LOCK_GUARD&) = delete;
};

} // namespace

// --- Layer state ------------------------------------------------------------

namespace {

// Written under the lock by whoever opens or closes the port (the
// user-interface thread choosing one; the worker on first use, on finding
// the device gone and while reopening it); read by both threads. The state
// is also stored without the lock by the first use, once its open is over.
std::atomic<HANDLE> g_handle{INVALID_HANDLE_VALUE};
std::atomic<int32_t> g_state{COM_STATE_NEW};
COM_CONFIG g_config = {};     // under the lock
COMMTIMEOUTS g_timeouts = {}; // under the lock
// Set under the lock when the port's device is found gone, cleared when it
// is open again or other settings are chosen; read by the thread that reads
// and writes, and by COM_GetStatus.
std::atomic<bool> g_lost{false};
// Raised by the completion routine of the current read or by a successful
// open (either thread), cleared by the reader when it starts a read.
std::atomic<bool> g_read_done{false};
// The write started last, which the next one waits for: set by the writer,
// forgotten by a close (a write pending on a closed handle holds no later
// write back). Under the lock.
struct WRITE_SLOT;
WRITE_SLOT* g_last_write = nullptr;

} // namespace

// --- Opening and configuring ------------------------------------------------

namespace {

// Line settings beside the ones the caller chooses. Software flow control is
// off, but the platform still wants its characters and limits set.
constexpr WORD XON_LIMIT = 2048;
constexpr WORD XOFF_LIMIT = 512;
constexpr char XON_CHAR = 0x11;
constexpr char XOFF_CHAR = 0x13;

// Counts the settings changes, under the lock: an open started under one
// generation is stale under the next.
uint32_t g_generation = 0;
DCB g_line = {}; // the line settings last accepted; under the lock
// Set once, by the first thread to open the port on first use; read by
// COM_GetStatus.
std::atomic<bool> g_exit_hook{false};
// Counted by whichever thread opens the port: the user-interface thread
// choosing it, the worker on first use and while reopening.
std::atomic<uint32_t> g_opens{0};
// Set under the lock by the first COM_SetConfig; from then on the outcome of
// each open of the port of the current settings is kept.
bool g_chosen = false;
// COM_SetConfig calls whose open is under way: counted under the lock by
// each; the first use leaves the settings to them.
int32_t g_choices_opening = 0;
// Why the port of the current settings is not open, and the platform's error
// that went with it (0 where the platform reported none): written under the lock by whoever opens
// or loses the port; read by anyone.
std::atomic<COM_OPEN_FAILURE> g_open_failure{COM_OPEN_FAILURE::NONE};
std::atomic<uint32_t> g_last_open_error{0};

// Keeps how the last open of the current settings' port ended, once a port
// has been chosen. Under the lock.
void NoteOpenLocked(COM_OPEN_FAILURE failure, DWORD error) {
    if (g_chosen) {
        g_open_failure.store(failure);
        g_last_open_error.store(error);
    }
}

// Open for reads and writes, not merely held or marked so. Under the lock.
bool PortOpenLocked() {
    return g_state.load() == COM_STATE_OPEN && g_handle.load() != INVALID_HANDLE_VALUE;
}

// The port's name for the user: the device name without its "\\.\".
void PortNameLocked(char* out, size_t size) {
    const char* name = g_config.device_name;
    const int length = static_cast<int>(strnlen(name, COM_DEVICE_NAME_SIZE));
    const int skip = std::strncmp(name, "\\\\.\\", 4) == 0 ? 4 : 0;
    std::snprintf(out, size, "%.*s", length - skip, name + skip);
}

// An error text to show once the lock is left; empty when there is none.
struct ERROR_TEXT {
    char text[COM_ERROR_TEXT_SIZE] = {};
};

void SetErrorLocked(ERROR_TEXT* error, const char* what) {
    char name[COM_DEVICE_NAME_SIZE + 1];
    PortNameLocked(name, sizeof name);
    std::snprintf(error->text, sizeof error->text, "%s: %s", name, what);
}

void ShowIfAny(const ERROR_TEXT& error) {
    if (error.text[0] != '\0') {
        COM_ShowError(error.text);
    }
}

// Line settings step; returns what failed or null. Under the lock.
const char* ChangeBaudrateLocked() {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = g_config.baud_rate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = XON_LIMIT;
    dcb.XoffLim = XOFF_LIMIT;
    dcb.ByteSize = g_config.byte_size;
    dcb.Parity = g_config.parity;
    dcb.StopBits = g_config.stop_bits;
    dcb.XonChar = XON_CHAR;
    dcb.XoffChar = XOFF_CHAR;
    if (!SetCommState(g_handle.load(), &dcb)) {
        return "SetCommState failed";
    }
    g_line = dcb;
    return nullptr;
}

// Queues, time-outs and line settings of the port held; 0 or 1. Under the
// lock.
int32_t ConfigureLocked(ERROR_TEXT* error) {
    const HANDLE h = g_handle.load();
    const char* failed = nullptr;
    if (!SetupComm(h, COM_QUEUE_SIZE, COM_QUEUE_SIZE)) {
        failed = "SetupComm failed";
    } else {
        g_timeouts.ReadIntervalTimeout = MAXDWORD;
        failed =
            SetCommTimeouts(h, &g_timeouts) ? ChangeBaudrateLocked() : "SetCommTimeouts failed";
    }
    if (failed != nullptr) {
        SetErrorLocked(error, failed);
        NoteOpenLocked(COM_OPEN_FAILURE::NOT_SET_UP, 0);
        return 1;
    }
    g_state.store(COM_STATE_OPEN);
    g_lost.store(false); // a pick of a lost port can bring it back before a retry
    g_read_done.store(true);
    NoteOpenLocked(COM_OPEN_FAILURE::NONE, 0);
    return 0;
}

// Open (or configure again) the port of the current settings; 0 or 1, with
// the text of a box to show. Called without the lock: the open may take up to
// its bound, and the worker must go on meanwhile.
int32_t InitCom(ERROR_TEXT* error) {
    char path[COM_PATH_SIZE];
    uint32_t generation;
    {
        LOCK_GUARD guard;
        const HANDLE h = g_handle.load();
        if (h != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(h);
            return ConfigureLocked(error);
        }
        COM_FormPath(path, g_config.device_name, sizeof g_config.device_name);
        generation = g_generation;
    }
    const COM_OPENED opened = COM_OpenBounded(path);
    LOCK_GUARD guard;
    if (opened.handle == INVALID_HANDLE_VALUE) {
        if (generation == g_generation && g_handle.load() == INVALID_HANDLE_VALUE) {
            NoteOpenLocked(opened.failure, opened.error);
        }
        return 1;
    }
    if (generation != g_generation || g_handle.load() != INVALID_HANDLE_VALUE) {
        CloseHandle(opened.handle); // other settings were chosen meanwhile
        return 1;
    }
    g_handle.store(opened.handle);
    g_opens.fetch_add(1);
    return ConfigureLocked(error);
}

// Closes the port held, if any. Its reads' slots are freed by their
// completions; a write still pending on it holds no later write back. Under
// the lock.
void CloseLocked() {
    const HANDLE h = g_handle.load();
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        g_handle.store(INVALID_HANDLE_VALUE);
    }
    g_last_write = nullptr;
}

} // namespace

int32_t _InitCOM() {
    ERROR_TEXT error;
    const int32_t result = InitCom(&error);
    ShowIfAny(error);
    return result;
}

int32_t COM_ChangeBaudrate() {
    ERROR_TEXT error;
    {
        LOCK_GUARD guard;
        const char* failed = ChangeBaudrateLocked();
        if (failed != nullptr) {
            SetErrorLocked(&error, failed);
        }
    }
    ShowIfAny(error);
    return error.text[0] == '\0' ? 0 : 1;
}

int32_t COM_EnsureInit() {
    const int32_t state = g_state.load();
    if (state != COM_STATE_NEW) {
        return state == COM_STATE_OPEN ? 0 : 1;
    }
    {
        LOCK_GUARD guard;
        if (g_state.load() != COM_STATE_NEW) {
            return g_state.load() == COM_STATE_OPEN ? 0 : 1;
        }
        // A choice whose open is under way sets the port up with its own
        // settings; defaults slipped in now would set the chosen port up at
        // them, and nothing would open it again.
        if (g_choices_opening > 0) {
            return 1;
        }
        // First use before any port was chosen: plain defaults, name kept.
        g_config.baud_rate = COM_DEFAULT_BAUD;
        g_config.byte_size = COM_DATA_BITS;
        g_config.parity = COM_PARITY_NONE;
        g_config.stop_bits = COM_STOP_BITS_ONE;
    }
    ERROR_TEXT error;
    InitCom(&error);
    {
        LOCK_GUARD guard;
        g_state.store(COM_STATE_OPEN);
    }
    if (!g_exit_hook.exchange(true)) {
        std::atexit(COM_Close);
    }
    ShowIfAny(error);
    // The call that made the first open transfers nothing: before any port
    // was chosen the name is empty and the open fails, and an operation on
    // a port opened with these defaults would only go to the wrong line.
    // The dialog opens the chosen port for real through COM_SetConfig.
    return 1;
}

void COM_GetConfig(COM_CONFIG* out) {
    LOCK_GUARD guard;
    *out = g_config;
}

int32_t COM_SetConfig(const COM_CONFIG* config) {
    {
        LOCK_GUARD guard;
        const bool same =
            config->baud_rate == g_config.baud_rate &&
            std::memcmp(config->device_name, g_config.device_name, COM_DEVICE_NAME_SIZE) == 0 &&
            config->byte_size == g_config.byte_size && config->parity == g_config.parity &&
            config->stop_bits == g_config.stop_bits;
        if (same && PortOpenLocked()) {
            return 0;
        }
        // The same settings with their port not open (busy, too slow, not
        // set up, its device gone) are tried again as they are.
        if (!same) {
            g_config = *config;
            ++g_generation;
            g_lost.store(false); // a port that went away is no longer waited for
            g_open_failure.store(COM_OPEN_FAILURE::NONE);
            if (g_handle.load() != INVALID_HANDLE_VALUE) {
                CloseLocked();
                g_state.store(COM_STATE_CLOSED);
                g_timeouts.ReadTotalTimeoutConstant = 0;
            }
        }
        g_chosen = true;
        ++g_choices_opening;
    }
    const int32_t result = _InitCOM();
    {
        LOCK_GUARD guard;
        --g_choices_opening;
    }
    return result;
}

void COM_Close() {
    LOCK_GUARD guard;
    g_state.store(COM_STATE_CLOSED);
    g_lost.store(false);
    CloseLocked();
}

// --- A lost port ------------------------------------------------------------

namespace {

ULONGLONG g_next_reopen = 0; // under the lock
// Counted by the thread that reads and writes; read by COM_GetStatus.
std::atomic<uint32_t> g_losses{0};
std::atomic<uint32_t> g_reopen_tries{0};
std::atomic<uint32_t> g_reopens{0};

// After a failed read or write on h: if the port itself no longer answers,
// its device has gone; close it and wait for it to come back. On Windows
// ClearCommError fails once a USB adapter is pulled; so does Wine's when the
// pty behind the port has vanished (error 21, not ready). Under the lock.
void CheckGoneLocked(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE || h != g_handle.load()) {
        return; // closed or replaced meanwhile
    }
    DWORD errors = 0;
    COMSTAT status = {};
    if (ClearCommError(h, &errors, &status)) {
        return;
    }
    CloseLocked();
    g_timeouts.ReadTotalTimeoutConstant = 0;
    g_lost.store(true);
    NoteOpenLocked(COM_OPEN_FAILURE::GONE, 0);
    g_next_reopen = GetTickCount64() + COM_REOPEN_INTERVAL_MS;
    g_losses.fetch_add(1);
}

// While the port's device is gone: an open of the same port every
// COM_REOPEN_INTERVAL_MS. No box: the port being absent is what is waited
// out, and one that opens but cannot be set up yet is tried again.
void TryReopen() {
    char path[COM_PATH_SIZE];
    uint32_t generation;
    {
        LOCK_GUARD guard;
        if (!g_lost.load() || GetTickCount64() < g_next_reopen) {
            return;
        }
        g_next_reopen = GetTickCount64() + COM_REOPEN_INTERVAL_MS;
        COM_FormPath(path, g_config.device_name, sizeof g_config.device_name);
        generation = g_generation;
    }
    g_reopen_tries.fetch_add(1);
    const COM_OPENED opened = COM_OpenBounded(path);
    LOCK_GUARD guard;
    const bool current =
        g_lost.load() && generation == g_generation && g_handle.load() == INVALID_HANDLE_VALUE;
    if (opened.handle == INVALID_HANDLE_VALUE) {
        if (current) {
            NoteOpenLocked(opened.failure, opened.error);
        }
        return;
    }
    if (!current) {
        CloseHandle(opened.handle);
        return;
    }
    g_handle.store(opened.handle);
    g_opens.fetch_add(1);
    ERROR_TEXT unshown;
    if (ConfigureLocked(&unshown) != 0) {
        CloseLocked();
        return;
    }
    g_reopens.fetch_add(1);
}

} // namespace

void COM_NotePortArrived(int32_t port) {
    LOCK_GUARD guard;
    if (g_lost.load() &&
        COM_PortOfName(g_config.device_name, sizeof g_config.device_name) == port) {
        g_next_reopen = 0;
    }
}

COM_OPEN_FAILURE COM_GetOpenFailure() {
    return g_open_failure.load();
}

// --- Reads ------------------------------------------------------------------

namespace {

constexpr DWORD READ_MARGIN_MS = 200; // beyond the time-out, before a read is cancelled
constexpr DWORD CANCEL_WAIT_MS = 500; // for the completion of a cancelled read
constexpr int32_t READ_SLOT_COUNT = 4;

struct READ_SLOT {
    OVERLAPPED ov; // first member: the completion routine finds the slot from it
    // Set by the reading thread when it starts a read, cleared by the
    // completion routine (on that same thread, in an alertable wait).
    std::atomic<bool> pending;
    // done and count: written by the completion routine, read by the reader.
    std::atomic<bool> done;
    std::atomic<uint32_t> count;
    std::atomic<DWORD> error;
    uint8_t buf[COM_READ_MAX]; // the platform's while pending, then the reader's
};

// The reading thread and its completion routines.
READ_SLOT g_read_slots[READ_SLOT_COUNT];
// The read being waited for: set and cleared by the reader, looked at by the
// completion routine.
std::atomic<READ_SLOT*> g_current_read{nullptr};
// Stored by tests while no read runs, read by the reading thread.
std::atomic<COM_START_READ> g_start_read{nullptr};
std::atomic<COM_CANCEL_READ> g_cancel_read{nullptr};
// Counted by the reading thread; read by COM_GetStatus.
std::atomic<uint32_t> g_read_timeouts_set{0};
std::atomic<uint32_t> g_reads_cut_off{0};
std::atomic<uint32_t> g_reads_let_go_late{0};
std::atomic<uint32_t> g_read_slot_waits{0};
std::atomic<uint32_t> g_reads_without_slot{0};

void CALLBACK ReadDone(DWORD error, DWORD count, LPOVERLAPPED ov) {
    // An aborted read ends with the count the platform reports; its error
    // only tells whether the port is worth a look.
    READ_SLOT* slot = reinterpret_cast<READ_SLOT*>(ov);
    slot->count.store(count);
    slot->error.store(error);
    slot->done.store(true);
    slot->pending.store(false);
    if (g_current_read.load() == slot) {
        g_read_done.store(true);
    }
}

READ_SLOT* FreeReadSlot() {
    for (READ_SLOT& slot : g_read_slots) {
        if (!slot.pending.load()) {
            return &slot;
        }
    }
    return nullptr;
}

enum class READ_START { STARTED, NO_SLOT, NOT_STARTED };

// Applies the time-out if it changed and starts a read into a free slot.
READ_START StartRead(uint32_t count, uint32_t timeout_ms, READ_SLOT** slot_out,
                     HANDLE* handle_out) {
    LOCK_GUARD guard;
    const HANDLE h = g_handle.load();
    if (g_state.load() != COM_STATE_OPEN || h == INVALID_HANDLE_VALUE) {
        return READ_START::NOT_STARTED;
    }
    if (timeout_ms != g_timeouts.ReadTotalTimeoutConstant) {
        g_timeouts = COMMTIMEOUTS{0, 0, timeout_ms, 0, 0};
        SetCommTimeouts(h, &g_timeouts);
        g_read_timeouts_set.fetch_add(1);
    }
    READ_SLOT* slot = FreeReadSlot();
    if (slot == nullptr) {
        return READ_START::NO_SLOT;
    }
    slot->ov = OVERLAPPED{};
    slot->done.store(false);
    slot->count.store(0);
    slot->error.store(0);
    slot->pending.store(true);
    g_current_read.store(slot);
    g_read_done.store(false);
    const COM_START_READ start = g_start_read.load();
    if (!(start != nullptr ? start : ReadFileEx)(h, slot->buf, count, &slot->ov, ReadDone)) {
        // No completion will come for a read that never started.
        g_current_read.store(nullptr);
        slot->pending.store(false);
        CheckGoneLocked(h);
        return READ_START::NOT_STARTED;
    }
    *slot_out = slot;
    *handle_out = h;
    return READ_START::STARTED;
}

void CancelRead(HANDLE h, READ_SLOT* slot) {
    const COM_CANCEL_READ cancel = g_cancel_read.load();
    (cancel != nullptr ? cancel : CancelIoEx)(h, &slot->ov);
}

// Waits alertably until the slot's completion has come or the time is up.
bool AwaitCompletion(READ_SLOT* slot, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!slot->done.load()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        SleepEx(1, TRUE);
    }
    return true;
}

// Start: a read into a free slot. Every slot may be held by a read whose
// completion has not run yet; it runs only in an alertable wait on this
// thread, so the ones already queued are let run and then a slot is waited
// for, within this read's own time.
bool StartReadInTime(uint32_t count, uint32_t timeout_ms, ULONGLONG deadline, READ_SLOT** slot,
                     HANDLE* h) {
    for (int32_t attempt = 0;; ++attempt) {
        const READ_START started = StartRead(count, timeout_ms, slot, h);
        if (started != READ_START::NO_SLOT) {
            return started == READ_START::STARTED;
        }
        if (attempt == 1) {
            g_read_slot_waits.fetch_add(1);
        }
        if (attempt > 0 && GetTickCount64() >= deadline) {
            g_reads_without_slot.fetch_add(1);
            return false;
        }
        SleepEx(attempt == 0 ? 0 : 1, TRUE);
    }
}

// Wait: until the completion has come, a reopen has ended the wait, or the
// deadline has passed. A read not completed by then is cancelled and its
// completion awaited briefly, so the platform lets go of its buffer.
void AwaitRead(READ_SLOT* slot, HANDLE h, ULONGLONG deadline) {
    while (!g_read_done.load() && GetTickCount64() < deadline) {
        SleepEx(1, TRUE);
    }
    if (!slot->done.load()) {
        // A handle closed meanwhile has aborted the read already; cancelling
        // it again does no harm.
        if (!g_read_done.load()) {
            g_reads_cut_off.fetch_add(1);
        }
        CancelRead(h, slot);
        AwaitCompletion(slot, CANCEL_WAIT_MS);
    }
    g_current_read.store(nullptr);
}

// Take: the bytes of a completed read. A read still not completed leaves its
// slot taken until the completion runs, in a later alertable wait.
uint32_t TakeRead(READ_SLOT* slot, uint8_t* buffer, uint32_t count) {
    if (!slot->done.load()) {
        g_reads_let_go_late.fetch_add(1);
        return 0;
    }
    uint32_t received = slot->count.load();
    if (received > count) {
        received = count;
    }
    std::memcpy(buffer, slot->buf, received);
    return received;
}

} // namespace

uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms) {
    if (COM_EnsureInit() != 0 || count == 0) {
        return 0;
    }
    TryReopen();
    if (count > COM_READ_MAX) {
        count = COM_READ_MAX;
    }
    // The whole read, a wait for a slot included, is over by this time.
    const ULONGLONG deadline = GetTickCount64() + timeout_ms + READ_MARGIN_MS;
    READ_SLOT* slot = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!StartReadInTime(count, timeout_ms, deadline, &slot, &h)) {
        return 0;
    }
    AwaitRead(slot, h, deadline);
    const uint32_t received = TakeRead(slot, buffer, count);
    // Windows ends a read at its time-out without an error; Wine reports
    // ERROR_TIMEOUT. Any other error may be the device going away.
    const DWORD error = slot->done.load() ? slot->error.load() : ERROR_SUCCESS;
    if (error != ERROR_SUCCESS && error != ERROR_TIMEOUT) {
        LOCK_GUARD guard;
        CheckGoneLocked(h);
    }
    return received;
}

uint64_t COM_Micros() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void COM_SetReadCalls(COM_START_READ start, COM_CANCEL_READ cancel) {
    g_start_read.store(start);
    g_cancel_read.store(cancel);
}

// --- Writes -----------------------------------------------------------------

namespace {

// A write waits for the one before it as long as the line takes to carry
// that one's bytes, and this much more.
constexpr DWORD WRITE_WAIT_MARGIN_MS = 1000;
constexpr uint32_t SLOWEST_BAUD = 110; // what a baud rate below it counts as
constexpr int32_t WRITE_SLOT_COUNT = 16;
constexpr uint32_t WRITE_SLOT_SIZE = 512;

struct WRITE_SLOT {
    OVERLAPPED ov;
    bool in_flight;
    uint32_t length;
    uint8_t buf[WRITE_SLOT_SIZE];
};

WRITE_SLOT g_write_slots[WRITE_SLOT_COUNT]; // under the lock
int32_t g_next_write = 0;                   // under the lock
// Counted by the writing thread; read by COM_GetStatus.
std::atomic<uint32_t> g_writes{0};
std::atomic<uint32_t> g_write_waits{0};
std::atomic<uint32_t> g_writes_dropped{0};
std::atomic<uint32_t> g_writes_refused{0};
std::atomic<uint32_t> g_last_write_error{0};

bool SlotBusy(WRITE_SLOT* slot) {
    return slot->in_flight && !HasOverlappedIoCompleted(&slot->ov);
}

// A free slot, or null while the last write started is still in progress: a
// write started next to a pending one may overtake it or interleave with it
// (seen with Wine), so writes go to the platform one at a time.
WRITE_SLOT* FreeWriteSlotLocked() {
    if (g_last_write != nullptr && SlotBusy(g_last_write)) {
        return nullptr;
    }
    for (int32_t i = 0; i < WRITE_SLOT_COUNT; ++i) {
        WRITE_SLOT& slot = g_write_slots[(g_next_write + i) % WRITE_SLOT_COUNT];
        if (!SlotBusy(&slot)) {
            slot.in_flight = false;
            g_next_write = (g_next_write + i + 1) % WRITE_SLOT_COUNT;
            return &slot;
        }
    }
    return nullptr;
}

// How long the line takes to carry the bytes of the last write started, with
// the margin: as long as a write may wait for it. Under the lock.
DWORD WriteWaitMsLocked() {
    const uint32_t bytes = g_last_write != nullptr ? g_last_write->length : 0;
    const uint32_t bits_per_byte = 1u + g_config.byte_size + (g_config.parity != 0 ? 1u : 0u) +
                                   (g_config.stop_bits == 0 ? 1u : 2u);
    const uint32_t baud = g_config.baud_rate < SLOWEST_BAUD ? SLOWEST_BAUD : g_config.baud_rate;
    return WRITE_WAIT_MARGIN_MS + static_cast<DWORD>(uint64_t{bytes} * bits_per_byte * 1000 / baud);
}

// One write of at most a slot's size; false when it was dropped or refused.
bool WriteChunk(const uint8_t* bytes, uint32_t length) {
    ULONGLONG deadline = 0;
    for (;;) {
        {
            LOCK_GUARD guard;
            const HANDLE h = g_handle.load();
            if (g_state.load() != COM_STATE_OPEN || h == INVALID_HANDLE_VALUE) {
                return false;
            }
            WRITE_SLOT* slot = FreeWriteSlotLocked();
            if (slot != nullptr) {
                std::memcpy(slot->buf, bytes, length);
                slot->ov = OVERLAPPED{};
                slot->length = length;
                g_last_write = slot;
                g_writes.fetch_add(1);
                if (WriteFile(h, slot->buf, length, nullptr, &slot->ov)) {
                    return true; // finished already
                }
                const DWORD error = GetLastError();
                slot->in_flight = error == ERROR_IO_PENDING;
                if (!slot->in_flight) {
                    g_writes_refused.fetch_add(1);
                    g_last_write_error.store(error);
                    CheckGoneLocked(h);
                }
                return slot->in_flight;
            }
            if (deadline == 0) {
                g_write_waits.fetch_add(1);
                deadline = GetTickCount64() + WriteWaitMsLocked();
            }
        }
        // The driver writes a finished write's status into its control block;
        // Wine does it when this thread next takes the platform's APCs, which
        // the alertable sleep below lets it do.
        if (GetTickCount64() >= deadline) {
            // The line has not carried the bytes in far longer than they take:
            // stuck (held by flow control, unplugged). Counted, not silent.
            g_writes_dropped.fetch_add(1);
            return false;
        }
        SleepEx(1, TRUE);
    }
}

} // namespace

void COM_Write(const uint8_t* bytes, uint32_t length) {
    if (COM_EnsureInit() != 0) {
        return;
    }
    TryReopen();
    while (length > 0) {
        const uint32_t chunk = length < WRITE_SLOT_SIZE ? length : WRITE_SLOT_SIZE;
        if (!WriteChunk(bytes, chunk)) {
            return;
        }
        bytes += chunk;
        length -= chunk;
    }
}

// --- Error boxes ------------------------------------------------------------

namespace {

// Error boxes being shown, by any thread: only the outermost one shows.
std::atomic<int32_t> g_error_nesting{0};
// Stored by tests, read by whichever thread shows an error.
std::atomic<void (*)(const char*)> g_error_handler{nullptr};

} // namespace

void COM_ShowError(const char* text) {
    if (g_error_nesting.fetch_add(1) == 0) {
        void (*handler)(const char*) = g_error_handler.load();
        if (handler != nullptr) {
            handler(text);
        } else {
            MessageBoxA(nullptr, text, "Error", MB_OK | MB_TASKMODAL);
        }
    }
    g_error_nesting.fetch_sub(1);
}

void COM_SetErrorHandler(void (*handler)(const char* text)) {
    g_error_handler.store(handler);
}

// --- Status -----------------------------------------------------------------

namespace {

// The DCB's flag word (fBinary .. fAbortOnError) is bit-fields, which have no
// address: it is the 32 bits after BaudRate.
constexpr size_t DCB_FLAGS_OFFSET = offsetof(DCB, BaudRate) + sizeof(DCB::BaudRate);
static_assert(DCB_FLAGS_OFFSET + sizeof(uint32_t) == offsetof(DCB, wReserved),
              "the DCB's flag word is 32 bits between BaudRate and wReserved");

} // namespace

void COM_GetStatus(COM_STATUS* out) {
    LOCK_GUARD guard;
    *out = COM_STATUS{};
    const HANDLE h = g_handle.load();
    out->state = g_state.load();
    out->handle_held = h != INVALID_HANDLE_VALUE;
    out->exit_hook = g_exit_hook.load();
    out->opens = g_opens.load();
    out->read_timeouts_set = g_read_timeouts_set.load();
    out->writes = g_writes.load();
    out->write_waits = g_write_waits.load();
    out->writes_dropped = g_writes_dropped.load();
    out->writes_refused = g_writes_refused.load();
    out->last_write_error = g_last_write_error.load();
    out->reads_cut_off = g_reads_cut_off.load();
    out->reads_let_go_late = g_reads_let_go_late.load();
    out->read_slot_waits = g_read_slot_waits.load();
    out->reads_without_slot = g_reads_without_slot.load();
    const COM_OPEN_COUNTS counts = COM_GetOpenCounts();
    out->opens_too_slow = counts.too_slow;
    out->opens_refused = counts.refused;
    out->opens_still_blocked = counts.still_blocked;
    out->open_failure = g_open_failure.load();
    out->last_open_error = g_last_open_error.load();
    out->losses = g_losses.load();
    out->reopen_tries = g_reopen_tries.load();
    out->reopens = g_reopens.load();
    out->lost = g_lost.load();
    out->read_timeout_ms = g_timeouts.ReadTotalTimeoutConstant;
    out->line_baud_rate = g_line.BaudRate;
    std::memcpy(&out->line_flags, reinterpret_cast<const char*>(&g_line) + DCB_FLAGS_OFFSET,
                sizeof out->line_flags);
    out->line_xon_lim = g_line.XonLim;
    out->line_xoff_lim = g_line.XoffLim;
    out->line_byte_size = g_line.ByteSize;
    out->line_parity = g_line.Parity;
    out->line_stop_bits = g_line.StopBits;
    out->line_xon_char = static_cast<uint8_t>(g_line.XonChar);
    out->line_xoff_char = static_cast<uint8_t>(g_line.XoffChar);
    if (h != INVALID_HANDLE_VALUE) {
        DCB now = {};
        now.DCBlength = sizeof now;
        if (GetCommState(h, &now)) {
            out->port_baud_rate = now.BaudRate;
        }
    }
}
