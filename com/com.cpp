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
// - Opens run on helper threads and are waited for at most COM_OPEN_BOUND_MS:
//   an open can block for seconds (a Bluetooth port whose device is off), and
//   neither the window nor the worker may wait on it. An open given up on
//   lets go of its handle itself when it finally returns. The lock is not
//   held while an open is waited for; a settings change in the meantime
//   makes the open's handle stale (the generation), and it is closed.
// - A read or write that fails is followed by a look at the port
//   (ClearCommError): when that fails too, the device has gone (an adapter
//   pulled). The port is closed, and reads and writes try to open the same
//   port again every COM_REOPEN_INTERVAL_MS, silently, until it is back.
#include "com/com.h"

#include <windows.h>

#include "com/com_calls.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kReadMarginMs = 200; // beyond the time-out, before a read is cancelled
constexpr DWORD kCancelWaitMs = 500; // for the completion of a cancelled read
// A write waits for the one before it as long as the line takes to carry
// that one's bytes, and this much more.
constexpr DWORD kWriteWaitMarginMs = 1000;
constexpr uint32_t kSlowestBaud = 110; // what a baud rate below it counts as
constexpr int kReadSlots = 4;
constexpr int kWriteSlots = 16;
constexpr uint32_t kWriteSlotSize = 512;
constexpr size_t kPathSize = 200;
constexpr int kScanOpeners = 4;     // opens of a scan under way at once
constexpr DWORD kOpenerPollMs = 10; // how often a waiting caller looks at its opens
// Line settings beside the ones the caller chooses. Software flow control is
// off, but the platform still wants its characters and limits set.
constexpr WORD kXonLimit = 2048;
constexpr WORD kXoffLimit = 512;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

struct ReadSlot {
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

struct WriteSlot {
    OVERLAPPED ov;
    bool in_flight;
    uint32_t length;
    uint8_t buf[kWriteSlotSize];
};

// Held while an operation is started and around close + reopen.
class PortLock {
  public:
    PortLock() { InitializeCriticalSection(&cs_); }
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

