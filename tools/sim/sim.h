// A stand-in for the handheld's boot loader at the far end of the serial line.
// The core is plain C++ (bytes in, bytes out, a flash model, a log of the
// requests) and builds natively as well; the Win32 part runs it on a COM port
// in a thread of its own. It has its own frame coder on purpose: it must not
// share a fault with the updater's link layer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint8_t SIM_START = 0x68;
constexpr uint8_t SIM_END = 0x16;
constexpr uint8_t SIM_ACK = 0x90;
constexpr uint8_t SIM_CTRL_REPLY = 0x80;

constexpr uint8_t SIM_CMD_IDENTIFY = 0;
constexpr uint8_t SIM_CMD_CLEAR = 1;
constexpr uint8_t SIM_CMD_PROGRAM = 2;
constexpr uint8_t SIM_CMD_MAKE_VALID = 3;
constexpr uint8_t SIM_CMD_BLANK_CHECK = 4;
constexpr uint8_t SIM_CMD_GET_CRC = 5;
constexpr uint8_t SIM_CMD_START_APP = 7;

constexpr uint32_t SIM_PAGE_SIZE = 4096;
// A CRC range longer than this is cut short (a fuzzed length must not stall).
constexpr uint32_t SIM_MAX_CRC_RANGE = 16u << 20;

// Where line noise lands. A glitch is one byte (0x00 or 0xFF; a break reads
// as 0x00); a boot banner or a burst is a run of bytes (SIM_Banner).
enum class SIM_NOISE_AT : uint8_t {
    RESET,        // each time the handheld comes out of reset
    MOMENT,       // once, after_ms after the faults were set
    BEFORE_REPLY, // ahead of the first reply frame to the nth request of command
    INSIDE_REPLY, // inside that frame, after offset of its bytes
    BEFORE_ACK,   // ahead of the acknowledge of the nth request of command
    AFTER_ACK,    // right behind it, before what follows (a clear's reply after its erase)
};

struct SIM_NOISE {
    SIM_NOISE_AT at = SIM_NOISE_AT::RESET;
    uint8_t command = 0; // the request whose answer the noise goes with
    uint32_t nth = 1;    // 1-based, counted per command from the faults' setting
    uint32_t after_ms = 0;
    uint32_t offset = 0; // past the frame's end: right after it
    std::vector<uint8_t> bytes;
};

// Faults. Counters are 1-based; 0 switches a fault off unless said otherwise.
struct SIM_FAULTS {
    bool silent = false;          // log requests, answer nothing
    uint32_t drop_ack = 0;        // the n-th acknowledge sent is left out...
    uint32_t drop_ack_count = 1;  // ...and this many after it, in all
    uint32_t nak_block = 0;       // the n-th program request is refused...
    uint32_t nak_count = 1;       // ...and this many after it
    uint32_t nak_frames = 3;      // error frames sent for one refusal
    bool nak_trim_end = false;    // leave out the end byte of the last error frame
    bool nak_address_set = false; // report nak_address instead of the block address
    uint32_t nak_address = 0;
    bool nak_value_set = false; // report nak_value instead of the flash word found
    uint32_t nak_value = 0;
    uint32_t garbage_reply = 0; // garbage before the n-th reply frame (0: none)...
    bool garbage_every = false; // ...or before every reply frame
    uint32_t garbage_count = 3; // how many garbage bytes
    uint8_t garbage_byte = 0x00;
    uint32_t bad_checksum_reply = 0; // the n-th reply frame has a wrong checksum
    bool bad_checksum_every = false;
    bool wrong_crc = false; // CRC replies are off by one
    bool not_blank = false; // clear and blank check report a failing address
    uint32_t not_blank_address = 0x40081000;
    uint32_t not_blank_value = 0;
    uint32_t vanish_after_blocks = 0; // after acknowledging this many program requests...
    uint32_t vanish_ms = 0;           // ...hear and say nothing for this long, then reset
    uint32_t reply_delay_ms = 0;      // wait before every answer
    // The handheld resets once it has taken in reset_after_bytes bytes of its
    // reset_in_block-th program request (7, a header, up to the request's
    // length: all of it, before it is answered). That request is lost, the
    // rest of its bytes reach a boot loader that has just come up, and the
    // RESET noise (its boot banner) goes out at that moment. Once. The lost
    // request is not counted: the next one is the reset_in_block-th again.
    uint32_t reset_in_block = 0;
    uint32_t reset_after_bytes = 0;
    // Once start application is acknowledged the application runs, as on the
    // real handheld: requests are logged and go unanswered until a reset.
    bool silent_after_start = false;
    // Get CRC is refused (an error frame instead of the acknowledge) until
    // the image has been made valid, as a boot loader may do.
    bool crc_refused_before_valid = false;
    std::vector<SIM_NOISE> noise; // line noise, each where it says
};

