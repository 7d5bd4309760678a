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
// did not match (or another update is already running). The target's CRC is
// compared before make valid as well: a definite answer that differs stops
// the update with nothing made valid.
int32_t UPDATE_Run();

// The steps of an update, in order; the one an update stopped at.
enum class UPDATE_STEP : uint8_t {
    CLEAR,
    PROGRAM,
    CRC_BEFORE_VALID, // the CRC compared with nothing made valid yet
    MAKE_VALID,
    CRC_AFTER_VALID, // the CRC compared over an image already marked valid
    DONE,            // updated; the application was asked to start
};

// How the last update that ran ended, as UPDATE_Run knew it at its return.
struct UPDATE_OUTCOME {
    int32_t result;   // what UPDATE_Run returned
    bool cancelled;   // the user ended it
    UPDATE_STEP step; // where it stopped
    bool made_valid;  // the target acknowledged make valid
    // The block the programming job sent last, and whether its last send was
    // acknowledged (0 and false before programming).
    uint32_t last_block;
    bool last_block_acknowledged;
};
// UI thread, after UPDATE_Run; all zeros before the first update.
UPDATE_OUTCOME UPDATE_GetOutcome();
// True from UPDATE_Run's start to its return: the one answer to "is an update
// running", for the dialog's handlers that run inside it.
bool UPDATE_IsRunning();
