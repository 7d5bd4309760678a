// The worker thread: the only code that talks to the target. With no job set it
// polls with identify requests; a job stored in JOB_KIND is run once, its
// results stored, and JOB_KIND set back to 0 as the job's very last store.
#pragma once

#include <atomic>
#include <cstdint>

#include "target/display.h" // the notification ids

// WORKER_Stop (UI thread) sets it; worker reads after each cycle and clears it as it ends.
extern std::atomic<uint32_t> WORKER_StopRequest;

// Counts connections: one more each time the target becomes connected.
uint32_t TARGET_GetConnectionSerial();

void WORKER_Start();
void WORKER_Stop();
bool WORKER_IsRunning();
unsigned long WORKER_Thread(void* unused);
// One pass of the worker's loop: the poll, or the job stored in JOB_KIND.
void WORKER_Cycle();

void TARGET_Identify();
void TARGET_Clear();
void TARGET_BlankCheck();
void TARGET_GetCRC();
