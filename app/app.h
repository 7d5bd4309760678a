// Start-up: load the carried firmware, start the worker, scan the ports, run
// the main dialog. The state here is set once and read by the dialog and jobs.
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
// The main dialog's result when the scan found no port.
constexpr int APP_DIALOG_NO_PORT = 2;

// The S-record text that start-up loads; the carried firmware unless a test
// replaces it before APP_Start.
extern const char* APP_FirmwareText;

int32_t APP_LoadImage();
// The port scan, on the calling thread: fills the port list, clears
// APP_PortScanRunning and tells the dialog, if there is one yet.
void APP_ScanPorts();
void APP_Start();
