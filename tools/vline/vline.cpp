// The line and the platform's edges on it: the serial layer, the dialog's
// side of the target layer and the worker thread. Time runs only when the
// updater waits (a read, a sleep, a pump with no worker to run): the line
// then plays its events in time order until what the updater waits for has
// come or its time is up. Times are kept in nanoseconds, so that byte times
// do not drift; the handheld and the updater see microseconds.
#include "tools/vline/vline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "com/com.h"
#include "target/display.h"
#include "target/worker.h"
#include "target/worker_thread.h"

namespace {

constexpr uint64_t NS_PER_US = 1000;
constexpr uint64_t NS_PER_MS = 1000000;
constexpr uint64_t NEVER = UINT64_MAX;

// The handheld's line: 8 data bits, odd parity, one stop bit, and the start bit.
constexpr uint32_t BAUD_RATE = 115200;
constexpr uint64_t BITS_PER_BYTE = 11;
constexpr uint64_t BYTE_NS = BITS_PER_BYTE * 1000000000ull / BAUD_RATE; // 95,486 ns
// A USB serial adapter hands bytes on in packets of 62 data bytes, or when
// its latency timer, 16 ms by default, has run from the first byte it holds.
constexpr size_t ADAPTER_PACKET_BYTES = 62;
constexpr uint64_t ADAPTER_LATENCY_NS = 16 * NS_PER_MS;
// A Bluetooth serial port delays each packet by this much, in either direction.
constexpr uint32_t SLOW_MIN_US = 30000;
constexpr uint32_t SLOW_MAX_US = 100000;

struct PACKET {
    uint64_t release_ns; // from then it may go on the line
    std::vector<uint8_t> bytes;
};

// One direction: released packets in order; the front one is on the line,
// begun at start_ns, with `sent` of its bytes arrived at the far end.
struct WIRE {
    std::deque<PACKET> packets;
    uint64_t last_release_ns = 0;
    uint64_t free_ns = 0; // when the last byte of the packet before the front one ended
    uint64_t start_ns = 0;
    size_t sent = 0;
};

struct LINE {
    VLINE_CONFIG config;
    SIM_CORE core;
    uint64_t now_ns = 0;
    uint64_t limit_ns = 0; // 0: none
    std::mt19937 rng;
    WIRE down; // to the handheld
    // The handheld's output by when it is due, before the slow link takes it.
    std::multimap<uint64_t, std::vector<uint8_t>> due;
    WIRE up; // to the updater
    std::vector<uint8_t> adapter;
    uint64_t adapter_flush_ns = NEVER;
    std::deque<uint8_t> received; // handed to the updater, not read yet
    uint64_t last_tick_ns = 0;
    std::vector<SIM_SEND> sends; // the core's output of one call
    VLINE_COUNTS counts = {};
};
// The harness's one thread writes and reads it: the updater's serial calls,
// and the campaign between runs.
LINE g_line;

uint64_t ToUs(uint64_t ns) {
    return ns / NS_PER_US;
}

void Release(WIRE* wire, uint64_t at_ns, std::vector<uint8_t> bytes) {
    if (bytes.empty()) {
        return; // nothing to put on the line
    }
    if (g_line.config.slow_link) {
        at_ns += std::uniform_int_distribution<uint32_t>(SLOW_MIN_US, SLOW_MAX_US)(g_line.rng) *
                 NS_PER_US;
    }
    // Never ahead of the packet before it.
    at_ns = std::max(at_ns, wire->last_release_ns);
    wire->last_release_ns = at_ns;
    if (wire->packets.empty()) {
        wire->start_ns = std::max(at_ns, wire->free_ns);
        wire->sent = 0;
    }
    wire->packets.push_back(PACKET{at_ns, std::move(bytes)});
}

// `count` more of the front packet's bytes have arrived; its last one frees the line.
void Arrived(WIRE* wire, size_t count) {
    wire->sent += count;
    if (wire->sent < wire->packets.front().bytes.size()) {
        return;
    }
    wire->free_ns = wire->start_ns + wire->sent * BYTE_NS;
    wire->packets.pop_front();
    if (!wire->packets.empty()) {
        wire->start_ns = std::max(wire->packets.front().release_ns, wire->free_ns);
        wire->sent = 0;
    }
}

void TakeSends(uint64_t at_ns) {
    for (SIM_SEND& send : g_line.sends) {
        ++g_line.counts.sends;
        g_line.counts.bytes_back += send.bytes.size();
        g_line.due.emplace(at_ns + send.delay_us * NS_PER_US, std::move(send.bytes));
    }
    g_line.sends.clear();
}

// A write is one request, fed whole at its last byte's time (three times as
// fast as byte by byte, with the same runs; the handheld logs that time as
// its first byte's too), unless the handheld is to reset inside it or is
// away, and may come back inside it: then byte by byte, each at its time.
size_t DownBytesDue() {
    const SIM_CORE& core = g_line.core;
    const SIM_FAULTS& f = core.config.faults;
    const bool reset_inside =
        !core.reset_done && f.reset_in_block != 0 && core.program_seq + 1 == f.reset_in_block;
    const size_t left = g_line.down.packets.front().bytes.size() - g_line.down.sent;
    return reset_inside || core.vanished ? 1 : left;
}

uint64_t NextDownNs() {
    const WIRE& w = g_line.down;
    return w.packets.empty() ? NEVER : w.start_ns + (w.sent + DownBytesDue()) * BYTE_NS;
}

uint64_t NextUpNs() {
    const WIRE& w = g_line.up;
    return w.packets.empty() ? NEVER : w.start_ns + (w.sent + 1) * BYTE_NS;
}

uint64_t NextDueNs() {
    return g_line.due.empty() ? NEVER : g_line.due.begin()->first;
}

// The handheld's own moments, read from its state: a vanished one's return
// and noise due at a moment, so that each tick is on time and none is idle.
// A moment not later than the last tick was met by it, or waits for a return.
uint64_t NextTickNs() {
    const SIM_CORE& core = g_line.core;
    uint64_t next = NEVER;
    auto consider = [&next](uint64_t at_us) {
        const uint64_t at_ns = at_us * NS_PER_US;
        if (at_ns > g_line.last_tick_ns) {
            next = std::min(next, at_ns);
        }
    };
    if (core.vanished && !core.switched_off) {
        consider(core.vanish_until_us);
    }
    const std::vector<SIM_NOISE>& noise = core.config.faults.noise;
    for (size_t i = 0; i < noise.size() && i < core.noise_done.size(); ++i) {
        if (noise[i].at == SIM_NOISE_AT::MOMENT && !core.noise_done[i]) {
            consider(core.faults_set_us + noise[i].after_ms * 1000ull);
        }
    }
    return next;
}

void HandOver() {
    g_line.received.insert(g_line.received.end(), g_line.adapter.begin(), g_line.adapter.end());
    g_line.adapter.clear();
    g_line.adapter_flush_ns = NEVER;
    ++g_line.counts.handovers;
}

void ArriveUp(uint64_t at_ns) {
    const uint8_t byte = g_line.up.packets.front().bytes[g_line.up.sent];
    Arrived(&g_line.up, 1);
    if (!g_line.config.adapter_latency) {
        g_line.received.push_back(byte);
        return;
    }
    if (g_line.adapter.empty()) {
        g_line.adapter_flush_ns = at_ns + ADAPTER_LATENCY_NS;
    }
    g_line.adapter.push_back(byte);
    if (g_line.adapter.size() == ADAPTER_PACKET_BYTES) {
        HandOver();
    }
}

void ArriveDown(uint64_t at_ns) {
    WIRE& w = g_line.down;
    const size_t count = DownBytesDue();
    SIM_CoreFeed(&g_line.core, w.packets.front().bytes.data() + w.sent, count, ToUs(at_ns),
                 &g_line.sends);
    ++g_line.counts.feeds;
    Arrived(&w, count);
    TakeSends(at_ns);
}

// Plays the line's events in time order up to until_ns, or until `want`
// bytes wait for the updater; the clock then stands at the last event played
// or at until_ns.
void RunUntil(uint64_t until_ns, size_t want) {
    while (g_line.received.size() < want) {
        const uint64_t down = NextDownNs();
        const uint64_t tick = NextTickNs();
        const uint64_t due = NextDueNs();
        const uint64_t up = NextUpNs();
        const uint64_t flush = g_line.adapter_flush_ns;
        const uint64_t next = std::min({down, tick, due, up, flush});
        if (next > until_ns) {
            g_line.now_ns = std::max(g_line.now_ns, until_ns);
            return;
        }
        g_line.now_ns = std::max(g_line.now_ns, next);
        if (next == down) {
            ArriveDown(next);
        } else if (next == tick) {
            g_line.last_tick_ns = next;
            SIM_CoreTick(&g_line.core, ToUs(next), &g_line.sends);
            TakeSends(next);
        } else if (next == due) {
            auto first = g_line.due.begin();
            Release(&g_line.up, next, std::move(first->second));
            g_line.due.erase(first);
        } else if (next == up) {
            ArriveUp(next);
        } else {
            HandOver();
        }
    }
}

// As RunUntil, but never past the limit: there the run is cut off.
void Run(uint64_t until_ns, size_t want) {
    const bool cut = g_line.limit_ns != 0 && until_ns > g_line.limit_ns;
    RunUntil(cut ? g_line.limit_ns : until_ns, want);
    if (cut && g_line.received.size() < want) {
        throw VLINE_OVERRUN{};
    }
}

} // namespace

