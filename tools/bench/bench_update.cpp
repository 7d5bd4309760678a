// A full update of the carried firmware against the simulated handheld, at
// full speed and (with --paced, with the progress bar) with the line paced at
// 115200 baud. Prints wall times, the updater's own time per block and its
// parts, the line's idle time between an acknowledge and the next block, and
// the modelled wire time of the same requests.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/display.h"
#include "com/com.h"
#include "image/image.h"
#include "target/job.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/handover.h"
#include "target/worker.h"
#include "tests/support/testbench.h"
#include "tools/bench/floor.h"
#include "tools/sim/sim.h"

namespace {

// Program requests for the carried firmware.
constexpr size_t kBlocks = 6227;

constexpr int UPDATER_PORT = 51;
constexpr int TARGET_PORT = 52;
constexpr int FLOOR_PORT = 53; // the floor's own cable, to a simulator of its own
constexpr int FLOOR_TARGET_PORT = 54;
constexpr double BUDGET_S = 15.0;
constexpr uint32_t LINE_BAUD = 115200;
constexpr uint32_t BITS_PER_BYTE = 11; // start, 8 data, odd parity, stop

// The simulator's clock, so that its request times compare with ours.
uint64_t NowMicros() {
    LARGE_INTEGER f;
    LARGE_INTEGER c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart / f.QuadPart * 1000000 +
                                 c.QuadPart % f.QuadPart * 1000000 / f.QuadPart);
}

HWND MakeWindow(bool with_bar) {
    HWND w = CreateWindowA("STATIC", "bench", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    CreateWindowA("STATIC", "", WS_CHILD, 0, 0, 200, 20, w,
                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(UI_ID_STATUS)), nullptr, nullptr);
    if (with_bar) {
        CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD, 0, 30, 200, 20, w,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(UI_ID_PROGRESS)), nullptr,
                      nullptr);
    }
    return w;
}

struct RUN {
    bool ok = false;
    double wall_s = 0;        // Start to the start-application request
    double programming_s = 0; // first to last program request
    uint32_t blocks = 0;
    double wire_s = 0;      // the same requests and answers modelled at 115200 8O1
    double sim_late_ms = 0; // paced: how late the simulator began an answer, on average
    FLOOR_IDLE idle;
};

uint32_t AnswerBytes(const SIM_CONFIG& config, const SIM_REQUEST& r) {
    switch (r.command) {
    case SIM_CMD_IDENTIFY:
        return 9 + 23 + static_cast<uint32_t>(config.text1.size() + config.text2.size());
    case SIM_CMD_CLEAR:
    case SIM_CMD_BLANK_CHECK:
        return 1 + 9;
    case SIM_CMD_GET_CRC:
        return 1 + 12;
    default:
        return 1;
    }
}

bool WaitConnected(uint32_t timeout_ms) {
    const DWORD start = GetTickCount();
    while (!TARGET_IsConnected() && GetTickCount() - start < timeout_ms) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        Sleep(1);
    }
    return TARGET_IsConnected();
}

// frames, when given, receives the program requests as they went out.
RUN RunUpdate(HWND window, uint32_t paced_baud,
              std::vector<std::vector<uint8_t>>* frames = nullptr) {
    RUN run;
    UI_SetDialogWindow(window);
    SIM_CONFIG config;
    config.baud_rate = paced_baud;
    SIM* sim = SIM_Create(config);
    if (!SIM_Start(sim, TESTBENCH_PortPath(TARGET_PORT).c_str())) {
        std::printf("simulator did not start\n");
        SIM_Destroy(sim);
        return run;
    }
    WORKER_Start();
    if (!WaitConnected(10000)) {
        std::printf("target not connected\n");
    } else {
        const uint64_t start = NowMicros();
        const int32_t result = UPDATE_Run();
        const SIM_CORE core = SIM_Snapshot(sim);
        uint64_t first_program = 0;
        uint64_t last_program = 0;
        uint64_t start_app = 0;
        uint64_t wire_bytes = 0;
        bool counting = false;
        for (const SIM_REQUEST& r : core.log) {
            if (r.command == SIM_CMD_CLEAR) {
                counting = true;
            }
            if (!counting || r.time_us < start) {
                continue;
            }
            wire_bytes += r.data.size() + 9 + AnswerBytes(config, r);
            if (r.command == SIM_CMD_PROGRAM) {
                ++run.blocks;
                if (frames != nullptr) {
                    frames->push_back(SIM_EncodeRequest(SIM_CMD_PROGRAM, r.data));
                }
                first_program = first_program == 0 ? r.time_us : first_program;
                last_program = r.time_us;
            }
            if (r.command == SIM_CMD_START_APP) {
                start_app = r.time_us;
                break;
            }
        }
        run.ok = result == 0 && start_app != 0;
        run.wall_s = (start_app - start) / 1e6;
        run.programming_s = (last_program - first_program) / 1e6;
        run.idle = FLOOR_IdleBetweenBlocks(core.log, start);
        run.wire_s = static_cast<double>(wire_bytes) * BITS_PER_BYTE / LINE_BAUD;
        if (core.stats.paced_sends != 0) {
            run.sim_late_ms = core.stats.paced_late_us / 1000.0 / core.stats.paced_sends;
        }
        if (!run.ok) {
            std::printf("update failed: result %d\n", result);
        }
    }
    WORKER_Stop();
    SIM_Stop(sim);
    SIM_Destroy(sim);
    return run;
}

