// Start-up: load the carried firmware, start the worker, scan the ports, run
// the main dialog. The state here is set once and read by the dialog and jobs.
#pragma once

#include <cstdint>

#include "target/job.h" // APP_Image, the firmware image

constexpr int32_t APP_ERROR_TEXT_SIZE = 256;

extern void* APP_Instance; // platform instance handle
extern int32_t APP_PortList[256];
extern int32_t APP_PortCount;

// The S-record text that start-up loads; the carried firmware unless a test
// replaces it before APP_Start.
extern const char* APP_FirmwareText;

int32_t APP_LoadImage();
void APP_Start();
