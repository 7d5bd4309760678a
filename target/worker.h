// The worker thread: the only code that talks to the target. With no job set it
// polls with identify requests; a job stored in JOB_KIND is run once, its
// results stored, and JOB_KIND set back to 0 as the job's very last store.
#pragma once

#include <atomic>
#include <cstdint>

#include "target/le.h"

struct IMAGE;

// Command codes; the job kinds carry the same numbers.
constexpr uint8_t CMD_IDENTIFY = 0;
constexpr uint8_t CMD_CLEAR = 1;
constexpr uint8_t CMD_PROGRAM = 2;
constexpr uint8_t CMD_MAKE_VALID = 3;
constexpr uint8_t CMD_BLANK_CHECK = 4;
constexpr uint8_t CMD_GET_CRC = 5;
constexpr uint8_t CMD_START_APP = 7;

constexpr uint8_t JOB_IDLE = 0;

// JOB_STATUS values.
constexpr uint8_t JOB_OK = 0;
constexpr uint8_t JOB_TARGET_ERROR = 1;
constexpr uint8_t JOB_COMM_FAILED = 2;
constexpr uint8_t JOB_CANCELLED = 3;

// Identify time-out: 1,210,000 / baud ms (some 110 characters of 11 bits)
// plus a margin; a baud rate of 0 counts as the slowest, 1200.
constexpr uint32_t IDENTIFY_TIMEOUT_BAUD_MS = 1210000;
constexpr uint32_t IDENTIFY_TIMEOUT_MARGIN_MS = 40;
constexpr uint32_t IDENTIFY_SLOW_BAUD = 1200;

constexpr uint32_t TARGET_REPLY_BUFFER_SIZE = 500;
constexpr uint32_t CLEAR_REPLY_TIMEOUT_MS = 60000;
constexpr uint32_t BLANK_CHECK_REPLY_TIMEOUT_MS = 30000;
constexpr uint32_t GET_CRC_REPLY_TIMEOUT_MS = 30000;
constexpr uint8_t REPLY_BLANK_CHECK = 4; // command code of clear and blank-check replies
constexpr uint8_t REPLY_CRC = 5;

// Payload layouts (offsets from the payload's first byte; numbers little-endian).
// A CRC range, in the identify reply and in a get-CRC request alike.
constexpr uint32_t CRC_RANGE_START_AT = 0;
constexpr uint32_t CRC_RANGE_LENGTH_AT = CRC_RANGE_START_AT + LE32_SIZE;
constexpr uint32_t CRC_RANGE_SIZE = CRC_RANGE_LENGTH_AT + LE32_SIZE;
// Identify reply: status, value, len1, text1, len2, text2, range 0, range 1
// (range 1 only in the long form).
constexpr uint32_t IDENTIFY_STATUS_AT = 0;
constexpr uint32_t IDENTIFY_VALUE_AT = 1;
constexpr uint32_t IDENTIFY_TEXT1_LENGTH_AT = IDENTIFY_VALUE_AT + LE32_SIZE;
constexpr uint32_t IDENTIFY_TEXT1_AT = IDENTIFY_TEXT1_LENGTH_AT + 1;
constexpr uint32_t IDENTIFY_TEXT_LENGTH_SIZE = 1; // len2 sits right after text1
constexpr uint8_t IDENTIFY_STATUS_OK = 0;
// Without the texts: status, value, both lengths and range 0 (15 bytes).
constexpr uint32_t IDENTIFY_FIXED_SIZE =
    IDENTIFY_TEXT1_AT + IDENTIFY_TEXT_LENGTH_SIZE + CRC_RANGE_SIZE;
static_assert(IDENTIFY_FIXED_SIZE == 15, "identify reply layout");
constexpr uint32_t IDENTIFY_LONG_EXTRA = CRC_RANGE_SIZE; // range 1
// Clear and blank-check reply: empty when blank, else the first byte that is not.
constexpr uint32_t ERASE_FAIL_ADDRESS_AT = 0;
constexpr uint32_t ERASE_FAIL_VALUE_AT = ERASE_FAIL_ADDRESS_AT + LE32_SIZE;
constexpr uint32_t ERASE_FAIL_SIZE = ERASE_FAIL_VALUE_AT + LE32_SIZE;
// Get-CRC reply: one unused byte, then the CRC-16.
constexpr uint32_t CRC_REPLY_VALUE_AT = 1;
constexpr uint32_t CRC_REPLY_SIZE = CRC_REPLY_VALUE_AT + LE16_SIZE;

// Notification ids posted to the dialog as WM_COMMAND.
constexpr uint32_t ID_NOTIFY_TICK = 0;
constexpr uint32_t ID_NOTIFY_CONNECTED = 1024;
constexpr uint32_t ID_NOTIFY_DISCONNECTED = 1025;

// The hand-over between the user-interface thread and the worker.
// UI thread stores a job kind while it is 0; worker stores 0 (release) as a job's last act.
extern std::atomic<uint8_t> JOB_KIND;
// Worker writes at a job's end; UI thread reads after it sees JOB_KIND at 0.
extern std::atomic<uint8_t> JOB_STATUS;
// Worker writes with JOB_TARGET_ERROR; UI thread (or a test) reads after JOB_KIND is 0.
extern std::atomic<uint32_t> JOB_ErrorAddress;
extern std::atomic<uint32_t> JOB_ErrorValue;
// UI thread writes before it stores the programming job; worker reads in that job.
extern std::atomic<IMAGE*> JOB_Image;
// WORKER_Stop (UI thread) sets it; worker reads after each cycle and clears it as it ends.
extern std::atomic<uint32_t> WORKER_StopRequest;
// UI thread sets it (cancel hook) and clears it before storing a job; the
// programming job reads it after every address.
extern std::atomic<uint32_t> WORKER_CancelRequest;
// The connection a stored job belongs to (TARGET_GetConnectionSerial when it
// was stored). The worker refuses the job with JOB_COMM_FAILED, sending
// nothing, when that connection has been lost by the time it takes the job up.
// UI thread writes before it stores the kind; worker reads as it takes the job.
extern std::atomic<uint32_t> JOB_Connection;

// True for the kinds that name a job (not the poll, not an unknown value).
bool WORKER_IsJobKind(uint8_t kind);
// A job's end on the worker: its status, then JOB_KIND back to 0 with
// release, so the results are visible once the 0 is. Store any other result
// (error address and value, last CRC) before.
void WORKER_EndJob(uint8_t status);

// Counts connections: one more each time the target becomes connected.
uint32_t TARGET_GetConnectionSerial();

// Identify time-out in ms for a baud rate (0 counts as IDENTIFY_SLOW_BAUD).
uint32_t TARGET_IdentifyTimeout(uint32_t baud_rate);
// The same at the port's baud rate now: also how long the line must stay
// quiet to count as in step.
uint32_t TARGET_PortIdentifyTimeout();

void WORKER_Start();
void WORKER_Stop();
void WORKER_RequestCancel();
// How many cancel requests were made so far; the job runner compares it so a
// cancel is never missed, whatever the worker does with its flag.
uint32_t WORKER_GetCancelCount();
bool WORKER_IsRunning();
unsigned long WORKER_Thread(void* unused);

void TARGET_Identify();
void TARGET_Clear();
void TARGET_BlankCheck();
void TARGET_GetCRC();