// How the handheld is when the simulator starts.
enum class SIM_POWER : uint8_t {
    ON,       // already in its boot loader, the line quiet
    POWER_UP, // switched on with the simulator: out of reset, RESET noise first
    OFF,      // switched off until SIM_PowerOn
};

// How fast the handheld answers. At the defaults it answers at once; a real
// boot loader answers a moment after a request's last byte, acknowledges a
// clear at once and replies once its erase is done (seconds), and answers a
// CRC range once it has run over it. While it erases or computes it takes in
// requests but answers them only after, in order.
struct SIM_PACE {
    uint32_t answer_us = 0;       // from a request's last byte to its first answer
    uint32_t erase_ms = 0;        // clear: from its acknowledge to its reply
    uint32_t crc_ns_per_byte = 0; // get CRC over a range: from its acknowledge to its reply
};
// A real boot loader's pace: 0.2 ms to answer, a 3 s erase, and 1 us a byte
// for the CRC (1.5 s over the carried firmware).
SIM_PACE SIM_RealPace();

struct SIM_CONFIG {
    uint8_t status = 0;
    uint32_t target_value = 0x00010004;
    std::string text1 = "Tidewell boot loader";
    std::string text2 = "Tidewell Handheld TW-200";
    uint32_t crc_start[2] = {0x40080000, 0x4014EC48};
    uint32_t crc_length[2] = {846918, 622579};
    bool long_form = true;  // false: the short identify reply, range 0 only
    uint32_t baud_rate = 0; // pace the line at this rate (0: as fast as the port goes)
    SIM_POWER power = SIM_POWER::ON;
    SIM_PACE pace;
    SIM_FAULTS faults;
};

struct SIM_REQUEST {
    uint8_t command = 0;
    std::vector<uint8_t> data;
    uint64_t time_us = 0;      // when its last byte was taken in
    bool acknowledged = false; // an acknowledge went out for it (not dropped)
    // The line's idle time before a request is its first_us less the answer
    // before it's answered_us.
    uint64_t first_us = 0;    // when its first byte was taken in
    uint64_t answered_us = 0; // when the last byte of its answer was handed to the port (0: none)
    // Make valid only: whether the handheld acted on it (a silent one, or one
    // running its application, takes in nothing), and the CRC over the
    // declared ranges of the flash as it was made valid, to hold against the
    // image's.
    bool made_valid = false;
    uint16_t flash_crc = 0;
};

// The request of a SIM_SEND that answers none (noise out of a reset, at a moment).
constexpr size_t SIM_UNASKED = static_cast<size_t>(-1);

// One piece of output: wait delay_us after the request arrived, then send.
// An answer whose parts go out at different times (a paced clear's
// acknowledge, then its reply after the erase) comes as several, in order.
struct SIM_SEND {
    uint32_t delay_us = 0;
    std::vector<uint8_t> bytes;
    size_t request = SIM_UNASKED; // the answered request's place in the log
};

struct SIM_STATS {
    uint32_t requests = 0;
    uint32_t bad_frames = 0; // framing or checksum errors, dropped
    uint32_t junk_bytes = 0; // bytes outside any frame
    uint32_t unknown = 0;    // well-formed requests with an unknown command
    uint32_t acks_sent = 0;
    uint32_t acks_dropped = 0;
    uint32_t replies_sent = 0; // reply frames, error frames included
    uint32_t program_requests = 0;
    uint32_t naks = 0;
    uint32_t made_valid = 0;
    uint32_t started_app = 0;
    uint32_t clears = 0;
    uint32_t power_cycles = 0; // out of reset after being away (vanish, power off)
    uint32_t resets = 0;       // out of reset in the middle of a request (reset_in_block)
    uint32_t noise_events = 0; // line noise put out (each reset's noise counts once)
    uint32_t noise_bytes = 0;
    uint64_t last_fault_us = 0; // when a fault last acted on the line (0: none yet)
    uint64_t bytes_programmed = 0;
    uint16_t last_crc = 0;
    // Paced line only: answers sent, and how late in all they began against
    // the modelled line (the simulator's own turnaround).
    uint32_t paced_sends = 0;
    uint64_t paced_late_us = 0;
};

