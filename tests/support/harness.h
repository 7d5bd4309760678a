// Shared by the worker, job and campaign tests: the cable between the
// updater's port and the target's, the simulated handheld or a scripted peer
// on the target's end, and a hidden window on the test thread that takes the
// worker's notifications and progress calls the way the main dialog does
// (they arrive while the test pumps, tests/support/pump.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/peer.h"
#include "tests/support/pump.h"
#include "tools/sim/sim.h"

struct IMAGE;

constexpr int UPDATER_PORT = 41;
constexpr int TARGET_PORT = 42;

enum class PROGRESS_BAR { NONE, RECORDER, REAL };

// Once per program: the cable, the updater's side opened at 115200 8O1, the
// window with the chosen progress bar, the worker started.
bool HARNESS_Setup(PROGRESS_BAR bar);
// WORKER_Stop, the program block emptied, the records cleared, WORKER_Start.
void HARNESS_RestartWorker();
// The hidden window that stands in for the dialog (a HWND).
void* HARNESS_Window();
bool HARNESS_WaitConnected(uint32_t timeout_ms = 5000);

// What the window saw.
int HARNESS_CountCommands(uint32_t id);
const std::vector<std::string>& HARNESS_StatusTexts();
const std::vector<int32_t>& HARNESS_ProgressPositions();
const std::vector<std::pair<int32_t, int32_t>>& HARNESS_ProgressRanges();
void HARNESS_ClearRecords();

// Run on the test thread inside the job runner's message loop.
extern std::function<void(uint32_t id)> HARNESS_OnCommand;
extern std::function<void()> HARNESS_OnTimer; // every few ms while set
// Inside the recorder bar's PBM_SETPOS, while the worker waits for it.
extern std::function<void(int32_t position)> HARNESS_OnProgress;
void HARNESS_CallCancelHook();

SIM* HARNESS_StartSim(const SIM_CONFIG& config);
void HARNESS_StopSim(SIM* sim);
std::vector<SIM_REQUEST> HARNESS_Requests(SIM* sim, uint8_t command);

IMAGE* HARNESS_MakeImage(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& areas);
std::vector<uint8_t> HARNESS_Bytes(uint32_t count, uint32_t seed);

// A peer on the target's end answering each request frame with what the
// handler returns; null when the port does not open.
std::unique_ptr<Peer> HARNESS_StartPeer(PEER_HANDLER handler);
// An identify reply's payload: status, target value, the two texts, two or
// four range words.
Bytes HARNESS_IdentifyPayload(uint8_t status, const std::string& text1, const std::string& text2,
                              bool long_form);
