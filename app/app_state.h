// Start-up state: set once by start-up (the port list by the scan's thread),
// read by the dialog and the jobs. Defined in app_state.cpp.
#pragma once

#include <atomic>
#include <cstdint>

#include "target/job.h" // APP_Image, the firmware image

constexpr int32_t APP_ERROR_TEXT_SIZE = 256;

extern void* APP_Instance; // platform instance handle
extern int32_t APP_PortList[256];
extern int32_t APP_PortCount;
// Set by start-up before the port scan starts on a thread of its own, cleared
// by that thread once APP_PortList and APP_PortCount hold what it found; read
// by the dialog. Clear when nothing scans (the list is then as set).
extern std::atomic<bool> APP_PortScanRunning;

// The S-record text that start-up loads; the carried firmware unless a test
// replaces it before APP_Start.
extern const char* APP_FirmwareText;

// Loads APP_FirmwareText into APP_Image: 0, or the loader's error (the image
// is then null).
int32_t APP_LoadImage();
