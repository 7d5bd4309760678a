#include "tests/support/harness.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "app/display.h"
#include "com/com.h"
#include "image/image.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/worker.h"
#include "tests/support/testbench.h"

std::function<void(uint32_t)> HARNESS_OnCommand;
std::function<void()> HARNESS_OnTimer;
std::function<void(int32_t)> HARNESS_OnProgress;

namespace {

constexpr UINT_PTR TIMER_ID = 1;

HWND g_window = nullptr;
std::vector<uint32_t> g_commands;
std::vector<std::string> g_status_texts;
std::vector<int32_t> g_positions;
std::vector<std::pair<int32_t, int32_t>> g_ranges;

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_COMMAND) {
        const uint32_t id = LOWORD(wparam);
        g_commands.push_back(id);
        if (HARNESS_OnCommand) {
            HARNESS_OnCommand(id);
        }
        return 0;
    }
    if (msg == WM_TIMER) {
        if (HARNESS_OnTimer) {
            HARNESS_OnTimer();
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

LRESULT CALLBACK StatusProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_SETTEXT) {
        g_status_texts.push_back(reinterpret_cast<const char*>(lparam));
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

LRESULT CALLBACK ProgressProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == PBM_SETRANGE32) {
        g_ranges.emplace_back(static_cast<int32_t>(wparam), static_cast<int32_t>(lparam));
        return 0;
    }
    if (msg == PBM_SETPOS) {
        g_positions.push_back(static_cast<int32_t>(wparam));
        if (HARNESS_OnProgress) {
            HARNESS_OnProgress(static_cast<int32_t>(wparam));
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

void RegisterWindowClass(const char* name, WNDPROC proc) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

} // namespace

bool HARNESS_Setup(PROGRESS_BAR bar) {
    InitCommonControls();
    RegisterWindowClass("TwTestMain", MainProc);
    RegisterWindowClass("TwTestStatus", StatusProc);
    RegisterWindowClass("TwTestProgress", ProgressProc);
    g_window = CreateWindowA("TwTestMain", "worker test", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                             nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (g_window == nullptr) {
        std::fprintf(stderr, "harness: no window (%lu)\n", GetLastError());
        return false;
    }
    CreateWindowA("TwTestStatus", "", WS_CHILD, 0, 0, 200, 20, g_window,
                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(UI_ID_STATUS)), nullptr, nullptr);
    if (bar != PROGRESS_BAR::NONE) {
        CreateWindowA(bar == PROGRESS_BAR::REAL ? PROGRESS_CLASSA : "TwTestProgress", "", WS_CHILD,
                      0, 30, 200, 20, g_window,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(UI_ID_PROGRESS)), nullptr,
                      nullptr);
    }
    SetTimer(g_window, TIMER_ID, 5, nullptr);
    UI_SetDialogWindow(g_window);

    if (!TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT)) {
        std::fprintf(stderr, "harness: cable not mapped\n");
        return false;
    }
    if (TESTBENCH_OpenUpdaterPort(UPDATER_PORT) != 0) {
        std::fprintf(stderr, "harness: updater's port not opened\n");
        return false;
    }
    WORKER_Start();
    return WORKER_IsRunning();
}

void* HARNESS_Window() {
    return g_window;
}

void HARNESS_RestartWorker() {
    WORKER_Stop();
    std::memset(&PROGRAM_Block, 0, sizeof PROGRAM_Block);
    HARNESS_OnCommand = nullptr;
    HARNESS_OnTimer = nullptr;
    HARNESS_OnProgress = nullptr;
    HARNESS_ClearRecords();
    WORKER_Start();
}

bool HARNESS_WaitConnected(uint32_t timeout_ms) {
    return PumpUntil([] { return TARGET_IsConnected(); }, timeout_ms);
}

int HARNESS_CountCommands(uint32_t id) {
    int n = 0;
    for (uint32_t c : g_commands) {
        n += c == id ? 1 : 0;
    }
    return n;
}

const std::vector<std::string>& HARNESS_StatusTexts() {
    return g_status_texts;
}
const std::vector<int32_t>& HARNESS_ProgressPositions() {
    return g_positions;
}
const std::vector<std::pair<int32_t, int32_t>>& HARNESS_ProgressRanges() {
    return g_ranges;
}

void HARNESS_ClearRecords() {
    g_commands.clear();
    g_status_texts.clear();
    g_positions.clear();
    g_ranges.clear();
}

void HARNESS_CallCancelHook() {
    const UI_CANCEL_HOOK hook = UI_GetCancelHook();
    if (hook != nullptr) {
        hook();
    }
}

SIM* HARNESS_StartSim(const SIM_CONFIG& config) {
    SIM* sim = SIM_Create(config);
    if (!SIM_Start(sim, TESTBENCH_PortPath(TARGET_PORT).c_str())) {
        SIM_Destroy(sim);
        return nullptr;
    }
    return sim;
}

void HARNESS_StopSim(SIM* sim) {
    if (sim != nullptr) {
        SIM_Stop(sim);
        SIM_Destroy(sim);
    }
}

std::vector<SIM_REQUEST> HARNESS_Requests(SIM* sim, uint8_t command) {
    std::vector<SIM_REQUEST> out;
    for (const SIM_REQUEST& r : SIM_GetRequests(sim)) {
        if (r.command == command) {
            out.push_back(r);
        }
    }
    return out;
}

IMAGE* HARNESS_MakeImage(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& areas) {
    IMAGE* image = IMAGE_Create();
    for (const auto& area : areas) {
        IMAGE_AddData(image, area.first, static_cast<uint32_t>(area.second.size()),
                      area.second.data());
    }
    return image;
}

std::vector<uint8_t> HARNESS_Bytes(uint32_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

std::unique_ptr<Peer> HARNESS_StartPeer(PEER_HANDLER handler) {
    auto peer = std::make_unique<Peer>(TARGET_PORT);
    if (!peer->ok()) {
        return nullptr;
    }
    peer->Serve(std::move(handler));
    return peer;
}

Bytes HARNESS_IdentifyPayload(uint8_t status, const std::string& text1, const std::string& text2,
                              bool long_form) {
    Bytes p = Cat({status}, Le32(0x00010004));
    p.push_back(static_cast<uint8_t>(text1.size()));
    p.insert(p.end(), text1.begin(), text1.end());
    p.push_back(static_cast<uint8_t>(text2.size()));
    p.insert(p.end(), text2.begin(), text2.end());
    const uint32_t ranges[4] = {0x1000, 0x10, 0x2000, 0x20};
    for (int i = 0; i < (long_form ? 4 : 2); ++i) {
        p = Cat(p, Le32(ranges[i]));
    }
    return p;
}
