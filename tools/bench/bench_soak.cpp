// Soak: complete updates of the carried firmware in a row in one process
// against the simulated handheld, each followed by a fresh worker as a new
// start of the program would give. Handle count and memory must stay flat.
//   wine-run.sh BUILD bench_soak.exe [updates]
#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "target/job.h"
#include "target/worker.h"
#include "tests/support/testbench.h"
#include "tests/support/harness.h"

namespace {

// What a few dozen updates may leave behind without being a leak: the
// platform's lazily grown pools, a handle or two of its own.
constexpr DWORD HANDLE_SLACK = 8;
constexpr double MEMORY_SLACK_MB = 4;

// Wine reports no handle count and no private bytes; then the handle table
// is probed and the committed private pages are summed instead.
DWORD ProbeHandles() {
    DWORD count = 0;
    for (uintptr_t value = 4; value < (1u << 20); value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

SIZE_T CommittedPrivate() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) {
            total += info.RegionSize;
        }
        if (static_cast<const char*>(info.BaseAddress) + info.RegionSize < p) {
            break;
        }
    }
    return total;
}

const char* g_handle_source = "GetProcessHandleCount";
const char* g_private_source = "PrivateUsage";

struct USAGE {
    DWORD handles = 0;
    double working_set_mb = 0;
    double private_mb = 0;
};

USAGE Measure() {
    USAGE u;
    GetProcessHandleCount(GetCurrentProcess(), &u.handles);
    if (u.handles == 0) {
        u.handles = ProbeHandles();
        g_handle_source = "handle table probed";
    }
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m),
                             sizeof m)) {
        u.working_set_mb = m.WorkingSetSize / 1048576.0;
        u.private_mb = m.PrivateUsage / 1048576.0;
    }
    if (m.PrivateUsage == 0) {
        u.private_mb = CommittedPrivate() / 1048576.0;
        g_private_source = "committed private pages summed";
    }
    return u;
}

void Print(const char* when, const USAGE& u) {
    std::printf("  %-22s handles %5lu, working set %7.2f MB, private bytes %7.2f MB\n", when,
                static_cast<unsigned long>(u.handles), u.working_set_mb, u.private_mb);
}

} // namespace

int main(int argc, char** argv) {
    const int updates = argc > 1 ? std::atoi(argv[1]) : 50;
    if (!HARNESS_Setup(PROGRESS_BAR::NONE) || APP_LoadImage() != 0) {
        std::printf("bench_soak: no test bench or no firmware (run under wine-run.sh)\n");
        return 1;
    }
    const USAGE before = Measure();
    USAGE first;
    int failed = 0;
    for (int i = 1; i <= updates; ++i) {
        HARNESS_RestartWorker();
        SIM* sim = HARNESS_StartSim(SIM_CONFIG{});
        const bool ok = sim != nullptr && HARNESS_WaitConnected(10000) && UPDATE_Run() == 0;
        failed += ok ? 0 : 1;
        WORKER_Stop();
        HARNESS_StopSim(sim);
        if (i == 1) {
            first = Measure();
        }
    }
    const USAGE end = Measure();
    // The first update grows what the platform sets up on first use (the
    // cable, the port's buffers, thread pools); flat means no growth after it.
    const long handle_growth = static_cast<long>(end.handles) - static_cast<long>(first.handles);
    const double private_growth = end.private_mb - first.private_mb;
    const double ws_growth = end.working_set_mb - first.working_set_mb;
    const bool flat = handle_growth <= static_cast<long>(HANDLE_SLACK) &&
                      private_growth <= MEMORY_SLACK_MB && ws_growth <= MEMORY_SLACK_MB;
    std::printf("soak: %d complete updates in one process, %d failed (handles: %s; private "
                "bytes: %s)\n",
                updates, failed, g_handle_source, g_private_source);
    Print("before the first:", before);
    Print("after the first:", first);
    Print("after the last:", end);
    std::printf("  growth after the first: %+ld handles, %+.2f MB private, %+.2f MB working set "
                "(allowed %lu handles, %.0f MB)\n",
                handle_growth, private_growth, ws_growth, static_cast<unsigned long>(HANDLE_SLACK),
                MEMORY_SLACK_MB);
    std::printf("  verdict: %s\n", failed == 0 && flat ? "FLAT" : "NOT FLAT OR FAILED");
    std::printf("FIGURE soak_updates_failed %d count 0\n", failed);
    std::printf("FIGURE soak_handles_start %lu count -\n",
                static_cast<unsigned long>(first.handles));
    std::printf("FIGURE soak_handles_end %lu count +%lu\n", static_cast<unsigned long>(end.handles),
                static_cast<unsigned long>(HANDLE_SLACK));
    std::printf("FIGURE soak_private_start %.2f MB -\n", first.private_mb);
    std::printf("FIGURE soak_private_end %.2f MB +%.0f\n", end.private_mb, MEMORY_SLACK_MB);
    std::printf("FIGURE soak_working_set_start %.2f MB -\n", first.working_set_mb);
    std::printf("FIGURE soak_working_set_end %.2f MB +%.0f\n", end.working_set_mb, MEMORY_SLACK_MB);
    TESTBENCH_Reset();
    return failed == 0 && flat ? 0 : 1;
}
