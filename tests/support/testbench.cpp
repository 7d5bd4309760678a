#include "tests/support/testbench.h"

#include <windows.h>

#include "com/com.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string UnixToWindows(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

} // namespace

bool TESTBENCH_Command(const std::string& args) {
    const char* dir = std::getenv("TW_TESTBENCH");
    const char* bench_dir = std::getenv("TW_BENCH_DIR");
    if (dir == nullptr || bench_dir == nullptr) {
        std::fprintf(stderr, "testbench: run under tools/testbench/wine-run.sh\n");
        return false;
    }
    static int serial = 0;
    char name[64];
    std::snprintf(name, sizeof name, "/done-%lu-%d", GetCurrentProcessId(), ++serial);
    const std::string done_unix = std::string(bench_dir) + name;
    const std::string done = UnixToWindows(done_unix);
    DeleteFileA(done.c_str());

    // Wine starts Unix programs through CreateProcess but cannot wait for them:
    // the script reports through the done file instead.
    std::string cmd =
        "/bin/bash " + std::string(dir) + "/bench.sh " + args + " --done " + done_unix;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "testbench: cannot start bench.sh (%lu)\n", GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    for (int waited = 0; waited < 15000; waited += 5) {
        if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::ifstream in(done);
            std::string outcome;
            std::getline(in, outcome);
            in.close();
            DeleteFileA(done.c_str());
            if (outcome != "ok") {
                std::fprintf(stderr, "testbench: %s: %s\n", args.c_str(), outcome.c_str());
            }
            return outcome == "ok";
        }
        Sleep(5);
    }
    std::fprintf(stderr, "testbench: %s: no answer\n", args.c_str());
    return false;
}

bool TESTBENCH_MapPair(int a, int b) {
    return TESTBENCH_Command("pair " + std::to_string(a) + " " + std::to_string(b));
}

bool TESTBENCH_Unplug(int a, int b) {
    return TESTBENCH_Command("unplug " + std::to_string(a) + " " + std::to_string(b));
}

bool TESTBENCH_MapBusy(int n) {
    return TESTBENCH_Command("busy " + std::to_string(n));
}

bool TESTBENCH_Unmap(int n) {
    return TESTBENCH_Command("unmap " + std::to_string(n));
}

bool TESTBENCH_Reset() {
    return TESTBENCH_Command("reset");
}

std::string TESTBENCH_PortPath(int n) {
    return "\\\\.\\COM" + std::to_string(n);
}

int TESTBENCH_OpenUpdaterPort(int n) {
    COM_CONFIG config = {};
    config.baud_rate = 115200;
    const std::string name = TESTBENCH_PortPath(n);
    name.copy(config.device_name, sizeof config.device_name - 1);
    config.byte_size = COM_DATA_BITS;
    config.parity = 1;
    config.stop_bits = 0;
    return COM_SetConfig(&config);
}

bool TESTBENCH_UpdaterCable(int updater, int target) {
    return TESTBENCH_Reset() && TESTBENCH_MapPair(updater, target) &&
           TESTBENCH_OpenUpdaterPort(updater) == 0;
}