// The whole state of the simulated target; plain data, copyable.
struct SIM_CORE {
    SIM_CONFIG config;
    std::vector<uint8_t> rx;                                      // bytes not yet parsed
    std::map<uint32_t, std::array<uint8_t, SIM_PAGE_SIZE>> flash; // page base -> bytes
    uint16_t crc_reg = 0xFFFF;
    // Fault counters, counted from the moment the faults were set.
    uint32_t ack_seq = 0;
    uint32_t reply_seq = 0;
    uint32_t program_seq = 0;
    std::array<uint32_t, 8> request_seq = {}; // per command (noise faults)
    uint64_t faults_set_us = 0;
    std::vector<bool> noise_done;     // MOMENT noise that went out
    std::vector<uint8_t> unsolicited; // due on the line now, unasked (reset noise)
    bool vanished = false;
    bool vanish_done = false;    // the vanish fault fires once
    bool switched_off = false;   // away until SIM_CorePowerOn, not for a time
    bool in_application = false; // left the boot loader (silent_after_start)
    uint64_t vanish_until_us = 0;
    bool reset_done = false;    // the reset fault fires once
    uint64_t busy_until_us = 0; // erasing or computing a CRC until then (pace)
    uint64_t rx_first_us = 0;   // when the first byte held in rx was taken in
    std::vector<SIM_REQUEST> log;
    SIM_STATS stats;
};

// The CRC-16 that the boot loader reports: polynomial 0x1021, bytes shifted in
// directly, register usually starting at 0xFFFF.
uint16_t SIM_Crc16(uint16_t reg, const uint8_t* bytes, size_t count);

// Frame coder of the simulated side.
std::vector<uint8_t> SIM_EncodeFrame(uint8_t control, uint8_t command, const uint8_t* data,
                                     size_t length);
// Request bytes as the updater would send them (control 0).
std::vector<uint8_t> SIM_EncodeRequest(uint8_t command, const std::vector<uint8_t>& data);

// A boot banner: text as a boot loader prints it, which holds 'h' (0x68),
// with line glitches among it (0x90, 0x16, 0x00, 0xFF); from 3 bytes on it
// holds 0x68, 0x90 and 0x16. It never holds 0x80, a reply's control byte, so
// no run of it passes for a reply header. The same seed gives the same bytes.
std::vector<uint8_t> SIM_Banner(uint32_t length, uint32_t seed);

void SIM_CoreInit(SIM_CORE* core, const SIM_CONFIG& config);
// Bytes received at time now_us; what to send in answer is appended to out.
void SIM_CoreFeed(SIM_CORE* core, const uint8_t* bytes, size_t count, uint64_t now_us,
                  std::vector<SIM_SEND>* out);
// Time passing without input: a vanished handheld's return, noise due at a
// moment or out of a reset. The port calls it between reads; Feed does too.
void SIM_CoreTick(SIM_CORE* core, uint64_t now_us, std::vector<SIM_SEND>* out);
uint8_t SIM_CoreFlashByte(const SIM_CORE* core, uint32_t address);
void SIM_CoreErase(SIM_CORE* core);
// New faults; their counters and moments start again from now_us.
void SIM_CoreSetFaults(SIM_CORE* core, const SIM_FAULTS& faults, uint64_t now_us = 0);
// Out of reset: line state and CRC state reset, back in the boot loader and
// no longer busy, flash and counters kept; the RESET noise is due on the line.
void SIM_CoreReset(SIM_CORE* core);
// Switched off: hears and says nothing, keeps its flash. Switched on: out of
// reset, as after the vanish fault.
void SIM_CorePowerOff(SIM_CORE* core);
void SIM_CorePowerOn(SIM_CORE* core);
// Writes the written pages as S3 records, lines of only 0xFF left out.
bool SIM_WriteFlashSrec(const SIM_CORE* core, const char* path);
std::string SIM_Summary(const SIM_CORE* core);

// The simulated target on a COM port (Win32 only).
struct SIM;
SIM* SIM_Create(const SIM_CONFIG& config);
// port: "COM8" or "\\.\COM8". Opens at 115200 baud, 8 data bits, odd parity,
// one stop bit and answers from a thread of its own until SIM_Stop.
bool SIM_Start(SIM* sim, const char* port);
void SIM_Stop(SIM* sim);
void SIM_Destroy(SIM* sim);
void SIM_SetFaults(SIM* sim, const SIM_FAULTS& faults); // as SIM_CoreSetFaults, from now
void SIM_PowerOff(SIM* sim);
void SIM_PowerOn(SIM* sim); // the RESET noise goes out within a read time-out
std::vector<SIM_REQUEST> SIM_GetRequests(SIM* sim);
uint32_t SIM_CountRequests(SIM* sim, uint8_t command);
void SIM_ClearRequests(SIM* sim);
SIM_STATS SIM_GetStats(SIM* sim);
uint8_t SIM_ReadFlash(SIM* sim, uint32_t address);
// A consistent copy of the whole state (flash, log, counters).
SIM_CORE SIM_Snapshot(SIM* sim);
// Microseconds since the last byte was received or sent.
uint64_t SIM_IdleMicros(SIM* sim);
// The simulator's clock, which times the requests and SIM_STATS::last_fault_us.
uint64_t SIM_NowMicros();
