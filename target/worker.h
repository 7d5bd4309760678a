// The worker thread: the only code that talks to the target. With no job set it
// polls with identify requests; a job stored in JOB_KIND is run once, its
// results stored, and JOB_KIND set back to 0 as the job's very last store.
#pragma once

#include <atomic>
#include <cstdint>

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

constexpr uint32_t TARGET_REPLY_BUFFER_SIZE = 500;
constexpr uint32_t CLEAR_REPLY_TIMEOUT_MS = 60000;
constexpr uint32_t BLANK_CHECK_REPLY_TIMEOUT_MS = 30000;
constexpr uint32_t GET_CRC_REPLY_TIMEOUT_MS = 30000;
constexpr uint8_t REPLY_BLANK_CHECK = 4; // command code of clear and blank-check replies
constexpr uint8_t REPLY_CRC = 5;

// Notification ids posted to the dialog as WM_COMMAND.
constexpr uint32_t ID_NOTIFY_TICK = 0;
constexpr uint32_t ID_NOTIFY_CONNECTED = 1024;
constexpr uint32_t ID_NOTIFY_DISCONNECTED = 1025;

extern std::atomic<uint8_t> JOB_KIND;
extern std::atomic<uint8_t> JOB_STATUS;
extern std::atomic<uint32_t> JOB_ErrorAddress;
extern std::atomic<uint32_t> JOB_ErrorValue;
extern std::atomic<IMAGE*> JOB_Image;
extern std::atomic<uint32_t> WORKER_StopRequest;
extern std::atomic<uint32_t> WORKER_CancelRequest;
// The connection a stored job belongs to (TARGET_GetConnectionSerial when it
// was stored). The worker refuses the job with status 2, sending nothing, when
// that connection has been lost by the time it takes the job up.
extern std::atomic<uint32_t> JOB_Connection;

// Counts connections: one more each time the target becomes connected.
uint32_t TARGET_GetConnectionSerial();

// Identify time-out in ms for a baud rate (0 counts as 1200).
uint32_t TARGET_IdentifyTimeout(uint32_t baud_rate);

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
