// Round trip of one program-sized request (240 data bytes, 249 on the line)
// and its acknowledge through the serial and frame layers to the simulated
// handheld on a virtual cable and back. Prints median and worst, and what the
// 6,227 requests of a full update cost at that rate.
//   wine-run.sh BUILD bench_frame.exe [round-trips] [paced-round-trips]
#include "com/com.h"
#include "target/frame.h"
#include "tests/support/testbench.h"
#include "tools/sim/sim.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kUpdaterPort = 13;
constexpr int kSimPort = 14;
constexpr uint32_t kFullUpdateRequests = 6227;

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b) {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(b.QuadPart - a.QuadPart) / frequency;
}

// Runs n round trips against a simulator with the given line pacing; returns
// false when one was not acknowledged.
bool Run(uint32_t baud, int n, const char* label, const char* key) {
    SIM_CONFIG config;
    config.baud_rate = baud;
    SIM* sim = SIM_Create(config);
    if (!SIM_Start(sim, TESTBENCH_PortPath(kSimPort).c_str())) {
        std::fprintf(stderr, "bench_frame: the simulator cannot open COM%d\n", kSimPort);
        SIM_Destroy(sim);
        return false;
    }
    uint8_t block[240];
    for (int i = 0; i < 240; ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 20; ++i) { // warm up both ends
        FRAME_Command(240, block, 2);
    }
    std::vector<double> times;
    times.reserve(n);
    int failed = 0;
    LARGE_INTEGER start, a, b;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < n; ++i) {
        const uint32_t address = 0x40080000u + 236u * static_cast<uint32_t>(i);
        std::memcpy(block, &address, 4);
        QueryPerformanceCounter(&a);
        failed += FRAME_Command(240, block, 2);
        QueryPerformanceCounter(&b);
        times.push_back(Seconds(a, b) * 1000.0);
    }
    const double total = Seconds(start, b);
    const SIM_STATS stats = SIM_GetStats(sim);
    SIM_Destroy(sim);

    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double p99 = times[times.size() * 99 / 100];
    const double mean = total * 1000.0 / n;
    std::printf("%s: %d round trips of 249 bytes + acknowledge, %d failed, %u acknowledged\n",
                label, n, failed, stats.acks_sent);
    std::printf("  median %.3f ms, 99th percentile %.3f ms, worst %.3f ms, mean %.3f ms\n", median,
                p99, times.back(), mean);
    std::printf("  %u requests of a full update: %.1f s at the mean, %.1f s at the median\n",
                kFullUpdateRequests, mean * kFullUpdateRequests / 1000.0,
                median * kFullUpdateRequests / 1000.0);
    // Machine-readable lines for scripts/bench.sh: FIGURE key value unit budget.
    std::printf("FIGURE %s_median %.3f ms -\nFIGURE %s_worst %.3f ms -\n", key, median, key,
                times.back());
    std::printf("FIGURE %s_all %.2f s -\n", key, total);
    return failed == 0;
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int paced = argc > 2 ? std::atoi(argv[2]) : 100;
    if (!TESTBENCH_Reset() || !TESTBENCH_MapPair(kUpdaterPort, kSimPort)) {
        std::fprintf(stderr, "bench_frame: no test bench (run under wine-run.sh)\n");
        return 1;
    }
    if (TESTBENCH_OpenUpdaterPort(kUpdaterPort) != 0) {
        std::fprintf(stderr, "bench_frame: cannot open COM%d\n", kUpdaterPort);
        return 1;
    }
    bool ok = n <= 0 || Run(0, n, "unpaced cable", "round_trip");
    // The same with the line timed as a real one at 115200 baud, 11 bits a
    // byte: about 21.6 ms for the request and 0.1 ms for the acknowledge.
    if (paced > 0) {
        ok = Run(115200, paced, "paced at 115200 baud", "round_trip_paced") && ok;
    }
    COM_Close();
    TESTBENCH_Reset();
    return ok ? 0 : 1;
}
