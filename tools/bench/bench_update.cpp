// A full update of the carried firmware against the simulated handheld, at
// full speed and (with --paced) with the line paced at 115200 baud. Prints
// wall times, the updater's own time per block and its parts, and the
// modelled wire time of the same requests.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/ui.h"
#include "com/com.h"
#include "image/image.h"
#include "target/job.h"
#include "target/target_info.h"
#include "target/worker.h"
#include "tests/support/testbench.h"
#include "tools/sim/sim.h"

namespace {

constexpr int UPDATER_PORT = 51;
constexpr int TARGET_PORT = 52;
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
    double wire_s = 0; // the same requests and answers modelled at 115200 8O1
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

RUN RunUpdate(HWND window, uint32_t paced_baud) {
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
        run.wire_s = static_cast<double>(wire_bytes) * BITS_PER_BYTE / LINE_BAUD;
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
    IMAGE_Lock(APP_Image);
    uint32_t address = IMAGE_GetFirstAddr(APP_Image);
    uint32_t left = IMAGE_GetNumBytes(APP_Image);
    uint8_t block[240];
    uint32_t sum = 0;
    while (left != 0) {
        const int32_t v = IMAGE_ReadByte(APP_Image, address);
        if (v >= 0) {
            block[address % 236] = static_cast<uint8_t>(v);
            --left;
        }
        ++address;
    }
    IMAGE_Unlock(APP_Image);
    for (uint8_t b : block) {
        sum += b;
    }
    const double seconds = (NowMicros() - start) / 1e6;
    return sum == 0xFFFFFFFF ? 0 : seconds;
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
    if (!TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT)) {
        std::printf("cable not mapped (run under tools/testbench/wine-run.sh)\n");
        return 1;
    }
    COM_CONFIG config = {};
    config.baud_rate = LINE_BAUD;
    const std::string name = TESTBENCH_PortPath(UPDATER_PORT);
    std::memcpy(config.device_name, name.c_str(), name.size());
    config.byte_size = 8;
    config.parity = 1;
    if (COM_SetConfig(&config) != 0) {
        return 1;
    }
    const HWND plain = MakeWindow(false);
    const HWND with_bar = MakeWindow(true);

    const RUN bare = RunUpdate(plain, 0);
    const RUN bar = RunUpdate(with_bar, 0);
    const double walk = WalkSeconds();

    std::printf("full update of the carried firmware, simulator at full speed\n");
    std::printf("  without progress bar: %.2f s Start to start application (budget %.0f s)%s\n",
                bare.wall_s, BUDGET_S, bare.ok ? "" : "  FAILED");
    std::printf("  with progress bar:    %.2f s%s\n", bar.wall_s, bar.ok ? "" : "  FAILED");
    const double progress = bar.wall_s - bare.wall_s;
    const uint32_t calls = 11392;
    std::printf("  progress calls: %.2f s for about %u calls (%.3f ms each)\n", progress, calls,
                progress * 1000 / calls);
    if (bare.blocks > 1) {
        const double per_block = bare.programming_s / (bare.blocks - 1) * 1000;
        const double walk_block = walk / bare.blocks * 1000;
        const double progress_block = progress / bare.blocks * 1000;
        std::printf("  program requests: %u, %.3f ms per block round trip (no bar)\n", bare.blocks,
                    per_block);
        std::printf("  updater's walk: %.3f s in all, %.4f ms per block (%.1f%% of the round "
                    "trip)\n",
                    walk, walk_block, 100 * walk_block / per_block);
        std::printf("  progress calls: %.4f ms per block (%.1f%% of the round trip with the "
                    "bar)\n",
                    progress_block, 100 * progress_block / (per_block + progress_block));
    }
    std::printf("modelled wire time at 115200 8O1 (11 bits a byte, every request and answer): "
                "%.1f s\n",
                bare.wire_s);
    if (paced) {
        const RUN line = RunUpdate(plain, LINE_BAUD);
        std::printf("paced at 115200: %.1f s Start to start application, %.2f%% over the wire "
                    "time (goal under 1%%)%s\n",
                    line.wall_s, 100 * (line.wall_s / line.wire_s - 1), line.ok ? "" : "  FAILED");
    } else {
        std::printf("paced run skipped (--paced, about 150 s)\n");
    }
    TESTBENCH_Reset();
    return 0;
}
