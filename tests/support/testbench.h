// In-process access to the serial test bench (tools/testbench/bench.sh): a
// test maps COM ports of its Wine prefix to the ends of a virtual null-modem
// cable, blocks or unmaps ports, and pulls the cable.
#pragma once

#include <string>

// Runs bench.sh with the arguments; true when it reported success.
bool TESTBENCH_Command(const std::string& args);

// COMa and COMb (1-based numbers) become the two ends of one cable.
bool TESTBENCH_MapPair(int a, int b);
// The cable between COMa and COMb vanishes: open handles start failing.
bool TESTBENCH_Unplug(int a, int b);
// COMn exists but cannot be opened, as when another program holds it.
bool TESTBENCH_MapBusy(int n);
bool TESTBENCH_Unmap(int n);
// No cables and no mapped ports.
bool TESTBENCH_Reset();

// "\\.\COMn"
std::string TESTBENCH_PortPath(int n);

// A bench with only the cable between COMupdater and COMtarget, and the updater's
// end opened as by TESTBENCH_OpenUpdaterPort.
bool TESTBENCH_UpdaterCable(int updater, int target);

// Opens COMn as the updater's port, with the dialog's line settings
// (115200 baud, 8 data bits, odd parity, one stop bit); COM_SetConfig's result.
int TESTBENCH_OpenUpdaterPort(int n);