void VLINE_Open(const VLINE_CONFIG& config) {
    const uint64_t now_ns = g_line.now_ns;
    g_line = LINE{};
    g_line.now_ns = now_ns;
    g_line.last_tick_ns = now_ns;
    g_line.down.free_ns = now_ns;
    g_line.up.free_ns = now_ns;
    g_line.config = config;
    g_line.rng.seed(config.seed);
    SIM_CoreInit(&g_line.core, config.target);
    SIM_CoreSetFaults(&g_line.core, config.target.faults, ToUs(now_ns));
}

const SIM_CORE& VLINE_Core() {
    return g_line.core;
}

uint64_t VLINE_NowUs() {
    return ToUs(g_line.now_ns);
}

void VLINE_Wait(uint64_t us) {
    Run(g_line.now_ns + us * NS_PER_US, SIZE_MAX);
}

void VLINE_SetFaults(const SIM_FAULTS& faults) {
    SIM_CoreSetFaults(&g_line.core, faults, VLINE_NowUs());
}

void VLINE_PowerOn() {
    SIM_CorePowerOn(&g_line.core);
    SIM_CoreTick(&g_line.core, VLINE_NowUs(), &g_line.sends);
    TakeSends(g_line.now_ns);
}

void VLINE_Reseed(uint32_t seed) {
    g_line.rng.seed(seed);
}