// The programming job's walk alone: every address from the first to the
// last, one read each, under one lock as the job holds it.
double WalkSeconds() {
    const uint64_t start = NowMicros();
    uint8_t block[240] = {};
    uint32_t sum = 0;
    {
        IMAGE_LOCK_SCOPE lock(APP_Image);
        uint32_t address = IMAGE_GetFirstAddr(APP_Image);
        uint32_t left = IMAGE_GetNumBytes(APP_Image);
        while (left != 0) {
            const int32_t v = IMAGE_ReadByte(APP_Image, address);
            if (v >= 0) {
                block[address % 236] = static_cast<uint8_t>(v);
                --left;
            }
            ++address;
        }
    }
    for (uint8_t b : block) {
        sum += b;
    }
    const double seconds = (NowMicros() - start) / 1e6;
    return sum == 0xFFFFFFFF ? 0 : seconds;
}

// The updater's own time per block: the real programming job run with every
// acknowledge already waiting in the port's queue, so no answer is waited
// for and what is left is the walk, the frame, the write and the read.
double OwnMsPerBlock(HWND window) {
    UI_SetDialogWindow(window);
    bool ok = false;
    double ms = 0;
    FLOOR_WithAcksQueued(TARGET_PORT, kBlocks, [&] {
        std::memset(&PROGRAM_Block, 0, sizeof PROGRAM_Block);
        JOB_Image.store(APP_Image);
        WORKER_CancelRequest.store(0);
        const uint64_t start = NowMicros();
        TARGET_Program();
        ms = (NowMicros() - start) / 1000.0;
        ok = JOB_STATUS.load() == 0;
    });
    uint8_t scratch[COM_READ_MAX];
    while (COM_Read(scratch, sizeof scratch, 50) > 0) {
    }
    return ok ? ms / kBlocks : 0;
}

// The progress calls one programming job makes: one when the first byte is
// placed and one every PROGRAM_PROGRESS_STEP bytes after it.
uint32_t ProgressCalls() {
    const uint32_t bytes = IMAGE_GetNumBytes(APP_Image);
    return bytes < 2 ? bytes : (bytes - 2) / PROGRAM_PROGRESS_STEP + 1;
}

double Ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

} // namespace

