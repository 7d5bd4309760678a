// The simulated boot loader on a real COM port: plain synchronous Win32 serial
// I/O in a thread of its own, with optional pacing at a modelled baud rate.
#include "tools/sim/sim.h"

#include <windows.h>

#include <atomic>
#include <cstring>

struct SIM {
    CRITICAL_SECTION lock;
    SIM_CORE core;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> last_activity_us{0};
    uint64_t rx_line_free_us = 0; // when the modelled line has delivered what was received
    uint64_t tx_line_free_us = 0; // when the modelled line has carried what was sent
    // When input was first seen waiting while the thread was sending, not
    // reading (0: none): the line brought it then, not when it is read.
    uint64_t input_seen_us = 0;
    uint64_t input_looked_us = 0;
};

namespace {

constexpr DWORD kEmptyReadPauseMs = 5;
constexpr DWORD kGoneCablePauseMs = 200;
// During a long wait (an erase, a CRC run) the thread looks now and then
// whether input has come; a short one, as for an acknowledge, it never does.
constexpr uint64_t kLookWhileWaitingUs = 50000;
constexpr uint64_t kLookEveryUs = 5000;

uint64_t NowMicros() {
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

bool InputWaiting(SIM* sim) {
    DWORD errors = 0;
    COMSTAT stat = {};
    return ClearCommError(sim->port, &errors, &stat) && stat.cbInQue > 0;
}

// Sleeps while the wait is long, spins for the last two milliseconds: a 1 ms
// sleep per byte would be far too coarse for line timing. A stop request
// ends any wait at once.
void WaitUntil(SIM* sim, uint64_t deadline_us) {
    for (;;) {
        const uint64_t now = NowMicros();
        if (now >= deadline_us || sim->stop.load()) {
            return;
        }
        if (deadline_us - now > kLookWhileWaitingUs && sim->input_seen_us == 0 &&
            now - sim->input_looked_us >= kLookEveryUs) {
            sim->input_looked_us = now;
            if (InputWaiting(sim)) {
                sim->input_seen_us = now;
            }
        }
        if (deadline_us - now > 2000) {
            Sleep(1);
        } else {
            YieldProcessor();
        }
    }
}

void WriteAll(SIM* sim, const uint8_t* bytes, DWORD count) {
    while (count > 0 && !sim->stop.load()) {
        DWORD written = 0;
        if (!WriteFile(sim->port, bytes, count, &written, nullptr) || written == 0) {
            return;
        }
        bytes += written;
        count -= written;
    }
}

uint64_t ByteMicros(const SIM* sim) {
    // 11 bits a byte: start, 8 data, parity, stop.
    return sim->core.config.baud_rate == 0 ? 0 : 11000000ull / sim->core.config.baud_rate;
}

// One piece of an answer. The thread does not read while it waits for it
// (seconds, for a paced erase); what comes in meanwhile is read after.
void Send(SIM* sim, const SIM_SEND& send, uint64_t arrival_us) {
    const uint64_t byte_us = ByteMicros(sim);
    uint64_t start = arrival_us + send.delay_us;
    if (byte_us != 0 && start < sim->tx_line_free_us) {
        start = sim->tx_line_free_us;
    }
    WaitUntil(sim, start);
    if (sim->stop.load()) {
        return;
    }
    const DWORD total = static_cast<DWORD>(send.bytes.size());
    if (byte_us != 0) {
        const uint64_t now = NowMicros();
        EnterCriticalSection(&sim->lock);
        sim->core.stats.paced_sends += 1;
        sim->core.stats.paced_late_us += now > start ? now - start : 0;
        LeaveCriticalSection(&sim->lock);
    }
    if (byte_us == 0) {
        WriteAll(sim, send.bytes.data(), total);
    } else {
        // Each byte leaves when the line has carried the one before it.
        DWORD sent = 0;
        while (sent < total && !sim->stop.load()) {
            const uint64_t now = NowMicros();
            DWORD due = static_cast<DWORD>((now - start) / byte_us) + 1;
            if (due > total) {
                due = total;
            }
            if (due > sent) {
                WriteAll(sim, send.bytes.data() + sent, due - sent);
                sent = due;
            } else {
                WaitUntil(sim, start + sent * byte_us);
            }
        }
        sim->tx_line_free_us = start + total * byte_us;
    }
    const uint64_t done = NowMicros();
    EnterCriticalSection(&sim->lock);
    // A log cleared meanwhile no longer holds the request.
    if (send.request < sim->core.log.size()) {
        sim->core.log[send.request].answered_us = done;
    }
    LeaveCriticalSection(&sim->lock);
    sim->last_activity_us.store(done);
}

DWORD WINAPI Thread(LPVOID arg) {
    SIM* sim = static_cast<SIM*>(arg);
    uint8_t buffer[1024];
    std::vector<SIM_SEND> out;
    while (!sim->stop.load()) {
        // One byte with a short time-out, then whatever else is queued: the
        // read ends as soon as the first byte is there.
        DWORD got = 0;
        const BOOL ok = ReadFile(sim->port, buffer, 1, &got, nullptr);
        if (!ok || got == 0) {
            // A vanished cable can fail at once, and under Wine a read on a
            // hung-up pty spins until its time-out, after which the port
            // reports an error instead of its state. Pause, long once the
            // cable is gone, or a simulator left on it keeps a core busy.
            DWORD errors = 0;
            COMSTAT stat = {};
            const bool port_ok = ClearCommError(sim->port, &errors, &stat) != FALSE;
            Sleep(port_ok ? kEmptyReadPauseMs : kGoneCablePauseMs);
            // A quiet line still sees the handheld come back from a reset
            // and noise due at a moment.
            out.clear();
            sim->input_seen_us = 0; // whatever was seen waiting is gone
            const uint64_t now = NowMicros();
            EnterCriticalSection(&sim->lock);
            SIM_CoreTick(&sim->core, now, &out);
            LeaveCriticalSection(&sim->lock);
            for (const SIM_SEND& send : out) {
                Send(sim, send, now);
            }
            continue;
        }
        DWORD errors = 0;
        COMSTAT stat = {};
        if (ClearCommError(sim->port, &errors, &stat) && stat.cbInQue > 0) {
            const DWORD more = stat.cbInQue < sizeof buffer - 1 ? stat.cbInQue : sizeof buffer - 1;
            DWORD extra = 0;
            if (ReadFile(sim->port, buffer + 1, more, &extra, nullptr)) {
                got += extra;
            }
        }
        const uint64_t now = NowMicros();
        sim->last_activity_us.store(now);
        const uint64_t byte_us = ByteMicros(sim);
        uint64_t arrival = now;
        out.clear();
        EnterCriticalSection(&sim->lock);
        if (byte_us != 0) {
            // The port hands over bytes at once; a real line takes this long.
            // Bytes that go on with a request already part-way in followed
            // the ones before on the line, however late the cable handed them
            // over. Otherwise the first byte seen has arrived: its own line
            // time is behind it, so only the bytes after it are still due.
            // Bytes seen waiting during a long send were seen then.
            const uint64_t seen = sim->input_seen_us != 0 ? sim->input_seen_us : now;
            const bool continuing = !sim->core.rx.empty();
            if (continuing || sim->rx_line_free_us > seen) {
                sim->rx_line_free_us += got * byte_us;
            } else {
                sim->rx_line_free_us = seen + (got - 1) * byte_us;
            }
            arrival = sim->rx_line_free_us;
        }
        sim->input_seen_us = 0;
        SIM_CoreFeed(&sim->core, buffer, got, now, &out);
        LeaveCriticalSection(&sim->lock);
        for (const SIM_SEND& send : out) {
            Send(sim, send, arrival);
        }
    }
    return 0;
}

} // namespace

SIM* SIM_Create(const SIM_CONFIG& config) {
    SIM* sim = new SIM;
    InitializeCriticalSection(&sim->lock);
    SIM_CoreInit(&sim->core, config);
    sim->core.faults_set_us = NowMicros();
    sim->last_activity_us.store(NowMicros());
    return sim;
}

bool SIM_Start(SIM* sim, const char* port) {
    if (sim->thread != nullptr) {
        return false;
    }
    std::string path = port;
    if (path.compare(0, 4, "\\\\.\\") != 0) {
        path = "\\\\.\\" + path;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    SetupComm(h, 4096, 4096);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONESTOPBIT;
    // A read waits at most 20 ms, so that a stop request is seen.
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 20;
    t.WriteTotalTimeoutConstant = 2000; // a line that nobody reads must not hold the simulator
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &t)) {
        CloseHandle(h);
        return false;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    sim->port = h;
    sim->stop.store(false);
    sim->thread = CreateThread(nullptr, 0, Thread, sim, 0, nullptr);
    if (sim->thread == nullptr) {
        CloseHandle(h);
        sim->port = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

void SIM_Stop(SIM* sim) {
    if (sim->thread != nullptr) {
        sim->stop.store(true);
        // A write to a line that nobody reads any more blocks; purging the
        // port's output ends it, so that stopping never hangs.
        while (WaitForSingleObject(sim->thread, 100) == WAIT_TIMEOUT) {
            PurgeComm(sim->port, PURGE_TXABORT | PURGE_TXCLEAR);
            CancelSynchronousIo(sim->thread);
        }
        CloseHandle(sim->thread);
        sim->thread = nullptr;
    }
    if (sim->port != INVALID_HANDLE_VALUE) {
        CloseHandle(sim->port);
        sim->port = INVALID_HANDLE_VALUE;
    }
}

void SIM_Destroy(SIM* sim) {
    if (sim == nullptr) {
        return;
    }
    SIM_Stop(sim);
    DeleteCriticalSection(&sim->lock);
    delete sim;
}

void SIM_SetFaults(SIM* sim, const SIM_FAULTS& faults) {
    EnterCriticalSection(&sim->lock);
    SIM_CoreSetFaults(&sim->core, faults, NowMicros());
    LeaveCriticalSection(&sim->lock);
}

void SIM_PowerOff(SIM* sim) {
    EnterCriticalSection(&sim->lock);
    SIM_CorePowerOff(&sim->core);
    LeaveCriticalSection(&sim->lock);
}

void SIM_PowerOn(SIM* sim) {
    // The noise goes out at the thread's next pass, within one read time-out.
    EnterCriticalSection(&sim->lock);
    SIM_CorePowerOn(&sim->core);
    LeaveCriticalSection(&sim->lock);
}

std::vector<SIM_REQUEST> SIM_GetRequests(SIM* sim) {
    EnterCriticalSection(&sim->lock);
    std::vector<SIM_REQUEST> log = sim->core.log;
    LeaveCriticalSection(&sim->lock);
    return log;
}

uint32_t SIM_CountRequests(SIM* sim, uint8_t command) {
    uint32_t count = 0;
    EnterCriticalSection(&sim->lock);
    for (const SIM_REQUEST& r : sim->core.log) {
        count += r.command == command ? 1 : 0;
    }
    LeaveCriticalSection(&sim->lock);
    return count;
}

void SIM_ClearRequests(SIM* sim) {
    EnterCriticalSection(&sim->lock);
    sim->core.log.clear();
    LeaveCriticalSection(&sim->lock);
}

SIM_STATS SIM_GetStats(SIM* sim) {
    EnterCriticalSection(&sim->lock);
    const SIM_STATS stats = sim->core.stats;
    LeaveCriticalSection(&sim->lock);
    return stats;
}

uint8_t SIM_ReadFlash(SIM* sim, uint32_t address) {
    EnterCriticalSection(&sim->lock);
    const uint8_t value = SIM_CoreFlashByte(&sim->core, address);
    LeaveCriticalSection(&sim->lock);
    return value;
}

SIM_CORE SIM_Snapshot(SIM* sim) {
    EnterCriticalSection(&sim->lock);
    SIM_CORE copy = sim->core;
    LeaveCriticalSection(&sim->lock);
    return copy;
}

uint64_t SIM_IdleMicros(SIM* sim) {
    return NowMicros() - sim->last_activity_us.load();
}

uint64_t SIM_NowMicros() {
    return NowMicros();
}
