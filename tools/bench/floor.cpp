#include "tools/bench/floor.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/support/testbench.h"
#include "tools/sim/sim.h"

namespace {

constexpr uint8_t ACK = 0x90;
constexpr DWORD ACK_TIMEOUT_MS = 1000;
constexpr DWORD GIVE_UP_MS = 5000;
constexpr DWORD QUEUE_SIZE = 10000;

struct ACK_READ {
    OVERLAPPED ov; // first member: the completion routine finds the read from it
    volatile bool done;
    DWORD count;
    uint8_t byte;
};

void CALLBACK AckDone(DWORD error, DWORD count, LPOVERLAPPED ov) {
    ACK_READ* read = reinterpret_cast<ACK_READ*>(ov);
    read->count = error == 0 ? count : 0;
    read->done = true;
}

HANDLE OpenLine(int port) {
    const HANDLE h = CreateFileA(TESTBENCH_PortPath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return h;
    }
    SetupComm(h, QUEUE_SIZE, QUEUE_SIZE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONESTOPBIT;
    COMMTIMEOUTS t = {0, 0, ACK_TIMEOUT_MS, 0, 0};
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &t)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return h;
}

// The loop itself: nothing but the calls, one control block per write since
// a write's block belongs to the platform until it has completed.
bool RunLoop(HANDLE h, const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<OVERLAPPED> writes(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        writes[i] = OVERLAPPED{};
        if (!WriteFile(h, frames[i].data(), static_cast<DWORD>(frames[i].size()), nullptr,
                       &writes[i]) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        ACK_READ read = {};
        if (!ReadFileEx(h, &read.byte, 1, &read.ov, AckDone)) {
            return false;
        }
        // The port's time-out ends the read; the deadline only guards a
        // completion that never comes, so the bench cannot hang.
        const ULONGLONG deadline = GetTickCount64() + GIVE_UP_MS;
        while (!read.done && GetTickCount64() < deadline) {
            SleepEx(1, TRUE);
        }
        if (!read.done) {
            CancelIoEx(h, &read.ov);
            SleepEx(GIVE_UP_MS, TRUE);
            return false;
        }
        if (read.count != 1 || read.byte != ACK) {
            return false;
        }
    }
    return true;
}

// Seconds that run takes.
double SecondsOf(const std::function<void()>& run) {
    LARGE_INTEGER f;
    LARGE_INTEGER begin;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&begin);
    run();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - begin.QuadPart) / f.QuadPart;
}

// Microseconds a call takes, over count calls.
double MicrosEach(uint32_t count, const std::function<void()>& call) {
    return SecondsOf([&] {
               for (uint32_t i = 0; i < count; ++i) {
                   call();
               }
           }) *
           1e6 / count;
}

// Runs work on a second thread while this one waits in GetMessage and
// dispatches, as the dialog's thread does during a job.
void OnSecondThread(const std::function<void()>& work) {
    std::atomic<bool> finished{false};
    const DWORD self = GetCurrentThreadId();
    std::thread second([&] {
        work();
        finished.store(true);
        PostThreadMessageA(self, WM_NULL, 0, 0);
    });
    while (!finished.load()) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
    }
    second.join();
}

} // namespace

FLOOR_IDLE FLOOR_IdleBetweenBlocks(const std::vector<SIM_REQUEST>& log, uint64_t from_us) {
    std::vector<uint64_t> gaps;
    const SIM_REQUEST* before = nullptr;
    for (const SIM_REQUEST& r : log) {
        if (r.time_us < from_us) {
            continue;
        }
        if (r.command == SIM_CMD_PROGRAM && before != nullptr && before->acknowledged &&
            before->answered_us != 0 && r.first_us >= before->answered_us) {
            gaps.push_back(r.first_us - before->answered_us);
        }
        before = r.command == SIM_CMD_PROGRAM ? &r : nullptr;
    }
    FLOOR_IDLE idle;
    if (gaps.empty()) {
        return idle;
    }
    std::sort(gaps.begin(), gaps.end());
    uint64_t sum = 0;
    for (uint64_t g : gaps) {
        sum += g;
    }
    idle.count = static_cast<uint32_t>(gaps.size());
    idle.median_ms = gaps[gaps.size() / 2] / 1000.0;
    idle.p90_ms = gaps[gaps.size() * 9 / 10] / 1000.0;
    idle.mean_ms = static_cast<double>(sum) / gaps.size() / 1000.0;
    return idle;
}

std::string FLOOR_IdleText(const FLOOR_IDLE& idle) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f/%.3f/%.3f", idle.median_ms, idle.p90_ms, idle.mean_ms);
    return text;
}