  private:
    CRITICAL_SECTION cs_;
};

PortLock& Lock() {
    static PortLock lock; // never destroyed before the exit hook runs
    return lock;
}

class Guard {
  public:
    Guard() { Lock().Enter(); }
    ~Guard() { Lock().Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

// Written under the lock by whoever opens or closes the port (the
// user-interface thread, or the worker on first use); read by both threads.
std::atomic<HANDLE> g_handle{INVALID_HANDLE_VALUE};
std::atomic<int32_t> g_state{COM_STATE_NEW};
COM_CONFIG g_config = {}; // under the lock
// Counts the settings changes, under the lock: an open started under one
// generation is stale under the next.
uint32_t g_generation = 0;
// Set under the lock when the port's device is found gone, cleared when it
// is open again or other settings are chosen; read by the reading thread.
std::atomic<bool> g_lost{false};
ULONGLONG g_next_reopen = 0;  // under the lock
COMMTIMEOUTS g_timeouts = {}; // under the lock
// Set to 1 by the completion routine of the current read or by a successful
// open (either thread), cleared by the reader when it starts a read.
std::atomic<int32_t> g_read_done{0};
// The read being waited for: set and cleared by the reader, looked at by the
// completion routine.
std::atomic<ReadSlot*> g_current_read{nullptr};
ReadSlot g_read_slots[kReadSlots];    // the reading thread and its completion routines
WriteSlot g_write_slots[kWriteSlots]; // under the lock
WriteSlot* g_last_write = nullptr;    // under the lock
int g_next_write = 0;                 // under the lock
// Filled by the thread that scans, closed by the one that lists the ports
// once the scan has ended (the caller hands over between the two).
HANDLE g_scan_handles[COM_MAX_PORTS];
bool g_scan_table_ready = false;
// Error boxes being shown, by any thread: only the outermost one shows.
std::atomic<int32_t> g_error_nesting{0};
// Stored by tests, read by whichever thread shows an error.
std::atomic<void (*)(const char*)> g_error_handler{nullptr};
// Set once by the first thread to open the port on first use.
std::atomic<bool> g_exit_hook{false};
// Stored by tests while no read runs, read by the reading thread.
std::atomic<COM_START_READ> g_start_read{nullptr};
std::atomic<COM_CANCEL_READ> g_cancel_read{nullptr};
// Stored by tests while no open runs, read by the opener threads.
std::atomic<COM_OPEN_FILE> g_open_file{nullptr};

// Test and diagnostic figures: counted by the thread that reads and writes,
// read by anyone through COM_GetStatus.
std::atomic<uint32_t> g_opens{0};
std::atomic<uint32_t> g_read_timeouts_set{0};
std::atomic<uint32_t> g_writes{0};
std::atomic<uint32_t> g_write_waits{0};
std::atomic<uint32_t> g_writes_dropped{0};
std::atomic<uint32_t> g_writes_refused{0};
std::atomic<uint32_t> g_last_write_error{0};
std::atomic<uint32_t> g_reads_cut_off{0};
std::atomic<uint32_t> g_reads_let_go_late{0};
std::atomic<uint32_t> g_read_slot_waits{0};
std::atomic<uint32_t> g_reads_without_slot{0};
std::atomic<uint32_t> g_opens_too_slow{0};
std::atomic<uint32_t> g_losses{0};
std::atomic<uint32_t> g_reopen_tries{0};
std::atomic<uint32_t> g_reopens{0};
DCB g_line = {}; // under the lock

HANDLE OpenPath(const char* path) {
    const COM_OPEN_FILE open = g_open_file.load();
    return (open != nullptr ? open : CreateFileA)(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Opens of a set of paths, taken in order by opener threads. The batch is
// shared by the caller and the openers and freed by whichever lets go last.
struct OpenBatch {
    enum Outcome : int { kPending, kOpened, kFailed, kTooSlow };
    std::atomic<int> refs{1};
    int count = 0;
    std::atomic<int> next{0}; // the next path to take, by any opener
    char paths[COM_MAX_PORTS][kPathSize] = {};
    // Written by the opener before its outcome; read by the caller after it.
    HANDLE handles[COM_MAX_PORTS] = {};
    // When an opener took the path (0 until then), and how its open ended:
    // the opener stores the result unless the caller has given up first.
    std::atomic<ULONGLONG> started[COM_MAX_PORTS] = {};
    std::atomic<int> outcome[COM_MAX_PORTS] = {};
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr); // after each outcome

    void Release() {
        if (refs.fetch_sub(1) == 1) {
            CloseHandle(wake);
            delete this;
        }
    }
};

DWORD WINAPI Opener(void* argument) {
    OpenBatch* batch = static_cast<OpenBatch*>(argument);
    for (;;) {
        const int i = batch->next.fetch_add(1);
        if (i >= batch->count) {
            break;
        }
        batch->started[i].store(GetTickCount64());
        const HANDLE h = OpenPath(batch->paths[i]);
        batch->handles[i] = h;
        int pending = OpenBatch::kPending;
        if (!batch->outcome[i].compare_exchange_strong(
                pending, h != INVALID_HANDLE_VALUE ? OpenBatch::kOpened : OpenBatch::kFailed)) {
            // Given up on: another opener has taken over the paths left.
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
            break;
        }
        SetEvent(batch->wake);
    }
    batch->Release();
    return 0;
}

void StartOpener(OpenBatch* batch) {
    batch->refs.fetch_add(1);
    const HANDLE thread = CreateThread(nullptr, 0, Opener, batch, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    } else {
        Opener(batch); // no thread to spare: open here, unbounded
    }
}

// Opens the batch's paths, each waited for at most COM_OPEN_BOUND_MS; out
// gets a handle or INVALID_HANDLE_VALUE for each. Called without the lock.
void OpenAll(OpenBatch* batch, int openers, HANDLE* out) {
    for (int i = 0; i < openers && i < batch->count; ++i) {
        StartOpener(batch);
    }
    for (;;) {
        bool settled = true;
        for (int i = 0; i < batch->count; ++i) {
            if (batch->outcome[i].load() != OpenBatch::kPending) {
                continue;
            }
            settled = false;
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG started = batch->started[i].load();
            int pending = OpenBatch::kPending;
            if (started != 0 && now >= started + COM_OPEN_BOUND_MS &&
                batch->outcome[i].compare_exchange_strong(pending, OpenBatch::kTooSlow)) {
                g_opens_too_slow.fetch_add(1);
                // That opener is stuck; one more takes the paths after it.
                if (batch->next.load() < batch->count) {
                    StartOpener(batch);
                }
            }
        }
        if (settled) {
            break;
        }
        WaitForSingleObject(batch->wake, kOpenerPollMs);
    }
    for (int i = 0; i < batch->count; ++i) {
        out[i] = batch->outcome[i].load() == OpenBatch::kOpened ? batch->handles[i]
                                                                : INVALID_HANDLE_VALUE;
    }
}

HANDLE OpenBounded(const char* path) {
    OpenBatch* batch = new OpenBatch;
    batch->count = 1;
    std::snprintf(batch->paths[0], kPathSize, "%s", path);
    HANDLE h = INVALID_HANDLE_VALUE;
    OpenAll(batch, 1, &h);
    batch->Release();
    return h;
}

void FormPath(char (&path)[kPathSize], const char* name, size_t name_size) {
    // The name is used as it is, even when it already begins with "\\.\";
    // only its length is bounded, in case it lacks its terminating NUL.
    const int length = static_cast<int>(strnlen(name, name_size));
    std::snprintf(path, kPathSize, "\\\\.\\%.*s", length, name);
}

// The port's name for the user: the device name without its "\\.\".
void PortNameLocked(char* out, size_t size) {
    const char* name = g_config.device_name;
    const int length = static_cast<int>(strnlen(name, COM_DEVICE_NAME_SIZE));
    const int skip = std::strncmp(name, "\\\\.\\", 4) == 0 ? 4 : 0;
    std::snprintf(out, size, "%.*s", length - skip, name + skip);
}

// An error text to show once the lock is left; empty when there is none.
struct ErrorText {
    char text[COM_ERROR_TEXT_SIZE] = {};
    void SetLocked(const char* what) {
        char name[COM_DEVICE_NAME_SIZE + 1];
        PortNameLocked(name, sizeof name);
        std::snprintf(text, sizeof text, "%s: %s", name, what);
    }
};

// Line settings step; returns what failed or null. Under the lock.
const char* ChangeBaudrateLocked() {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = g_config.baud_rate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = kXonLimit;
    dcb.XoffLim = kXoffLimit;
    dcb.ByteSize = g_config.byte_size;
    dcb.Parity = g_config.parity;
    dcb.StopBits = g_config.stop_bits;
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    if (!SetCommState(g_handle.load(), &dcb)) {
        return "SetCommState failed";
    }
    g_line = dcb;
    return nullptr;
}

// Queues, time-outs and line settings of the port held; 0 or 1. Under the
// lock.
int32_t ConfigureLocked(ErrorText* error) {
    const HANDLE h = g_handle.load();
    if (!SetupComm(h, COM_QUEUE_SIZE, COM_QUEUE_SIZE)) {
        error->SetLocked("SetupComm failed");
        return 1;
    }
    g_timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(h, &g_timeouts)) {
        error->SetLocked("SetCommTimeouts failed");
        return 1;
    }
    const char* failed = ChangeBaudrateLocked();
    if (failed != nullptr) {
        error->SetLocked(failed);
        return 1;
    }
    g_state.store(COM_STATE_OPEN);
    g_read_done.store(1);
    return 0;
}

// Open (or configure again) the port of the current settings; 0 or 1, with
// the text of a box to show. Called without the lock: the open may take up to
// its bound, and the worker must go on meanwhile.
int32_t InitCom(ErrorText* error) {
    char path[kPathSize];
    uint32_t generation;
    {
        Guard guard;
        const HANDLE h = g_handle.load();
        if (h != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(h);
            return ConfigureLocked(error);
        }
        FormPath(path, g_config.device_name, sizeof g_config.device_name);
        generation = g_generation;
    }
    const HANDLE h = OpenBounded(path);
    Guard guard;
    if (h == INVALID_HANDLE_VALUE) {
        return 1;
    }
    if (generation != g_generation || g_handle.load() != INVALID_HANDLE_VALUE) {
        CloseHandle(h); // other settings were chosen meanwhile
        return 1;
    }
    g_handle.store(h);
    g_opens.fetch_add(1);
    return ConfigureLocked(error);
}

void ShowIfAny(const ErrorText& error) {
    if (error.text[0] != '\0') {
        COM_ShowError(error.text);
    }
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
    g_next_reopen = GetTickCount64() + COM_REOPEN_INTERVAL_MS;
    g_losses.fetch_add(1);
}

// While the port's device is gone: an open of the same port every
// COM_REOPEN_INTERVAL_MS. No box: the port being absent is what is waited
// out, and one that opens but cannot be set up yet is tried again.
void TryReopen() {
    char path[kPathSize];
    uint32_t generation;
    {
        Guard guard;
        if (!g_lost.load() || GetTickCount64() < g_next_reopen) {
            return;
        }
        g_next_reopen = GetTickCount64() + COM_REOPEN_INTERVAL_MS;
        FormPath(path, g_config.device_name, sizeof g_config.device_name);
        generation = g_generation;
    }
    g_reopen_tries.fetch_add(1);
    const HANDLE h = OpenBounded(path);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    Guard guard;
    if (!g_lost.load() || generation != g_generation || g_handle.load() != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return;
    }
    g_handle.store(h);
    g_opens.fetch_add(1);
    ErrorText unshown;
    if (ConfigureLocked(&unshown) != 0) {
        CloseLocked();
        return;
    }
    g_lost.store(false);
    g_reopens.fetch_add(1);
}

void CALLBACK ReadDone(DWORD error, DWORD count, LPOVERLAPPED ov) {
    // An aborted read ends with the count the platform reports; its error
    // only tells whether the port is worth a look.
    ReadSlot* slot = reinterpret_cast<ReadSlot*>(ov);
    slot->count.store(count);
    slot->error.store(error);
    slot->done.store(true);
    slot->pending.store(false);
    if (g_current_read.load() == slot) {
        g_read_done.store(1);
    }
}

ReadSlot* FreeReadSlot() {
    for (ReadSlot& slot : g_read_slots) {
        if (!slot.pending.load()) {
            return &slot;
        }
    }
    return nullptr;
}

enum class ReadStart { kStarted, kNoSlot, kFailed };

// Applies the time-out if it changed and starts a read into a free slot.
ReadStart StartRead(uint32_t count, uint32_t timeout_ms, ReadSlot** slot_out, HANDLE* handle_out) {
    Guard guard;
    const HANDLE h = g_handle.load();
    if (g_state.load() != COM_STATE_OPEN || h == INVALID_HANDLE_VALUE) {
        return ReadStart::kFailed;
    }
    if (timeout_ms != g_timeouts.ReadTotalTimeoutConstant) {
        g_timeouts = COMMTIMEOUTS{0, 0, timeout_ms, 0, 0};
        SetCommTimeouts(h, &g_timeouts);
        g_read_timeouts_set.fetch_add(1);
    }
    ReadSlot* slot = FreeReadSlot();
    if (slot == nullptr) {
        return ReadStart::kNoSlot;
    }
    slot->ov = OVERLAPPED{};
    slot->done.store(false);
    slot->count.store(0);
    slot->error.store(0);
    slot->pending.store(true);
    g_current_read.store(slot);
    g_read_done.store(0);
    const COM_START_READ start = g_start_read.load();
    if (!(start != nullptr ? start : ReadFileEx)(h, slot->buf, count, &slot->ov, ReadDone)) {
        // No completion will come for a read that never started.
        g_current_read.store(nullptr);
        slot->pending.store(false);
        CheckGoneLocked(h);
        return ReadStart::kFailed;
    }
    *slot_out = slot;
    *handle_out = h;
    return ReadStart::kStarted;
}

void CancelRead(HANDLE h, ReadSlot* slot) {
    const COM_CANCEL_READ cancel = g_cancel_read.load();
    (cancel != nullptr ? cancel : CancelIoEx)(h, &slot->ov);
}

// Waits alertably until the slot's completion has come or the time is up.
bool AwaitCompletion(ReadSlot* slot, DWORD ms) {
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
bool StartReadInTime(uint32_t count, uint32_t timeout_ms, ULONGLONG deadline, ReadSlot** slot,
                     HANDLE* h) {
    for (int attempt = 0;; ++attempt) {
        const ReadStart started = StartRead(count, timeout_ms, slot, h);
        if (started != ReadStart::kNoSlot) {
            return started == ReadStart::kStarted;
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
void AwaitRead(ReadSlot* slot, HANDLE h, ULONGLONG deadline) {
    while (g_read_done.load() == 0 && GetTickCount64() < deadline) {
        SleepEx(1, TRUE);
    }
    if (!slot->done.load()) {
        // A handle closed meanwhile has aborted the read already; cancelling
        // it again does no harm.
        if (g_read_done.load() == 0) {
            g_reads_cut_off.fetch_add(1);
        }
        CancelRead(h, slot);
        AwaitCompletion(slot, kCancelWaitMs);
    }
    g_current_read.store(nullptr);
}

// Take: the bytes of a completed read. A read still not completed leaves its
// slot taken until the completion runs, in a later alertable wait.
uint32_t TakeRead(ReadSlot* slot, uint8_t* buffer, uint32_t count) {
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

bool SlotBusy(WriteSlot* slot) {
    return slot->in_flight && !HasOverlappedIoCompleted(&slot->ov);
}

// A free slot, or null while the last write started is still in progress: a
// write started next to a pending one may overtake it or interleave with it
// (seen with Wine), so writes go to the platform one at a time.
WriteSlot* FreeWriteSlotLocked() {
    if (g_last_write != nullptr && SlotBusy(g_last_write)) {
        return nullptr;
    }
    for (int i = 0; i < kWriteSlots; ++i) {
        WriteSlot& slot = g_write_slots[(g_next_write + i) % kWriteSlots];
        if (!SlotBusy(&slot)) {
            slot.in_flight = false;
            g_next_write = (g_next_write + i + 1) % kWriteSlots;
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
    const uint32_t baud = g_config.baud_rate < kSlowestBaud ? kSlowestBaud : g_config.baud_rate;
    return kWriteWaitMarginMs + static_cast<DWORD>(uint64_t{bytes} * bits_per_byte * 1000 / baud);
}

// One write of at most a slot's size; false when it was dropped or refused.
bool WriteChunk(const uint8_t* bytes, uint32_t length) {
    ULONGLONG deadline = 0;
    for (;;) {
        {
            Guard guard;
            const HANDLE h = g_handle.load();
            if (g_state.load() != COM_STATE_OPEN || h == INVALID_HANDLE_VALUE) {
                return false;
            }
            WriteSlot* slot = FreeWriteSlotLocked();
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

int32_t _InitCOM() {
    ErrorText error;
    const int32_t result = InitCom(&error);
    ShowIfAny(error);
    return result;
}

int32_t COM_ChangeBaudrate() {
    ErrorText error;
    {
        Guard guard;
        const char* failed = ChangeBaudrateLocked();
        if (failed != nullptr) {
            error.SetLocked(failed);
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
        Guard guard;
        if (g_state.load() != COM_STATE_NEW) {
            return g_state.load() == COM_STATE_OPEN ? 0 : 1;
        }
        // First use before any port was chosen: plain defaults, name kept.
        g_config.baud_rate = COM_DEFAULT_BAUD;
        g_config.byte_size = 8;
        g_config.parity = COM_PARITY_NONE;
        g_config.stop_bits = COM_STOP_BITS_ONE;
    }
    ErrorText error;
    InitCom(&error);
    g_state.store(COM_STATE_OPEN);
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

void COM_Write(const uint8_t* bytes, uint32_t length) {
    if (COM_EnsureInit() != 0) {
        return;
    }
    TryReopen();
    while (length > 0) {
        const uint32_t chunk = length < kWriteSlotSize ? length : kWriteSlotSize;
        if (!WriteChunk(bytes, chunk)) {
            return;
        }
        bytes += chunk;
        length -= chunk;
    }
}

uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms) {
    if (COM_EnsureInit() != 0 || count == 0) {
        return 0;
    }
    TryReopen();
    if (count > COM_READ_MAX) {
        count = COM_READ_MAX;
    }
    // The whole read, a wait for a slot included, is over by this time.
    const ULONGLONG deadline = GetTickCount64() + timeout_ms + kReadMarginMs;
    ReadSlot* slot = nullptr;
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
        Guard guard;
        CheckGoneLocked(h);
    }
    return received;
}

uint64_t COM_Micros() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart / frequency * 1000000 +
                                 c.QuadPart % frequency * 1000000 / frequency);
}

void COM_GetConfig(COM_CONFIG* out) {
    Guard guard;
    *out = g_config;
}

int32_t COM_SetConfig(const COM_CONFIG* config) {
    {
        Guard guard;
        if (config->baud_rate == g_config.baud_rate &&
            std::memcmp(config->device_name, g_config.device_name, COM_DEVICE_NAME_SIZE) == 0 &&
            config->byte_size == g_config.byte_size && config->parity == g_config.parity &&
            config->stop_bits == g_config.stop_bits) {
            return 0;
        }
        g_config = *config;
        ++g_generation;
        g_lost.store(false); // a port that went away is no longer waited for
        if (g_handle.load() != INVALID_HANDLE_VALUE) {
            CloseLocked();
            g_state.store(COM_STATE_CLOSED);
            g_timeouts.ReadTotalTimeoutConstant = 0;
        }
    }
    return _InitCOM();
}

int32_t COM_ScanPorts(int32_t ports[COM_MAX_PORTS]) {
    if (!g_scan_table_ready) {
        for (HANDLE& h : g_scan_handles) {
            h = INVALID_HANDLE_VALUE;
        }
        g_scan_table_ready = true;
    }
    // Left open by an earlier scan; held by ourselves they would not open again.
    COM_CloseScanHandles();
    OpenBatch* batch = new OpenBatch;
    batch->count = COM_MAX_PORTS;
    for (int32_t n = 1; n <= COM_MAX_PORTS; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", static_cast<int>(n));
        FormPath(batch->paths[n - 1], name, sizeof name);
    }
    OpenAll(batch, kScanOpeners, g_scan_handles);
    batch->Release();
    int32_t found = 0;
    for (int32_t n = 1; n <= COM_MAX_PORTS; ++n) {
        if (g_scan_handles[n - 1] != INVALID_HANDLE_VALUE) {
            ports[found++] = n - 1;
        }
    }
    return found;
}

void COM_CloseScanHandles() {
    if (!g_scan_table_ready) {
        return;
    }
    for (HANDLE& h : g_scan_handles) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }
}

void COM_Close() {
    Guard guard;
    g_state.store(COM_STATE_CLOSED);
    g_lost.store(false);
    CloseLocked();
}

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

void COM_SetOpenCall(COM_OPEN_FILE open) {
    g_open_file.store(open);
}

void COM_SetReadCalls(COM_START_READ start, COM_CANCEL_READ cancel) {
    g_start_read.store(start);
    g_cancel_read.store(cancel);
}

void COM_GetStatus(COM_STATUS* out) {
    Guard guard;
    *out = COM_STATUS{};
    const HANDLE h = g_handle.load();
    out->state = g_state.load();
    out->handle_held = h != INVALID_HANDLE_VALUE ? 1 : 0;
    out->exit_hook = g_exit_hook.load() ? 1 : 0;
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
    out->opens_too_slow = g_opens_too_slow.load();
    out->losses = g_losses.load();
    out->reopen_tries = g_reopen_tries.load();
    out->reopens = g_reopens.load();
    out->lost = g_lost.load() ? 1 : 0;
    out->read_timeout_ms = g_timeouts.ReadTotalTimeoutConstant;
    out->line_baud_rate = g_line.BaudRate;
    std::memcpy(&out->line_flags, reinterpret_cast<const char*>(&g_line) + 2 * sizeof(DWORD),
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
