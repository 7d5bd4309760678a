// Each job is stored in JOB_KIND and waited for in a loop that dispatches the
// dialog's messages, so the dialog stays live; the cancel count is looked at
// after every dispatch, since any handler may cancel or the worker finish in
// between. An update ties its jobs to the connection and the cancel count of
// its start.
#include "target/job.h"

#include <chrono>

#include "image/crc16.h"
#include "target/commands.h"
#include "target/display.h"
#include "target/handover.h"
#include "target/target_info.h"
#include "target/worker.h"

namespace {

// Longest a job left running by a cancelled run can take (a CRC sequence
// run twice, each reply over two ranges waited for to its 30 s end, about
// 220 s), with room to spare.
constexpr auto IDLE_WAIT_LIMIT = std::chrono::seconds(300);
// A target CRC below this never counts as a match, whatever the image's own
// (TARGET_NO_CRC is a failed get-CRC job; 0 and 1 are refused as well).
constexpr int32_t TARGET_CRC_LOWEST_VALID = 2;

// What the job started by the last JOB_Run ended with; user-interface thread only.
uint8_t g_result = JOB_OK;
int32_t g_crc = TARGET_NO_CRC;

// The update binds its jobs to the connection that was up when it began, and
// to the cancel count of that moment: once the user has cancelled, no further
// job of the update is stored. User-interface thread only.
bool g_in_update = false;
uint32_t g_update_connection = 0;
uint32_t g_update_cancels = 0;
// Set and cleared by UPDATE_Run, read by UPDATE_IsRunning. User-interface
// thread only: the dialog's handlers that ask run inside the jobs' loops.
bool g_update_running = false;
// Written by UPDATE_Run as it returns, read by the dialog after it. User-interface thread only.
UPDATE_OUTCOME g_outcome = {};

bool CancelledSince(uint32_t cancels) {
    return WORKER_GetCancelCount() != cancels;
}

// A run that the user cancelled returns while the worker may still be in its
// job. A new kind stored now could be wiped by that job's closing reset, so
// wait, dispatching, until the worker is idle. 0 idle, else the status to report.
// The cancel is looked at after every dispatch: the one that cancels may also
// be the one during which the worker went idle.
uint8_t WaitForIdleWorker(uint32_t cancels) {
    const auto deadline = std::chrono::steady_clock::now() + IDLE_WAIT_LIMIT;
    for (;;) {
        if (CancelledSince(cancels)) {
            return JOB_CANCELLED;
        }
        if (JOB_KIND.load(std::memory_order_acquire) == JOB_IDLE) {
            return JOB_OK;
        }
        if (!WORKER_IsRunning() || std::chrono::steady_clock::now() > deadline) {
            return JOB_COMM_FAILED;
        }
        UI_PumpMessage();
    }
}

struct UPDATE_SCOPE {
    UPDATE_SCOPE() {
        g_in_update = true;
        g_update_connection = TARGET_GetConnectionSerial();
        g_update_cancels = WORKER_GetCancelCount();
        // Live from the first moment, so a cancel before the first job counts.
        UI_SetCancelHook(WORKER_RequestCancel);
        UI_HoldSession();
    }
    ~UPDATE_SCOPE() {
        UI_ReleaseSession();
        g_in_update = false;
        g_update_running = false;
    }
    UPDATE_SCOPE(const UPDATE_SCOPE&) = delete;
    UPDATE_SCOPE& operator=(const UPDATE_SCOPE&) = delete;
};

} // namespace

void JOB_Run(const char* caption, uint8_t kind) {
    // A job that is not started counts as failed communication.
    g_result = JOB_COMM_FAILED;
    g_crc = TARGET_NO_CRC;
    if (!WORKER_IsJobKind(kind) || !TARGET_IsConnected() || !WORKER_IsRunning()) {
        return;
    }
    const uint32_t connection = g_in_update ? g_update_connection : TARGET_GetConnectionSerial();
    const uint32_t cancels = g_in_update ? g_update_cancels : WORKER_GetCancelCount();
    const uint8_t settled = WaitForIdleWorker(cancels);
    if (settled != JOB_OK) {
        g_result = settled;
        return;
    }
    if (!TARGET_IsConnected() || TARGET_GetConnectionSerial() != connection) {
        return;
    }

    UI_ShowJob(caption);
    UI_SetCancelHook(WORKER_RequestCancel);
    // Nothing dispatches from here to the store, so no cancel can slip between.
    if (CancelledSince(cancels)) {
        UI_HideJob();
        g_result = JOB_CANCELLED;
        return;
    }
    // A cancel from before this job is not for it.
    WORKER_CancelRequest.store(0, std::memory_order_release);
    JOB_Connection.store(connection, std::memory_order_release);
    JOB_KIND.store(kind, std::memory_order_release);

    // The cancel first: a handler that cancels can run while the worker ends
    // the job, and then the job's status must not pass for the run's.
    bool cancelled = false;
    for (;;) {
        if (CancelledSince(cancels)) {
            cancelled = true;
            break;
        }
        if (JOB_KIND.load(std::memory_order_acquire) == JOB_IDLE) {
            break;
        }
        UI_PumpMessage();
    }
    UI_HideJob();
    if (cancelled) {
        // Never an earlier job's status, whatever the worker stores later.
        g_result = JOB_CANCELLED;
        return;
    }
    g_result = JOB_STATUS.load(std::memory_order_relaxed);
    g_crc = TARGET_GetLastCRC();
}