int main(int argc, char** argv) {
    bool paced = false;
    for (int i = 1; i < argc; ++i) {
        paced = paced || std::strcmp(argv[i], "--paced") == 0;
    }
    InitCommonControls();
    if (APP_LoadImage() != 0) {
        std::printf("firmware did not load\n");
        return 1;
    }
    if (!TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT) ||
        !TESTBENCH_MapPair(FLOOR_PORT, FLOOR_TARGET_PORT)) {
        std::printf("cables not mapped (run under tools/testbench/wine-run.sh)\n");
        return 1;
    }
    COM_CONFIG config = {};
    config.baud_rate = LINE_BAUD;
    const std::string name = TESTBENCH_PortPath(UPDATER_PORT);
    std::memcpy(config.device_name, name.c_str(), name.size());
    config.byte_size = COM_DATA_BITS;
    config.parity = 1;
    if (COM_SetConfig(&config) != 0) {
        return 1;
    }
    const HWND plain = MakeWindow(false);
    const HWND with_bar = MakeWindow(true);

    // The first update also records the frames the floor sends. Then the
    // floor before and after the measured updates, so load that comes and
    // goes shows in both.
    std::vector<std::vector<uint8_t>> frames;
    const RUN warm = RunUpdate(plain, 0, &frames);
    const FLOOR_RUN floor_before = FLOOR_Program(FLOOR_PORT, FLOOR_TARGET_PORT, frames, 0);
    const RUN bare = RunUpdate(plain, 0);
    const RUN bar = RunUpdate(with_bar, 0);
    const uint32_t calls = ProgressCalls();
    const double progress_floor = FLOOR_ProgressCalls(GetDlgItem(with_bar, UI_ID_PROGRESS), calls);
    const FLOOR_RUN floor_after = FLOOR_Program(FLOOR_PORT, FLOOR_TARGET_PORT, frames, 0);
    const double floor_s = (floor_before.seconds + floor_after.seconds) / 2;
    const bool floor_ok = warm.ok && floor_before.ok && floor_after.ok;

    FLOOR_PrintCallCosts(with_bar, UI_ID_PROGRESS);
    const double walk = WalkSeconds();
    COM_STATUS before = {};
    COM_GetStatus(&before);
    const double own_ms = OwnMsPerBlock(plain);
    const double floor_queued_ms = FLOOR_QueuedMsPerBlock(FLOOR_PORT, FLOOR_TARGET_PORT, frames);
    COM_STATUS after = {};
    COM_GetStatus(&after);
    std::printf("  writes that waited for the one before, in that job: %u\n",
                after.write_waits - before.write_waits);

    std::printf("full update of the carried firmware, simulator at full speed\n");
    std::printf("  without progress bar: %.2f s Start to start application (budget %.0f s)%s\n",
                bare.wall_s, BUDGET_S, bare.ok ? "" : "  FAILED");
    std::printf("  with progress bar:    %.2f s%s\n", bar.wall_s, bar.ok ? "" : "  FAILED");
    const double progress = bar.wall_s - bare.wall_s;
    std::printf("  progress calls: %.2f s for %u calls (%.3f ms each); alone, from a bare "
                "thread: %.2f s (%.3f ms each)\n",
                progress, calls, progress * 1000 / calls, progress_floor,
                progress_floor * 1000 / calls);
    std::printf("programming (first to last program request, simulator's clock), %u blocks:\n",
                bare.blocks);
    std::printf("  floor (WriteFile + ReadFileEx + alertable 1 ms sleeps): %.3f s before, %.3f s "
                "after the updates%s\n",
                floor_before.seconds, floor_after.seconds, floor_ok ? "" : "  FAILED");
    std::printf("  updater without bar: %.3f s = %.2f x floor\n", bare.programming_s,
                Ratio(bare.programming_s, floor_s));
    std::printf("  updater with bar:    %.3f s = %.2f x (floor + progress calls alone, %.3f s)\n",
                bar.programming_s, Ratio(bar.programming_s, floor_s + progress_floor),
                floor_s + progress_floor);
    if (bare.blocks > 1) {
        const double per_block = bare.programming_s / (bare.blocks - 1) * 1000;
        const double floor_block = floor_s / (bare.blocks - 1) * 1000;
        const double walk_block = walk / bare.blocks * 1000;
        std::printf("  per block: updater %.4f ms, floor %.4f ms, over it %.4f ms; of that the "
                    "walk %.4f ms\n",
                    per_block, floor_block, per_block - floor_block, walk_block);
    }
    std::printf("  updater's own time per block (the programming job with every acknowledge "
                "already queued): %.3f ms%s\n",
                own_ms, own_ms > 0 ? "" : "  FAILED");
    std::printf("  the floor's loop the same way: %.3f ms a block%s\n", floor_queued_ms,
                floor_queued_ms > 0 ? "" : "  FAILED");
    std::printf("  line idle between an acknowledge and the next block, median / 90 %% / mean "
                "(ms): floor %s before, %s after; updater without bar %s, with bar %s\n",
                FLOOR_IdleText(floor_before.idle).c_str(), FLOOR_IdleText(floor_after.idle).c_str(),
                FLOOR_IdleText(bare.idle).c_str(), FLOOR_IdleText(bar.idle).c_str());
    std::printf("FIGURE update_full_speed %.2f s %.0f\n", bare.ok ? bare.wall_s : -1, BUDGET_S);
    std::printf("FIGURE update_with_progress_bar %.2f s -\n", bar.ok ? bar.wall_s : -1);
    std::printf("FIGURE progress_calls %.2f s -\n", progress);
    std::printf("FIGURE floor_programming %.3f s -\n", floor_ok ? floor_s : -1);
    std::printf("FIGURE floor_progress_calls %.3f s -\n", progress_floor);
    std::printf("FIGURE programming_full_speed %.3f s -\n", bare.programming_s);
    std::printf("FIGURE programming_with_bar %.3f s -\n", bar.programming_s);
    std::printf("FIGURE over_floor %.2f x 1.3\n", Ratio(bare.programming_s, floor_s));
    std::printf("FIGURE bar_over_floor_and_calls %.2f x 1.2\n",
                Ratio(bar.programming_s, floor_s + progress_floor));
    std::printf("FIGURE updater_own_per_block %.3f ms -\n", own_ms);
    std::printf("FIGURE floor_own_per_block %.3f ms -\n", floor_queued_ms);
    std::printf("FIGURE idle_floor %s ms -\n", FLOOR_IdleText(floor_after.idle).c_str());
    std::printf("FIGURE idle_without_bar %s ms -\n", FLOOR_IdleText(bare.idle).c_str());
    std::printf("FIGURE idle_with_bar %s ms -\n", FLOOR_IdleText(bar.idle).c_str());
    std::printf("modelled wire time at 115200 8O1 (11 bits a byte, every request and answer): "
                "%.1f s\n",
                bare.wire_s);
    if (paced) {
        const FLOOR_RUN paced_floor =
            FLOOR_Program(FLOOR_PORT, FLOOR_TARGET_PORT, frames, LINE_BAUD);
        // With the bar, as in the dialog: without one every progress call
        // returns at once and the line never sees what they cost.
        const RUN line = RunUpdate(with_bar, LINE_BAUD);
        const double over = 100 * (line.wall_s / line.wire_s - 1);
        const double over_floor = 100 * (Ratio(line.programming_s, paced_floor.seconds) - 1);
        std::printf("paced at 115200: %.1f s Start to start application, %.2f%% over the wire "
                    "time%s\n",
                    line.wall_s, over, line.ok ? "" : "  FAILED");
        std::printf("  programming with the bar: updater %.3f s, paced floor %.3f s%s: %.2f%% over "
                    "the floor (simulator late per answer: updater's run %.3f ms, floor's %.3f "
                    "ms)\n",
                    line.programming_s, paced_floor.seconds, paced_floor.ok ? "" : " FAILED",
                    over_floor, line.sim_late_ms, paced_floor.sim_late_ms);
        const double idle_over = line.idle.median_ms - paced_floor.idle.median_ms;
        std::printf("  line idle between an acknowledge and the next block, median / 90 %% / mean "
                    "(ms): floor %s, updater %s; median %.3f ms over the floor's\n",
                    FLOOR_IdleText(paced_floor.idle).c_str(), FLOOR_IdleText(line.idle).c_str(),
                    idle_over);
        std::printf("FIGURE paced_update %.1f s -\n", line.ok ? line.wall_s : -1);
        std::printf("FIGURE paced_wire_model %.1f s -\n", line.wire_s);
        std::printf("FIGURE paced_over_wire %.2f %% -\n", over);
        std::printf("FIGURE paced_floor_programming %.3f s -\n",
                    paced_floor.ok ? paced_floor.seconds : -1);
        std::printf("FIGURE paced_programming %.3f s -\n", line.programming_s);
        std::printf("FIGURE paced_over_floor %.2f %% 0.5\n", over_floor);
        std::printf("FIGURE paced_idle_floor %s ms -\n", FLOOR_IdleText(paced_floor.idle).c_str());
        std::printf("FIGURE paced_idle_updater %s ms -\n", FLOOR_IdleText(line.idle).c_str());
        std::printf("FIGURE paced_idle_median_over_floor %.3f ms 0.1\n", idle_over);
    } else {
        std::printf("paced run skipped (--paced, about 300 s)\n");
    }
    TESTBENCH_Reset();
    return 0;
}
