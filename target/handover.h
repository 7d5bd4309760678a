// What passes between the user-interface thread and the worker: the job to
// run and its results, the cancel, and the job's end. JOB_KIND is the hand-over
// point: the UI thread stores a kind while it is 0; the worker stores the
// results and then 0 (release) as a job's very last act.
#pragma once

#include <atomic>
#include <cstdint>

struct IMAGE;

constexpr uint8_t JOB_IDLE = 0;

// JOB_STATUS values.
constexpr uint8_t JOB_OK = 0;
constexpr uint8_t JOB_TARGET_ERROR = 1;
constexpr uint8_t JOB_COMM_FAILED = 2;
constexpr uint8_t JOB_CANCELLED = 3;

// UI thread stores a job kind while it is 0; worker stores 0 (release) as a job's last act.
extern std::atomic<uint8_t> JOB_KIND;
// Worker writes at a job's end; UI thread reads after it sees JOB_KIND at 0.
extern std::atomic<uint8_t> JOB_STATUS;
// Worker writes with JOB_TARGET_ERROR; UI thread (or a test) reads after JOB_KIND is 0.
extern std::atomic<uint32_t> JOB_ErrorAddress;
extern std::atomic<uint32_t> JOB_ErrorValue;
// The base address of the block the programming job sent last, and whether
// the target acknowledged it. Worker writes as each block ends; the dialog
// reads them for its end-of-update diagnostic, after the job.
extern std::atomic<uint32_t> JOB_LastBlockBase;
extern std::atomic<bool> JOB_LastBlockAcknowledged;
// UI thread writes before it stores the programming job; worker reads in that job.
extern std::atomic<IMAGE*> JOB_Image;
// The connection a stored job belongs to (TARGET_GetConnectionSerial when it
// was stored). The worker refuses the job with JOB_COMM_FAILED, sending
// nothing, when that connection has been lost by the time it takes the job up.
// UI thread writes before it stores the kind; worker reads as it takes the job.
extern std::atomic<uint32_t> JOB_Connection;
// UI thread sets it (the cancel hook) and clears it before storing a job; the
// programming job reads it after every address.
extern std::atomic<uint32_t> WORKER_CancelRequest;

// True for the kinds that name a job (not the poll, not an unknown value).
bool WORKER_IsJobKind(uint8_t kind);
// A job's end on the worker: its status, then JOB_KIND back to 0 with
// release, so the results are visible once the 0 is. Store any other result
// (error address and value, last CRC) before.
void WORKER_EndJob(uint8_t status);

// The cancel hook: sets WORKER_CancelRequest and counts the cancel.
void WORKER_RequestCancel();
// How many cancels were requested so far; the job runner compares it so a
// cancel is never missed, whatever the worker does with its flag.
uint32_t WORKER_GetCancelCount();
