// Start-up: load the carried firmware, start the worker, scan the ports, run
// the main dialog. The state it sets up is in app_state.h.
#pragma once

#include "app/app_state.h"

// The port scan, on the calling thread: fills the port list, clears
// APP_PortScanRunning and tells the dialog, if there is one yet.
void APP_ScanPorts();
void APP_Start();
