// Round trips are timed by the link layer and kept here with the port
// settings they were seen under: a settings change (another port, another
// rate) starts afresh, as a new connection does.
#include "target/link.h"

#include <cstring>

#include "com/com.h"
#include "target/commands.h"

namespace {

constexpr uint64_t ROUND_TRIP_FACTOR = 2; // prompt wait against the slowest round trip
constexpr uint32_t START_BITS = 1;
// Each end starts its clock somewhere within the first byte of what it
// times, and a driver hands the last one over as it ends: so much slack
// before a round trip counts as faster than the line.
constexpr uint32_t CLOCK_SLACK_BYTES = 2;
// An answer is sent only once its request is in: its bytes' time less this
// one, for where the two ends start their clocks.
constexpr uint32_t ANSWER_SLACK_BYTES = 1;
// A UART's clock may run a few percent fast, and a simulated line rounds its
// byte time: the line's time is counted this much short.
constexpr uint64_t RATE_TOLERANCE_PERCENT = 5;

struct PACE {
    COM_CONFIG config;     // the settings the round trips were seen under
    uint64_t byte_ns;      // the least a byte can take on the line at those settings; 0: unknown
    uint32_t round_trips;  // seen since the last forget
    uint64_t slowest_us;   // the slowest of them
    bool faster_than_line; // one came sooner than its bytes could cross
};
PACE g_pace = {};

// Start bit, data bits, parity bit, stop bits (one and a half count as one),
// at the rate the line may run fast by.
uint64_t ByteNanos(const COM_CONFIG& config) {
    if (config.baud_rate == 0) {
        return 0;
    }
    const uint32_t bits = START_BITS + config.byte_size +
                          (config.parity == COM_PARITY_NONE ? 0 : 1) +
                          (config.stop_bits == COM_STOP_BITS_TWO ? 2 : 1);
    return bits * 1000000000ull * (100 - RATE_TOLERANCE_PERCENT) / 100 / config.baud_rate;
}

// The pace belongs to the settings now in use; other settings start afresh.
const COM_CONFIG& Settle() {
    COM_CONFIG now;
    std::memset(&now, 0, sizeof now);
    COM_GetConfig(&now);
    if (std::memcmp(&now, &g_pace.config, sizeof now) != 0) {
        LINK_Forget();
        g_pace.config = now;
        g_pace.byte_ns = ByteNanos(now);
    }
    return g_pace.config;
}

} // namespace

void LINK_Forget() {
    const COM_CONFIG config = g_pace.config;
    const uint64_t byte_ns = g_pace.byte_ns;
    g_pace = PACE{};
    g_pace.config = config;
    g_pace.byte_ns = byte_ns;
}

void LINK_NoteRoundTrip(uint32_t bytes, uint64_t elapsed_us) {
    Settle();
    ++g_pace.round_trips;
    if (elapsed_us > g_pace.slowest_us) {
        g_pace.slowest_us = elapsed_us;
    }
    const uint32_t timed = bytes > CLOCK_SLACK_BYTES ? bytes - CLOCK_SLACK_BYTES : 0;
    if (elapsed_us * 1000 < timed * g_pace.byte_ns) {
        g_pace.faster_than_line = true;
    }
}

void LINK_NoteEarlyAnswer() {
    g_pace.faster_than_line = true;
}

uint32_t LINK_PromptWaitMs() {
    const COM_CONFIG& config = Settle();
    const uint32_t by_rate = TARGET_IdentifyTimeout(config.baud_rate);
    const uint64_t by_round_trips = (g_pace.slowest_us * ROUND_TRIP_FACTOR + 999) / 1000;
    return by_round_trips > by_rate ? static_cast<uint32_t>(by_round_trips) : by_rate;
}

uint64_t LINK_EarliestAnswerUs(uint32_t request_bytes) {
    if (g_pace.round_trips == 0 || g_pace.faster_than_line || request_bytes <= ANSWER_SLACK_BYTES) {
        return 0;
    }
    return (request_bytes - ANSWER_SLACK_BYTES) * g_pace.byte_ns / 1000;
}
