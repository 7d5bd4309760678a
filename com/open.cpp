// Opens on helper threads, each waited for at most COM_OPEN_BOUND_MS.
//
// A batch holds the paths to open; opener threads take them in order, one at
// a time. The caller looks at every path's outcome until each is settled. A
// path whose open has run for the bound is given up: its opener is stuck in
// the platform's open, so one more opener takes the paths after it, and the
// stuck one closes whatever handle it gets in the end. The batch is freed by
// whichever of the caller and its openers lets go of it last, so an opener
// that returns long after its caller has gone still finds it.
//
// A device whose open blocks keeps blocking every open of it: a path given up
// on is noted as blocked until its opener returns, and no open of the same
// device starts meanwhile, so retries every half second do not pile up
// threads stuck in the platform's open.
#include "com/open.h"

#include "com/com.h"
#include "com/com_calls.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

// --- Devices whose open is blocked ------------------------------------------

namespace {

// Room for every port of a scan given up on, and for single opens beside.
constexpr int32_t BLOCKED_MAX = 2 * COM_MAX_PORTS;
constexpr char DEVICE_PREFIX[] = "\\\\.\\";
constexpr size_t DEVICE_PREFIX_SIZE = sizeof DEVICE_PREFIX - 1;

struct BLOCKED_LOCK {
    CRITICAL_SECTION section;
    BLOCKED_LOCK() { InitializeCriticalSection(&section); }
};

CRITICAL_SECTION* BlockedLock() {
    static BLOCKED_LOCK lock; // never destroyed: an opener may return at exit
    return &lock.section;
}

// An open given up on whose opener has not returned: which batch and path
// (identity only, never followed) and the device it opens. Under the blocked
// lock: added by the caller that gives up, removed by the opener.
struct BLOCKED_OPEN {
    const void* batch;
    int32_t index;
    char device[COM_PATH_SIZE];
};
BLOCKED_OPEN g_blocked[BLOCKED_MAX] = {};
int32_t g_blocked_count = 0;

// "\\.\COM3" and "\\.\\\.\COM3" open the same device: the name behind the prefixes.
const char* DeviceOf(const char* path) {
    while (std::strncmp(path, DEVICE_PREFIX, DEVICE_PREFIX_SIZE) == 0) {
        path += DEVICE_PREFIX_SIZE;
    }
    return path;
}

bool SameDevice(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

bool IsBlocked(const char* path) {
    const char* device = DeviceOf(path);
    EnterCriticalSection(BlockedLock());
    bool blocked = false;
    for (int32_t i = 0; i < g_blocked_count && !blocked; ++i) {
        blocked = SameDevice(g_blocked[i].device, device);
    }
    LeaveCriticalSection(BlockedLock());
    return blocked;
}

// Under the blocked lock. A full table (hundreds of stuck opens) notes no more.
void AddBlockedLocked(const void* batch, int32_t index, const char* path) {
    if (g_blocked_count < BLOCKED_MAX) {
        BLOCKED_OPEN& entry = g_blocked[g_blocked_count++];
        entry.batch = batch;
        entry.index = index;
        std::snprintf(entry.device, sizeof entry.device, "%s", DeviceOf(path));
    }
}

void RemoveBlocked(const void* batch, int32_t index) {
    EnterCriticalSection(BlockedLock());
    for (int32_t i = 0; i < g_blocked_count; ++i) {
        if (g_blocked[i].batch == batch && g_blocked[i].index == index) {
            g_blocked[i] = g_blocked[--g_blocked_count];
            break;
        }
    }
    LeaveCriticalSection(BlockedLock());
}

} // namespace

// --- Opens on helper threads ------------------------------------------------

namespace {

constexpr int32_t SCAN_OPENERS = 4;  // opens of a scan under way at once
constexpr DWORD OPENER_POLL_MS = 10; // how often a waiting caller looks at its opens

// Stored by tests while no open runs, read by the opener threads.
std::atomic<COM_OPEN_FILE> g_open_file{nullptr};
// Counted by whichever thread waits for opens; read by anyone through
// COM_GetOpenCounts.
std::atomic<uint32_t> g_opens_too_slow{0};
std::atomic<uint32_t> g_opens_refused{0};

// Opens of a set of paths, shared by the caller and its openers.
struct OPEN_BATCH {
    enum OUTCOME : int32_t { PENDING, OPENED, NOT_OPENED, TOO_SLOW, REFUSED };
    std::atomic<int32_t> refs{1};
    int32_t count = 0;            // set by the caller before any opener starts
    DWORD bound_ms = 0;           // likewise: how long each path's open is waited for
    std::atomic<int32_t> next{0}; // the next path to take, by any opener
    char paths[COM_MAX_PORTS][COM_PATH_SIZE] = {};
    // Written by the opener before its outcome; read by the caller after it.
    HANDLE handles[COM_MAX_PORTS] = {};
    DWORD errors[COM_MAX_PORTS] = {};
    // When an opener took the path (0 until then), and how its open ended:
    // the opener stores the result unless the caller has given up first. A
    // path refused before the openers start is settled already.
    std::atomic<ULONGLONG> started[COM_MAX_PORTS] = {};
    std::atomic<int32_t> outcome[COM_MAX_PORTS] = {};
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr); // after each outcome
};

void ReleaseBatch(OPEN_BATCH* batch) {
    if (batch->refs.fetch_sub(1) == 1) {
        CloseHandle(batch->wake);
        delete batch;
    }
}

HANDLE OpenPath(const char* path) {
    const COM_OPEN_FILE open = g_open_file.load();
    return (open != nullptr ? open : CreateFileA)(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

DWORD WINAPI Opener(void* argument) {
    OPEN_BATCH* batch = static_cast<OPEN_BATCH*>(argument);
    for (;;) {
        const int32_t i = batch->next.fetch_add(1);
        if (i >= batch->count) {
            break;
        }
        if (batch->outcome[i].load() == OPEN_BATCH::REFUSED) {
            continue;
        }
        batch->started[i].store(GetTickCount64());
        const HANDLE h = OpenPath(batch->paths[i]);
        batch->errors[i] = h != INVALID_HANDLE_VALUE ? 0 : GetLastError();
        batch->handles[i] = h;
        int32_t pending = OPEN_BATCH::PENDING;
        if (!batch->outcome[i].compare_exchange_strong(
                pending, h != INVALID_HANDLE_VALUE ? OPEN_BATCH::OPENED : OPEN_BATCH::NOT_OPENED)) {
            // Given up on: another opener has taken over the paths left.
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
            RemoveBlocked(batch, i);
            break;
        }
        SetEvent(batch->wake);
    }
    ReleaseBatch(batch);
    return 0;
}

void StartOpener(OPEN_BATCH* batch) {
    batch->refs.fetch_add(1);
    const HANDLE thread = CreateThread(nullptr, 0, Opener, batch, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    } else {
        Opener(batch); // no thread to spare: open here, unbounded
    }
}

// Gives the path up if it is still pending, noting its device as blocked in
// the same step, so that its opener, which removes the note on returning,
// never finds it missing.
bool GiveUp(OPEN_BATCH* batch, int32_t i) {
    EnterCriticalSection(BlockedLock());
    int32_t pending = OPEN_BATCH::PENDING;
    const bool given_up = batch->outcome[i].compare_exchange_strong(pending, OPEN_BATCH::TOO_SLOW);
    if (given_up) {
        AddBlockedLocked(batch, i, batch->paths[i]);
    }
    LeaveCriticalSection(BlockedLock());
    return given_up;
}

// Why a finished open failed, from the platform's error.
COM_OPEN_FAILURE FailureOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED: // Windows' answer for a port another program holds
    case ERROR_SHARING_VIOLATION:
        return COM_OPEN_FAILURE::IN_USE;
    case ERROR_SEM_TIMEOUT: // a Bluetooth port whose device did not answer in time
        return COM_OPEN_FAILURE::TOO_SLOW;
    default: // no such device, or its driver has lost it
        return COM_OPEN_FAILURE::GONE;
    }
}

COM_OPENED OutcomeOf(const OPEN_BATCH& batch, int32_t i) {
    switch (batch.outcome[i].load()) {
    case OPEN_BATCH::OPENED:
        return {batch.handles[i], COM_OPEN_FAILURE::NONE, 0};
    case OPEN_BATCH::NOT_OPENED:
        return {INVALID_HANDLE_VALUE, FailureOf(batch.errors[i]), batch.errors[i]};
    default:
        return {INVALID_HANDLE_VALUE, COM_OPEN_FAILURE::TOO_SLOW, 0};
    }
}

// Opens the batch's paths, each waited for at most its bound; out gets how
// each ended.
void OpenAll(OPEN_BATCH* batch, int32_t openers, COM_OPENED* out) {
    for (int32_t i = 0; i < openers && i < batch->count; ++i) {
        StartOpener(batch);
    }
    for (;;) {
        bool settled = true;
        for (int32_t i = 0; i < batch->count; ++i) {
            if (batch->outcome[i].load() != OPEN_BATCH::PENDING) {
                continue;
            }
            settled = false;
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG started = batch->started[i].load();
            if (started != 0 && now >= started + batch->bound_ms && GiveUp(batch, i)) {
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
        WaitForSingleObject(batch->wake, OPENER_POLL_MS);
    }
    for (int32_t i = 0; i < batch->count; ++i) {
        out[i] = OutcomeOf(*batch, i);
    }
}

} // namespace

void COM_FormPath(char (&path)[COM_PATH_SIZE], const char* name, size_t name_size) {
    // Only the name's length is bounded, in case it lacks its terminating NUL.
    const int length = static_cast<int>(strnlen(name, name_size));
    std::snprintf(path, COM_PATH_SIZE, "\\\\.\\%.*s", length, name);
}

int32_t COM_PortOfName(const char* name, size_t size) {
    const char* end = name + strnlen(name, size);
    while (end - name >= static_cast<ptrdiff_t>(DEVICE_PREFIX_SIZE) &&
           std::strncmp(name, DEVICE_PREFIX, DEVICE_PREFIX_SIZE) == 0) {
        name += DEVICE_PREFIX_SIZE;
    }
    if (end - name < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] == '0') {
        return -1;
    }
    // "COM" and at most six digits: no port has more.
    int32_t number = 0;
    for (const char* c = name + 3; c < end; ++c) {
        if (*c < '0' || *c > '9' || c - name >= 9) {
            return -1;
        }
        number = number * 10 + (*c - '0');
    }
    return number - 1;
}

COM_OPENED COM_OpenBounded(const char* path) {
    // Waiting for a blocked device's open to return counts against the bound.
    const ULONGLONG begun = GetTickCount64();
    while (IsBlocked(path)) {
        if (GetTickCount64() - begun >= COM_OPEN_BOUND_MS) {
            g_opens_too_slow.fetch_add(1);
            g_opens_refused.fetch_add(1);
            return {INVALID_HANDLE_VALUE, COM_OPEN_FAILURE::TOO_SLOW, 0};
        }
        Sleep(OPENER_POLL_MS);
    }
    const ULONGLONG waited = GetTickCount64() - begun;
    OPEN_BATCH* batch = new OPEN_BATCH;
    batch->count = 1;
    batch->bound_ms =
        waited < COM_OPEN_BOUND_MS ? static_cast<DWORD>(COM_OPEN_BOUND_MS - waited) : 1;
    std::snprintf(batch->paths[0], COM_PATH_SIZE, "%s", path);
    COM_OPENED opened = {};
    OpenAll(batch, 1, &opened);
    ReleaseBatch(batch);
    return opened;
}

COM_OPEN_COUNTS COM_GetOpenCounts() {
    COM_OPEN_COUNTS counts = {};
    counts.too_slow = g_opens_too_slow.load();
    counts.refused = g_opens_refused.load();
    EnterCriticalSection(BlockedLock());
    counts.still_blocked = static_cast<uint32_t>(g_blocked_count);
    LeaveCriticalSection(BlockedLock());
    return counts;
}

void COM_SetOpenCall(COM_OPEN_FILE open) {
    g_open_file.store(open);
}

COM_OPEN_FAILURE COM_TryPort(int32_t port) {
    if (port < 0) {
        return COM_OPEN_FAILURE::GONE;
    }
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(port + 1));
    char path[COM_PATH_SIZE];
    COM_FormPath(path, name, sizeof name);
    const COM_OPENED opened = COM_OpenBounded(path);
    if (opened.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(opened.handle);
    }
    return opened.failure;
}