uint8_t JOB_ClearTarget() {
    JOB_Run("Clear target", CMD_CLEAR);
    return g_result;
}

uint8_t JOB_ProgramTarget(IMAGE* image) {
    JOB_Image.store(image, std::memory_order_release);
    JOB_Run("Programming target", CMD_PROGRAM);
    return g_result;
}

uint8_t JOB_MakeValid() {
    JOB_Run("Make valid", CMD_MAKE_VALID);
    return g_result;
}

int32_t JOB_GetCRC() {
    JOB_Run("Get CRC", CMD_GET_CRC);
    return g_result == JOB_OK ? g_crc : TARGET_NO_CRC;
}

uint8_t JOB_StartApplication() {
    JOB_Run("Start application", CMD_START_APP);
    return g_result;
}

namespace {

// The update's steps; each return says where it stopped.
int32_t RunSteps(UPDATE_OUTCOME* outcome) {
    outcome->step = UPDATE_STEP::CLEAR;
    uint8_t result = JOB_ClearTarget();
    if (result != JOB_OK) {
        return result;
    }
    outcome->step = UPDATE_STEP::PROGRAM;
    result = JOB_ProgramTarget(APP_Image);
    outcome->last_block = JOB_LastBlockBase.load(std::memory_order_relaxed);
    outcome->last_block_acknowledged = JOB_LastBlockAcknowledged.load(std::memory_order_relaxed);
    if (result != JOB_OK) {
        return result;
    }
    // Only the CRC proves every block in: a block lost to a reset can leave
    // the link in step behind it. Make valid cannot change the ranges' bytes,
    // so the CRC before it must be the one after; a target that will not say
    // it yet (no answer, a refusal) is compared after make valid only.
    outcome->step = UPDATE_STEP::CRC_BEFORE_VALID;
    const int32_t local_crc = IMAGE_CalcTargetCRC() & 0xFFFF;
    const int32_t early_crc = JOB_GetCRC();
    if (g_result == JOB_CANCELLED) {
        return JOB_CANCELLED;
    }
    if (early_crc != TARGET_NO_CRC && early_crc != local_crc) {
        return JOB_TARGET_ERROR;
    }
    outcome->step = UPDATE_STEP::MAKE_VALID;
    result = JOB_MakeValid();
    if (result != JOB_OK) {
        return result;
    }
    outcome->made_valid = true;
    outcome->step = UPDATE_STEP::CRC_AFTER_VALID;
    const int32_t target_crc = JOB_GetCRC();
    if (g_result == JOB_CANCELLED) {
        return JOB_CANCELLED;
    }
    if (target_crc < TARGET_CRC_LOWEST_VALID || target_crc != local_crc) {
        return JOB_TARGET_ERROR;
    }
    outcome->step = UPDATE_STEP::DONE;
    JOB_StartApplication();
    WORKER_Stop();
    return JOB_OK;
}

} // namespace

int32_t UPDATE_Run() {
    // The dialog's handlers run inside the jobs' message loops; a target found
    // again there must not start a second update inside this one.
    if (g_update_running) {
        return JOB_TARGET_ERROR;
    }
    g_update_running = true;
    UPDATE_SCOPE scope;
    UPDATE_OUTCOME outcome = {};
    outcome.result = RunSteps(&outcome);
    outcome.cancelled = outcome.result == JOB_CANCELLED;
    g_outcome = outcome;
    return outcome.result;
}

UPDATE_OUTCOME UPDATE_GetOutcome() {
    return g_outcome;
}

bool UPDATE_IsRunning() {
    return g_update_running;
}