FLOOR_RUN FLOOR_Program(int port, int target_port, const std::vector<std::vector<uint8_t>>& frames,
                        uint32_t paced_baud) {
    FLOOR_RUN run;
    SIM_CONFIG config;
    config.baud_rate = paced_baud;
    SIM* sim = SIM_Create(config);
    const HANDLE h = OpenLine(port);
    if (h != INVALID_HANDLE_VALUE && SIM_Start(sim, TESTBENCH_PortPath(target_port).c_str())) {
        const bool ok = RunLoop(h, frames);
        const SIM_CORE core = SIM_Snapshot(sim);
        uint64_t first = 0;
        uint64_t last = 0;
        for (const SIM_REQUEST& r : core.log) {
            if (r.command == SIM_CMD_PROGRAM) {
                first = first == 0 ? r.time_us : first;
                last = r.time_us;
                ++run.blocks;
            }
        }
        run.ok = ok && run.blocks == frames.size();
        run.seconds = (last - first) / 1e6;
        run.idle = FLOOR_IdleBetweenBlocks(core.log);
        if (core.stats.paced_sends != 0) {
            run.sim_late_ms = core.stats.paced_late_us / 1000.0 / core.stats.paced_sends;
        }
    }
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    SIM_Destroy(sim);
    return run;
}

bool FLOOR_WithAcksQueued(int target_port, size_t acks, const std::function<void()>& run) {
    const HANDLE far_end =
        CreateFileA(TESTBENCH_PortPath(target_port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (far_end == INVALID_HANDLE_VALUE) {
        return false;
    }
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 20;
    SetCommTimeouts(far_end, &t);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        uint8_t buffer[4096];
        while (!stop.load()) {
            DWORD n = 0;
            ReadFile(far_end, buffer, sizeof buffer, &n, nullptr);
        }
    });
    // Exactly one acknowledge a block: one more would be out of step, and the
    // programming job fails on what follows its last acknowledge.
    std::thread feed([&] {
        const std::vector<uint8_t> queued(acks, ACK);
        for (size_t at = 0; at < queued.size() && !stop.load(); at += 300) {
            const size_t chunk = queued.size() - at < 300 ? queued.size() - at : 300;
            DWORD n = 0;
            WriteFile(far_end, queued.data() + at, static_cast<DWORD>(chunk), &n, nullptr);
        }
    });
    Sleep(300);
    run();
    stop.store(true);
    feed.join();
    drain.join();
    CloseHandle(far_end);
    return true;
}

double FLOOR_QueuedMsPerBlock(int port, int target_port,
                              const std::vector<std::vector<uint8_t>>& frames) {
    const HANDLE h = OpenLine(port);
    if (h == INVALID_HANDLE_VALUE || frames.empty()) {
        return 0;
    }
    bool ok = false;
    double ms = 0;
    const bool ran = FLOOR_WithAcksQueued(target_port, frames.size(), [&] {
        ms = SecondsOf([&] { ok = RunLoop(h, frames); }) * 1000;
    });
    CloseHandle(h);
    return ran && ok ? ms / frames.size() : 0;
}

double FLOOR_ProgressCalls(HWND bar, uint32_t calls) {
    SendMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(calls));
    return SecondsOf([&] {
        OnSecondThread([&] {
            for (uint32_t i = 0; i < calls; ++i) {
                SendMessageA(bar, PBM_SETPOS, i, 0);
            }
        });
    });
}

void FLOOR_PrintCallCosts(HWND window, int bar_id) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    volatile ULONGLONG ticks = 0;
    volatile DWORD id = 0;
    static uint8_t from[249];
    static uint8_t to[512];
    const double tick = MicrosEach(100000, [&] { ticks = ticks + GetTickCount64(); });
    const double section = MicrosEach(100000, [&] {
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    });
    const double thread_id = MicrosEach(100000, [&] { id = id + GetCurrentThreadId(); });
    const double copy = MicrosEach(100000, [&] {
        std::memcpy(to, from, sizeof from);
        from[0] = to[1];
    });
    const double sleep0 = MicrosEach(10000, [] { SleepEx(0, TRUE); });
    const double sleep1 = MicrosEach(200, [] { SleepEx(1, TRUE); });
    double lookup = 0;
    double set_pos = 0;
    OnSecondThread([&] {
        lookup = MicrosEach(2000, [&] { id = id + (GetDlgItem(window, bar_id) != nullptr); });
        const HWND bar = GetDlgItem(window, bar_id);
        set_pos = MicrosEach(2000, [&] { SendMessageA(bar, PBM_SETPOS, id & 0xFF, 0); });
    });
    DeleteCriticalSection(&cs);
    std::printf("FIGURE cost_GetTickCount64 %.3f us -\n", tick);
    std::printf("FIGURE cost_critical_section_pair %.3f us -\n", section);
    std::printf("FIGURE cost_GetCurrentThreadId %.3f us -\n", thread_id);
    std::printf("FIGURE cost_copy_249_bytes %.3f us -\n", copy);
    std::printf("FIGURE cost_SleepEx_0_alertable %.3f us -\n", sleep0);
    std::printf("FIGURE cost_SleepEx_1_alertable %.1f us -\n", sleep1);
    std::printf("FIGURE cost_GetDlgItem_other_thread %.2f us -\n", lookup);
    std::printf("FIGURE cost_SendMessage_PBM_SETPOS_other_thread %.2f us -\n", set_pos);
}