void VLINE_SetLimit(uint64_t at_us) {
    g_line.limit_ns = at_us * NS_PER_US;
}

const VLINE_COUNTS& VLINE_Counts() {
    return g_line.counts;
}

void COM_Write(const uint8_t* bytes, uint32_t length) {
    ++g_line.counts.writes;
    g_line.counts.bytes_out += length;
    Release(&g_line.down, g_line.now_ns, std::vector<uint8_t>(bytes, bytes + length));
}

uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms) {
    ++g_line.counts.reads;
    Run(g_line.now_ns + timeout_ms * NS_PER_MS, count);
    const uint32_t got = static_cast<uint32_t>(std::min<size_t>(count, g_line.received.size()));
    std::copy_n(g_line.received.begin(), got, buffer);
    g_line.received.erase(g_line.received.begin(), g_line.received.begin() + got);
    g_line.counts.bytes_in += got;
    g_line.counts.reads_short += got < count ? 1 : 0;
    return got;
}

uint64_t COM_Micros() {
    return VLINE_NowUs();
}

void COM_GetConfig(COM_CONFIG* out) {
    std::memset(out, 0, sizeof *out);
    out->baud_rate = BAUD_RATE;
    std::snprintf(out->device_name, sizeof out->device_name, "%s", "COM1");
    out->byte_size = COM_DATA_BITS;
    out->parity = COM_PARITY_ODD;
    out->stop_bits = COM_STOP_BITS_ONE;
}

// The dialog's side, single-threaded: a pump runs one pass of the worker's
// loop, and a stop ends the cooperative worker at once.
void UI_SetCancelHook(UI_CANCEL_HOOK) {}
void UI_ShowJob(const char*) {}
void UI_HideJob() {}
void UI_SetProgressRange(int32_t, int32_t) {}
void UI_SetProgress(int32_t) {}
void UI_HoldSession() {}
void UI_ReleaseSession() {}

void UI_PostCommand(uint32_t id) {
    g_line.counts.found += id == ID_NOTIFY_CONNECTED ? 1 : 0;
    g_line.counts.lost += id == ID_NOTIFY_DISCONNECTED ? 1 : 0;
}

void UI_PumpMessage() {
    if (WORKER_IsRunning() && WORKER_StopRequest.load() == 0) {
        WORKER_Cycle();
    } else {
        VLINE_Wait(1000); // a wait for a message that is not coming
    }
}

void UI_ServeSentMessages() {
    if (WORKER_IsRunning() && WORKER_StopRequest.load() != 0) {
        WORKER_Thread(nullptr); // sees the stop at once and ends
    }
}

bool WORKER_CreateThread() {
    return true; // the worker runs inside the pumps
}

void WORKER_Sleep(uint32_t milliseconds) {
    VLINE_Wait(milliseconds * 1000ull);
}
