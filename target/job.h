// The user-interface thread's side of the target jobs: hand one job to the
// worker, keep the dialog alive while it runs, and chain the jobs of an update.
#pragma once

#include <cstdint>

struct IMAGE;

// The firmware image that an update sends. Start-up owns it and sets it once,
// before the worker starts; null after a failed load. Read on the UI thread;
// the worker gets it through JOB_Image.
extern IMAGE* APP_Image;

// The image CRC over the firmware image and the ranges that the connected
// target declared (none, and so 0xFFFF, when no target is connected).
uint16_t IMAGE_CalcTargetCRC();

void JOB_Run(const char* caption, uint8_t kind);
uint8_t JOB_ClearTarget();
uint8_t JOB_ProgramTarget(IMAGE* image);
uint8_t JOB_MakeValid();
int32_t JOB_GetCRC();
uint8_t JOB_StartApplication();

// JOB_OK when the target was updated and its application started; otherwise
// the status of the first job that failed, or JOB_TARGET_ERROR when the CRCs
// did not match (or another update is already running).
int32_t UPDATE_Run();
// True from UPDATE_Run's start to its return: the one answer to "is an update
// running", for the dialog's handlers that run inside it.
bool UPDATE_IsRunning();
