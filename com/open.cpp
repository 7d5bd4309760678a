// Opens on helper threads, each waited for at most COM_OPEN_BOUND_MS.
//
// A batch holds the paths to open; opener threads take them in order, one at
// a time. The caller looks at every path's outcome until each is settled. A
// path whose open has run for the bound is given up: its opener is stuck in
// the platform's open, so one more opener takes the paths after it, and the
// stuck one closes whatever handle it gets in the end. The batch is freed by
// whichever of the caller and its openers lets go of it last, so an opener
// that returns long after its caller has gone still finds it.
#include "com/open.h"

#include "com/com.h"
#include "com/com_calls.h"

#include <atomic>
#include <cstdio>
#include <cstring>

// --- Opens on helper threads ------------------------------------------------

namespace {

constexpr int32_t SCAN_OPENERS = 4;  // opens of a scan under way at once
constexpr DWORD OPENER_POLL_MS = 10; // how often a waiting caller looks at its opens

// Stored by tests while no open runs, read by the opener threads.
std::atomic<COM_OPEN_FILE> g_open_file{nullptr};
// Counted by whichever thread waits for opens (the user-interface thread
// choosing a port, the worker on first use and while reopening, the scan's
// thread); read by anyone through COM_OpensTooSlow.
std::atomic<uint32_t> g_opens_too_slow{0};

// Opens of a set of paths, shared by the caller and its openers.
struct OPEN_BATCH {
    enum OUTCOME : int32_t { PENDING, OPENED, NOT_OPENED, TOO_SLOW };
    std::atomic<int32_t> refs{1};
    int32_t count = 0;            // set by the caller before any opener starts
    std::atomic<int32_t> next{0}; // the next path to take, by any opener
    char paths[COM_MAX_PORTS][COM_PATH_SIZE] = {};
    // Written by the opener before its outcome; read by the caller after it.
    HANDLE handles[COM_MAX_PORTS] = {};
    // When an opener took the path (0 until then), and how its open ended:
    // the opener stores the result unless the caller has given up first.
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
        batch->started[i].store(GetTickCount64());
        const HANDLE h = OpenPath(batch->paths[i]);
        batch->handles[i] = h;
        int32_t pending = OPEN_BATCH::PENDING;
        if (!batch->outcome[i].compare_exchange_strong(
                pending, h != INVALID_HANDLE_VALUE ? OPEN_BATCH::OPENED : OPEN_BATCH::NOT_OPENED)) {
            // Given up on: another opener has taken over the paths left.
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
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

// Opens the batch's paths, each waited for at most COM_OPEN_BOUND_MS; out
// gets a handle or INVALID_HANDLE_VALUE for each.
void OpenAll(OPEN_BATCH* batch, int32_t openers, HANDLE* out) {
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
            int32_t pending = OPEN_BATCH::PENDING;
            if (started != 0 && now >= started + COM_OPEN_BOUND_MS &&
                batch->outcome[i].compare_exchange_strong(pending, OPEN_BATCH::TOO_SLOW)) {
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
        out[i] = batch->outcome[i].load() == OPEN_BATCH::OPENED ? batch->handles[i]
                                                                : INVALID_HANDLE_VALUE;
    }
}

} // namespace

void COM_FormPath(char (&path)[COM_PATH_SIZE], const char* name, size_t name_size) {
    // Only the name's length is bounded, in case it lacks its terminating NUL.
    const int length = static_cast<int>(strnlen(name, name_size));
    std::snprintf(path, COM_PATH_SIZE, "\\\\.\\%.*s", length, name);
}

HANDLE COM_OpenBounded(const char* path) {
    OPEN_BATCH* batch = new OPEN_BATCH;
    batch->count = 1;
    std::snprintf(batch->paths[0], COM_PATH_SIZE, "%s", path);
    HANDLE h = INVALID_HANDLE_VALUE;
    OpenAll(batch, 1, &h);
    ReleaseBatch(batch);
    return h;
}

uint32_t COM_OpensTooSlow() {
    return g_opens_too_slow.load();
}

void COM_SetOpenCall(COM_OPEN_FILE open) {
    g_open_file.store(open);
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
    for (int32_t n = 1; n <= COM_MAX_PORTS; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", static_cast<int>(n));
        COM_FormPath(batch->paths[n - 1], name, sizeof name);
    }
    OpenAll(batch, SCAN_OPENERS, g_scan_handles);
    ReleaseBatch(batch);
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
