// The floor under the updater: only the platform calls that any updater must
// make for a program block, against the same simulated handheld, so that the
// updater's own cost shows as a ratio measured in the same run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "tools/sim/sim.h"

// The line's idle time between an acknowledge and the next program request:
// from the acknowledge handed to the cable to the request's first byte taken
// in, both by the simulator. A block's time on the line is its bytes' time
// and this.
struct FLOOR_IDLE {
    uint32_t count = 0;
    double median_ms = 0;
    double p90_ms = 0;
    double mean_ms = 0;
};

struct FLOOR_RUN {
    bool ok = false;
    uint32_t blocks = 0;
    double seconds = 0;     // first to last program request, by the simulator's clock
    double sim_late_ms = 0; // paced: how late the simulator began an answer, on average
    FLOOR_IDLE idle;
};

// Over each acknowledged program request followed by another, from the
// first request taken in at or after from_us.
FLOOR_IDLE FLOOR_IdleBetweenBlocks(const std::vector<SIM_REQUEST>& log, uint64_t from_us = 0);
// "median/90 %/mean" in milliseconds, for a FIGURE line.
std::string FLOOR_IdleText(const FLOOR_IDLE& idle);

// Each frame is written with one overlapped WriteFile, then its one-byte
// acknowledge is read with ReadFileEx and awaited in alertable 1 ms sleeps,
// on the cable from COMport to COMtarget (mapped by the caller) with a fresh simulator, its
// line paced at paced_baud (0: as fast as the port goes).
FLOOR_RUN FLOOR_Program(int port, int target_port, const std::vector<std::vector<uint8_t>>& frames,
                        uint32_t paced_baud);

// Runs run while the far end of the cable (COMtarget) takes in whatever
// comes and has acks acknowledges (one a block) queued ahead of it, so that
// no answer is waited for. False when the far end could not be opened.
bool FLOOR_WithAcksQueued(int target_port, size_t acks, const std::function<void()>& run);

// The floor's loop with every acknowledge already queued: its milliseconds
// per frame (0 when it failed).
double FLOOR_QueuedMsPerBlock(int port, int target_port,
                              const std::vector<std::vector<uint8_t>>& frames);

// The progress calls alone: calls synchronous PBM_SETPOS messages from a
// second thread to the bar, while this thread waits in GetMessage and
// dispatches, as the dialog's thread does during a job. Seconds in all.
double FLOOR_ProgressCalls(HWND bar, uint32_t calls);

// What each platform call that the updater makes per block, beside the
// floor's own, costs on its own here: printed as "FIGURE cost_<call>" lines
// in microseconds. window is a window of this thread with a progress bar;
// it is looked up from a second thread, as the worker looks up the dialog's.
void FLOOR_PrintCallCosts(HWND window, int bar_id);