// --- The scan ---------------------------------------------------------------

namespace {

// Filled by the thread that scans, closed by the one that lists the ports
// once the scan has ended (the caller hands over between the two). The table
// is set to "none" on first use: INVALID_HANDLE_VALUE is not a constant.
HANDLE g_scan_handles[COM_MAX_PORTS];
bool g_scan_table_ready = false;

} // namespace

int32_t COM_ScanPorts(int32_t ports[COM_MAX_PORTS]) {
    if (!g_scan_table_ready) {
        for (HANDLE& h : g_scan_handles) {
            h = INVALID_HANDLE_VALUE;
        }
        g_scan_table_ready = true;
    }
    // Left open by an earlier scan; held by ourselves they would not open again.
    COM_CloseScanHandles();
    OPEN_BATCH* batch = new OPEN_BATCH;
    batch->count = COM_MAX_PORTS;
    batch->bound_ms = COM_OPEN_BOUND_MS;
    for (int32_t n = 1; n <= COM_MAX_PORTS; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", static_cast<int>(n));
        COM_FormPath(batch->paths[n - 1], name, sizeof name);
        // Refused at once: the scan waits for its openers, not for others'.
        if (IsBlocked(batch->paths[n - 1])) {
            batch->outcome[n - 1].store(OPEN_BATCH::REFUSED);
            g_opens_too_slow.fetch_add(1);
            g_opens_refused.fetch_add(1);
        }
    }
    COM_OPENED opened[COM_MAX_PORTS];
    OpenAll(batch, SCAN_OPENERS, opened);
    ReleaseBatch(batch);
    for (int32_t i = 0; i < COM_MAX_PORTS; ++i) {
        g_scan_handles[i] = opened[i].handle;
    }
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
