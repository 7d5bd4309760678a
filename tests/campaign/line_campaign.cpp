// Fault campaign on the virtual line: complete updates of the carried
// firmware by the updater's own target layer against the simulated
// handheld's core, in virtual time at a real line's speed, at once or at a
// real boot loader's pace (erases of seconds, CRCs over a second), through a
// USB adapter's latency timer or over a slow link. Each run draws one or two
// faults: a reset in the middle of a block, noise on the line (at power-up,
// while polling, stray bytes and bursts around the jobs' answers), a lost
// acknowledge, a refused block, a vanished handheld, a wrong CRC; or none.
// Every run must end; a success must leave the image in the flash with its
// CRC; no make valid may go out over a flash without the whole image; noise
// alone never fails an update, and costs no more than the wait for the
// answer it broke and a rerun of that job, against a clean twin of the run
// (the same pace, line and delays, no fault).
//   line_campaign_tests.exe [runs] [seed]   (or TW_LINE_RUNS, TW_LINE_SEED;
//   TW_LINE_ONLY=N replays run N of them alone)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "image/image.h"
#include "target/handover.h"
#include "target/job.h"
#include "target/link.h"
#include "target/worker.h"
#include "tests/support/bytes.h"
#include "tools/vline/vline.h"

namespace {

// Set by main from the arguments, read by the campaign. 200 runs with their
// clean twins take about 10 s under Wine.
uint32_t g_runs = 200;
uint32_t g_seed = 20240611;
uint32_t g_only = 0; // only this run of the seed's sequence (0: all of them)

constexpr double US_PER_S = 1e6;
// One byte's time on the line at 115200 baud, 11 bits a byte.
constexpr double BYTE_S = 11.0 / 115200;
// The longest waits for an answer that noise may cost: the clear's reply
// (it comes after an erase of seconds) and a CRC reply.
constexpr double CLEAR_WAIT_S = 60;
constexpr double CRC_WAIT_S = 30;
// Any other answer: an acknowledge's wait, however long noise goes on.
constexpr double OTHER_WAIT_S = 3;
// A rerun's own exchanges and the drains around it, beside its erase or CRC.
constexpr double RERUN_S = 1;
// How far a run and its clean twin may differ without any fault's cost: the
// drains follow the round trips seen while polling; on a slow link the
// delays drawn after a fault fall on other packets (their sums over a whole
// update spread by some 3 s).
constexpr double TWIN_SLACK_S = 2;
constexpr double SLOW_TWIN_SLACK_S = 15;
// A clean update over the slowest link takes some 15 minutes.
constexpr double TWIN_LIMIT_S = 3600;
// A run is cut off this long past its bound: one that ends late still
// shows by how much, one that never ends does not hold the campaign up.
constexpr double CUT_MARGIN_S = 120;
// A fresh start polls every few ms; a banner costs it a poll or two.
constexpr uint64_t FIND_US = 10000000;
// Noise due at a poll not reached holds Start up this long, as a user would wait.
constexpr uint64_t POLL_NOISE_US = 5000000;
// The real pace's draws: erases and CRCs over the whole image.
constexpr uint32_t ERASE_MIN_MS = 1000;
constexpr uint32_t ERASE_MAX_MS = 4000;
constexpr uint32_t CRC_MIN_MS = 1000;
constexpr uint32_t CRC_MAX_MS = 2000;
// A stray 0x68 while the handheld erases: from the drain before the clear,
// the clear's acknowledge is through by this time on any link (both ways
// 100 ms late, an adapter's 16 ms), and the noise reaches the updater this
// long after it goes out at the latest.
constexpr uint32_t ERASE_68_LEAD_MS = 240;
constexpr uint32_t ERASE_68_TAIL_MS = 120;

enum KIND {
    RESET,        // the handheld resets inside a block, with a banner
    POWER_UP,     // a glitch or a banner as it is switched on after Start
    POLL_BANNER,  // a banner while it is polled
    INSIDE_POLL,  // a burst inside a poll's reply, Start within a second
    STRAY,        // a stray byte ahead of a reply or a block's acknowledge
    BURST_AHEAD,  // a burst ahead of the clear's or a CRC reply
    BURST_INSIDE, // inside one
    BURST_BEHIND, // right behind a CRC reply
    ERASE_68,     // a stray 0x68 while the handheld erases
    LOST_ACK,
    NAK,
    VANISH,
    WRONG_CRC,
    NONE,
    KIND_COUNT
};
const char* const KIND_NAMES[KIND_COUNT] = {
    "reset",        "power-up", "poll banner", "inside poll", "stray",  "burst ahead", "burst in",
    "burst behind", "erase 68", "lost ack",    "nak",         "vanish", "wrong crc",   "no fault"};
// Noise, which a link in step skips or survives with a rerun.
bool IsNoise(KIND k) {
    return (k >= POWER_UP && k <= ERASE_68) || k == NONE;
}

// How a run begins. AT_CONNECT: the update starts as the target is found,
// its faults counted from there; WHILE_POLLING: they are counted from the
// connection and the update starts after the target was polled through the
// noise; AT_POWER_UP: the update is asked for while the handheld is off,
// which it then is until switched on.
enum FLOW { ANY_FLOW, AT_CONNECT, WHILE_POLLING, AT_POWER_UP };

FLOW NeededFlow(KIND k) {
    return k == POWER_UP                          ? AT_POWER_UP
           : k == POLL_BANNER || k == INSIDE_POLL ? WHILE_POLLING
           : k == ERASE_68                        ? AT_CONNECT // its moment counts from the start
                                                  : ANY_FLOW;
}

struct PLAN {
    std::vector<KIND> kinds;
    VLINE_CONFIG line;
    SIM_FAULTS faults;
    FLOW flow = ANY_FLOW;
    uint32_t poll_noise = 0;     // WHILE_POLLING: noise events to wait for
    uint32_t start_delay_ms = 0; // WHILE_POLLING: after them
    uint32_t power_on_ms = 0;    // AT_POWER_UP: after the first poll
    double erase_68_at = -1;     // ERASE_68: where in the erase, 0 to 1
    double allowance_s = 0;      // what its faults may cost over the clean twin
    std::string text;
};

// What a clean update shows, to hold the runs against.
struct REFERENCE {
    std::vector<SIM_REQUEST> blocks; // the program requests
    uint32_t acks = 0;               // acknowledges of a whole update
    uint32_t crc_requests = 0;       // get-CRC requests of a whole update
    uint32_t identify_reply = 0;     // bytes of an identify reply frame
    uint32_t image_bytes = 0;
    uint16_t crc = 0; // the image's over the declared ranges
    uint32_t first = 0;
    std::vector<uint8_t> span; // the image from first to last, 0xFF where absent
};

double EraseS(const PLAN& plan) {
    return plan.line.target.pace.erase_ms / 1e3;
}

double CrcS(const PLAN& plan, const REFERENCE& ref) {
    return plan.line.target.pace.crc_ns_per_byte * 1e-9 * ref.image_bytes;
}

// What noise on the answer to a command may cost: the wait for it and a rerun of its job.
double NoiseAllowance(uint8_t command, const PLAN& plan, const REFERENCE& ref) {
    return command == SIM_CMD_CLEAR     ? CLEAR_WAIT_S + EraseS(plan) + RERUN_S
           : command == SIM_CMD_GET_CRC ? CRC_WAIT_S + CrcS(plan, ref) + RERUN_S
                                        : OTHER_WAIT_S + RERUN_S;
}

const char* CommandName(uint8_t command) {
    return command == SIM_CMD_CLEAR ? "clear" : command == SIM_CMD_GET_CRC ? "CRC" : "identify";
}

template <class... ARGS> std::string Format(const char* format, ARGS... args) {
    char text[160];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

PLAN Draw(std::mt19937& rng, const REFERENCE& ref) {
    auto pick = [&rng](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    PLAN plan;
    if (pick(1, 100) <= 10) {
        plan.kinds.push_back(NONE);
    }
    const uint32_t count = plan.kinds.empty() ? pick(1, 2) : 0;
    while (plan.kinds.size() < count) {
        const KIND k = static_cast<KIND>(pick(0, NONE - 1));
        const FLOW need = NeededFlow(k);
        const bool clash = need != ANY_FLOW && plan.flow != ANY_FLOW && need != plan.flow;
        if (std::find(plan.kinds.begin(), plan.kinds.end(), k) == plan.kinds.end() && !clash) {
            plan.kinds.push_back(k);
            plan.flow = need != ANY_FLOW ? need : plan.flow;
        }
    }
    const bool has_erase_68 =
        std::find(plan.kinds.begin(), plan.kinds.end(), ERASE_68) != plan.kinds.end();
    SIM_PACE& pace = plan.line.target.pace;
    std::string pace_text = "at once";
    if (has_erase_68 || pick(0, 1) == 0) {
        pace = SIM_RealPace();
        pace.erase_ms = pick(ERASE_MIN_MS, ERASE_MAX_MS);
        const uint32_t crc_ms = pick(CRC_MIN_MS, CRC_MAX_MS);
        pace.crc_ns_per_byte = static_cast<uint32_t>(crc_ms * 1000000ull / ref.image_bytes);
        pace_text = Format("erase %.1f s, CRC %.1f s", pace.erase_ms / 1e3, crc_ms / 1e3);
    }
    plan.line.adapter_latency = pick(0, 1) == 0;
    plan.line.slow_link = pick(1, 100) <= 20;
    plan.line.seed = rng();
    SIM_FAULTS& f = plan.faults;
    f.silent_after_start = pick(0, 3) != 0;

    static const uint8_t stray_bytes[] = {0x00, 0xFF, 0x68, 0x16, 0x90};
    const auto blocks = static_cast<uint32_t>(ref.blocks.size());
    // The clear's reply, or one of the CRC replies of an update.
    auto job_reply = [&](SIM_NOISE* n) {
        n->command = pick(0, 1) == 0 ? SIM_CMD_CLEAR : SIM_CMD_GET_CRC;
        n->nth = n->command == SIM_CMD_CLEAR ? 1 : pick(1, ref.crc_requests);
    };
    auto banner = [&](uint32_t lo, uint32_t hi) { return SIM_Banner(pick(lo, hi), rng()); };
    for (KIND k : plan.kinds) {
        std::string text;
        SIM_NOISE n;
        double allowance = CLEAR_WAIT_S + CRC_WAIT_S + EraseS(plan) + CrcS(plan, ref) + RERUN_S;
        switch (k) {
        case RESET: {
            f.reset_in_block = pick(1, blocks);
            const auto size = static_cast<uint32_t>(ref.blocks[f.reset_in_block - 1].data.size());
            f.reset_after_bytes = pick(7, size + 9);
            n.bytes = banner(3, 300);
            const uint32_t end = pick(0, 2); // a 0x90 at either end, or none
            if (end == 1) {
                n.bytes.insert(n.bytes.begin(), SIM_ACK);
            } else if (end == 2) {
                n.bytes.push_back(SIM_ACK);
            }
            text = Format("reset in block %u after %u bytes, banner of %zu%s", f.reset_in_block,
                          f.reset_after_bytes, n.bytes.size(),
                          end == 1   ? " from 90"
                          : end == 2 ? " to 90"
                                     : "");
            break;
        }
        case POWER_UP:
            if (pick(0, 1) == 0) {
                n.bytes.assign(pick(1, 3), pick(0, 1) == 0 ? 0x00 : 0xFF);
                text = Format("glitch %zu x %02X at power-up", n.bytes.size(), n.bytes[0]);
            } else {
                n.bytes = banner(3, 300);
                text = Format("banner of %zu at power-up", n.bytes.size());
            }
            plan.power_on_ms = pick(100, 2000);
            allowance = NoiseAllowance(SIM_CMD_IDENTIFY, plan, ref);
            break;
        case POLL_BANNER:
            n.bytes = banner(3, 300);
            if (pick(0, 1) == 0) {
                n.at = SIM_NOISE_AT::BEFORE_REPLY;
                n.command = SIM_CMD_IDENTIFY;
                n.nth = pick(1, 100);
                text = Format("banner of %zu before poll reply %u", n.bytes.size(), n.nth);
            } else {
                n.at = SIM_NOISE_AT::MOMENT;
                n.after_ms = pick(0, 1500);
                text = Format("banner of %zu %u ms into polling", n.bytes.size(), n.after_ms);
            }
            ++plan.poll_noise;
            allowance = NoiseAllowance(SIM_CMD_IDENTIFY, plan, ref);
            break;
        case INSIDE_POLL:
            n.at = SIM_NOISE_AT::INSIDE_REPLY;
            n.command = SIM_CMD_IDENTIFY;
            n.nth = pick(1, 100);
            n.offset = pick(1, ref.identify_reply - 1);
            n.bytes = banner(1, 40);
            text = Format("burst of %zu inside poll reply %u after %u", n.bytes.size(), n.nth,
                          n.offset);
            ++plan.poll_noise;
            allowance = NoiseAllowance(SIM_CMD_IDENTIFY, plan, ref);
            break;
        case STRAY: {
            n.bytes = {stray_bytes[pick(0, sizeof stray_bytes - 1)]};
            const bool may_poll = plan.flow == ANY_FLOW || plan.flow == WHILE_POLLING;
            const uint32_t where = pick(may_poll ? 0 : 1, 3);
            if (where == 0) { // the flow becomes a poll's
                n.at = SIM_NOISE_AT::BEFORE_REPLY;
                n.command = SIM_CMD_IDENTIFY;
                n.nth = pick(1, 100);
                plan.flow = WHILE_POLLING;
                ++plan.poll_noise;
                text = Format("%02X before poll reply %u", n.bytes[0], n.nth);
            } else if (where == 1) {
                n.at = SIM_NOISE_AT::BEFORE_ACK;
                n.command = SIM_CMD_PROGRAM;
                n.nth = pick(1, blocks);
                text = Format("%02X before ack of block %u", n.bytes[0], n.nth);
            } else {
                n.at = SIM_NOISE_AT::BEFORE_REPLY;
                job_reply(&n);
                text = Format("%02X before %s reply %u", n.bytes[0], CommandName(n.command), n.nth);
            }
            allowance = NoiseAllowance(n.command, plan, ref);
            break;
        }
        case BURST_AHEAD:
            n.at = SIM_NOISE_AT::BEFORE_REPLY;
            job_reply(&n);
            n.bytes = banner(3, 300);
            text = Format("burst of %zu before %s reply %u", n.bytes.size(), CommandName(n.command),
                          n.nth);
            allowance = NoiseAllowance(n.command, plan, ref);
            break;
        case BURST_INSIDE: {
            n.at = SIM_NOISE_AT::INSIDE_REPLY;
            job_reply(&n);
            // An empty clear reply, a CRC reply of three payload bytes.
            const uint32_t frame = 9 + (n.command == SIM_CMD_GET_CRC ? 3 : 0);
            n.offset = pick(1, frame - 1);
            n.bytes = banner(1, 40);
            text = Format("burst of %zu inside %s reply %u after %u", n.bytes.size(),
                          CommandName(n.command), n.nth, n.offset);
            allowance = NoiseAllowance(n.command, plan, ref);
            break;
        }
        case BURST_BEHIND:
            n.at = SIM_NOISE_AT::INSIDE_REPLY;
            n.command = SIM_CMD_GET_CRC;
            n.nth = pick(1, ref.crc_requests);
            n.offset = UINT32_MAX; // past the frame's end: right behind it
            n.bytes = banner(3, 300);
            text = Format("burst of %zu behind CRC reply %u", n.bytes.size(), n.nth);
            allowance = NoiseAllowance(n.command, plan, ref);
            break;
        case ERASE_68:
            plan.erase_68_at = pick(0, 100) / 100.0;
            text = Format("68 %.0f%% into the erase", plan.erase_68_at * 100);
            allowance = NoiseAllowance(SIM_CMD_CLEAR, plan, ref);
            break;
        case LOST_ACK:
            f.drop_ack = pick(1, ref.acks);
            f.drop_ack_count = pick(1, 2);
            text = Format("drop ack %u x%u", f.drop_ack, f.drop_ack_count);
            break;
        case NAK:
            f.nak_block = pick(1, blocks);
            f.nak_count = pick(1, 2);
            f.nak_frames = pick(1, 3);
            text = Format("nak block %u x%u (%u frames)", f.nak_block, f.nak_count, f.nak_frames);
            break;
        case VANISH:
            f.vanish_after_blocks = pick(1, blocks);
            f.vanish_ms = pick(20, 2500);
            text = Format("vanish after block %u for %u ms", f.vanish_after_blocks, f.vanish_ms);
            break;
        case WRONG_CRC:
            f.wrong_crc = true;
            text = "wrong crc";
            break;
        default:
            text = KIND_NAMES[k];
            allowance = 0;
            break;
        }
        if (!n.bytes.empty()) {
            f.noise.push_back(n);
        }
        plan.allowance_s += allowance;
        plan.text += (plan.text.empty() ? "" : ", ") + text;
    }
    if (plan.flow == AT_POWER_UP) {
        plan.text += Format(", on after %u ms", plan.power_on_ms);
    } else if (plan.flow == WHILE_POLLING) {
        plan.start_delay_ms = pick(0, 1000);
        plan.text += Format(", Start %u ms after it", plan.start_delay_ms);
    }
    plan.text += "; " + pace_text;
    plan.text += plan.line.adapter_latency ? ", adapter" : "";
    plan.text += plan.line.slow_link ? ", slow link" : "";
    plan.text += f.silent_after_start ? ", leaves loader" : "";
    return plan;
}

// The faults as they are set at the update's start: a stray 0x68 placed
// inside the erase that the clear, sent after one drain, sets going.
SIM_FAULTS FaultsAtStart(const PLAN& plan) {
    SIM_FAULTS faults = plan.faults;
    if (plan.erase_68_at >= 0) {
        SIM_NOISE n;
        n.at = SIM_NOISE_AT::MOMENT;
        n.bytes = {SIM_START};
        const uint32_t window =
            plan.line.target.pace.erase_ms - ERASE_68_LEAD_MS - ERASE_68_TAIL_MS;
        n.after_ms = LINK_PromptWaitMs() + ERASE_68_LEAD_MS +
                     static_cast<uint32_t>(plan.erase_68_at * window);
        faults.noise.push_back(n);
    }
    return faults;
}

struct RUN {
    bool found = false; // the target was there for the update
    bool ended = false; // the update returned before it was cut off
    bool success = false;
    double update_s = 0; // from UPDATE_Run to its return, in virtual time
    double past_s = 0;   // from the last fault, or the start after it, to the return (0: no fault)
    double line_s = 0;   // the update's bytes' time on the line, both ways
    uint64_t start_us = 0; // when the update began, on the line's clock
};

// One run of the plan, with its faults or as its clean twin: a fresh start,
// the flow up to the update, the update. The handheld stays as it ended.
RUN Execute(const PLAN& plan, bool with_faults, double limit_s) {
    RUN run;
    const FLOW flow = with_faults ? plan.flow : AT_CONNECT;
    VLINE_CONFIG line = plan.line;
    line.target.faults = SIM_FAULTS();
    line.target.faults.silent_after_start = plan.faults.silent_after_start;
    if (flow == AT_POWER_UP) {
        line.target.power = SIM_POWER::OFF;
        line.target.faults = plan.faults;
    }
    VLINE_FreshStart(line);
    uint64_t acted_us = 0;
    if (flow == AT_POWER_UP) {
        VLINE_Poll(plan.power_on_ms * 1000ull);
        acted_us = VLINE_NowUs();
        VLINE_PowerOn();
    }
    if (!VLINE_PollUntilConnected(FIND_US)) {
        return run;
    }
    if (flow == WHILE_POLLING) {
        VLINE_SetFaults(plan.faults);
        const uint64_t latest = VLINE_NowUs() + POLL_NOISE_US;
        while (VLINE_Core().stats.noise_events < plan.poll_noise && VLINE_NowUs() < latest) {
            WORKER_Cycle();
        }
        VLINE_Poll(plan.start_delay_ms * 1000ull);
        if (!VLINE_PollUntilConnected(FIND_US)) {
            return run;
        }
    } else if (with_faults && flow != AT_POWER_UP) {
        VLINE_SetFaults(FaultsAtStart(plan));
    }
    run.found = true;
    // The twin draws the same delays from here on.
    VLINE_Reseed(plan.line.seed);
    const VLINE_COUNTS before = VLINE_Counts();
    const uint64_t start_us = VLINE_NowUs();
    run.start_us = start_us;
    VLINE_SetLimit(start_us + static_cast<uint64_t>(limit_s * US_PER_S));
    try {
        run.success = UPDATE_Run() == JOB_OK;
        run.ended = true;
    } catch (const VLINE_OVERRUN&) {
    }
    VLINE_SetLimit(0);
    const uint64_t end_us = VLINE_NowUs();
    const VLINE_COUNTS& after = VLINE_Counts();
    run.update_s = (end_us - start_us) / US_PER_S;
    run.line_s = static_cast<double>(after.bytes_out - before.bytes_out + after.bytes_back -
                                     before.bytes_back) *
                 BYTE_S;
    const uint64_t fault_us = std::max(VLINE_Core().stats.last_fault_us, acted_us);
    const uint64_t last_us = std::max(fault_us, start_us);
    run.past_s = fault_us != 0 && end_us > last_us ? (end_us - last_us) / US_PER_S : 0;
    return run;
}

bool TakeReference(REFERENCE* ref) {
    if (!VLINE_LoadFirmware()) {
        return false;
    }
    ref->image_bytes = IMAGE_GetNumBytes(APP_Image);
    ref->first = IMAGE_GetFirstAddr(APP_Image);
    {
        IMAGE_LOCK_SCOPE lock(APP_Image); // one lock over the walk
        for (uint32_t a = ref->first; a <= IMAGE_GetLastAddr(APP_Image); ++a) {
            const int32_t v = IMAGE_ReadByte(APP_Image, a);
            ref->span.push_back(static_cast<uint8_t>(v < 0 ? 0xFF : v));
        }
    }
    const PLAN clean;
    if (!Execute(clean, false, TWIN_LIMIT_S).success) {
        return false;
    }
    const SIM_CORE& core = VLINE_Core();
    for (const SIM_REQUEST& r : core.log) {
        ref->blocks.insert(ref->blocks.end(), r.command == SIM_CMD_PROGRAM ? 1 : 0, r);
        ref->acks += r.acknowledged ? 1 : 0;
        ref->crc_requests += r.command == SIM_CMD_GET_CRC ? 1 : 0;
    }
    const SIM_CONFIG& target = core.config;
    ref->identify_reply = static_cast<uint32_t>(9 + 23 + target.text1.size() + target.text2.size());
    // The update succeeded, so the handheld's CRC is the image's.
    ref->crc = core.stats.last_crc;
    return !ref->blocks.empty();
}

// Every make valid went out over the whole image: the handheld's flash held
// the image's CRC over the declared ranges, and every block had been
// acknowledged since the last clear before it (but blocks of only 0xFF,
// which a cleared flash holds already). Empty when that holds.
std::string CheckMadeValid(const SIM_CORE& core, const REFERENCE& ref) {
    std::map<uint32_t, const std::vector<uint8_t>*> acked; // by base address
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_CLEAR) {
            acked.clear();
        } else if (r.command == SIM_CMD_PROGRAM && r.acknowledged && r.data.size() >= 4) {
            acked[GetLe32(r.data)] = &r.data;
        } else if (r.command == SIM_CMD_MAKE_VALID && r.flash_crc != ref.crc) {
            return Format("made valid over a flash of CRC %04X, the image's is %04X", r.flash_crc,
                          ref.crc);
        } else if (r.command == SIM_CMD_MAKE_VALID) {
            for (const SIM_REQUEST& block : ref.blocks) {
                const auto it = acked.find(GetLe32(block.data));
                const bool erased = std::all_of(block.data.begin() + 4, block.data.end(),
                                                [](uint8_t b) { return b == 0xFF; });
                if (!erased && (it == acked.end() || *it->second != block.data)) {
                    return Format("made valid with block %08X not acknowledged",
                                  GetLe32(block.data));
                }
            }
        }
    }
    return "";
}

// The flash holds the image byte for byte, made valid, with its CRC.
std::string CheckSuccess(const SIM_CORE& core, const REFERENCE& ref) {
    const uint32_t last = ref.first + static_cast<uint32_t>(ref.span.size()) - 1;
    for (uint32_t a = ref.first; a <= last;) {
        const uint32_t base = a - a % SIM_PAGE_SIZE;
        const uint32_t run = std::min(base + SIM_PAGE_SIZE - a, last - a + 1);
        const auto page = core.flash.find(base);
        const uint8_t* want = ref.span.data() + (a - ref.first);
        for (uint32_t i = 0; i < run; ++i) {
            if ((page == core.flash.end() ? 0xFF : page->second[a - base + i]) != want[i]) {
                return Format("success with the flash differing at %08X", a + i);
            }
        }
        a += run;
    }
    return core.stats.made_valid == 0 || core.stats.last_crc != ref.crc
               ? "success without the image made valid and its CRC matching"
               : "";
}

const char* StepName(UPDATE_STEP step) {
    static const char* const names[] = {"clear",      "program",         "CRC before valid",
                                        "make valid", "CRC after valid", "done"};
    return names[static_cast<int>(step)];
}

const char* RequestName(uint8_t command) {
    static const char* const names[] = {"identify", "clear", "program", "valid",
                                        "blank",    "CRC",   "?",       "start"};
    return command < 8 ? names[command] : "?";
}

// What the line and the handheld did, the handheld's last requests (+:
// acknowledged) and the last fault, in seconds from the update's start.
std::string LineReport(const SIM_CORE& core, uint64_t start_us) {
    const VLINE_COUNTS& c = VLINE_Counts();
    const SIM_STATS& s = core.stats;
    const UPDATE_OUTCOME outcome = UPDATE_GetOutcome();
    auto at = [start_us](uint64_t us) { return (static_cast<double>(us) - start_us) / US_PER_S; };
    std::string text = Format("\n    line: %u writes, %u reads cut short, %llu bytes back, %u "
                              "polls answered, %u losses; ",
                              c.writes, c.reads_short,
                              static_cast<unsigned long long>(c.bytes_back), c.found, c.lost);
    text += Format("handheld: %u requests, %u bad frames, %u junk bytes, %u noise events, %u "
                   "resets, %u acks dropped, %u naks, last fault at %.3f s;",
                   s.requests, s.bad_frames, s.junk_bytes, s.noise_events, s.resets, s.acks_dropped,
                   s.naks, at(s.last_fault_us));
    text += Format(
        "\n    update: %d, stopped at %s, %s, last block %08X %s; last requests:", outcome.result,
        StepName(outcome.step), outcome.made_valid ? "made valid" : "nothing made valid",
        outcome.last_block, outcome.last_block_acknowledged ? "acknowledged" : "not acknowledged");
    const size_t from = core.log.size() > 8 ? core.log.size() - 8 : 0;
    for (size_t i = from; i < core.log.size(); ++i) {
        const SIM_REQUEST& r = core.log[i];
        text +=
            Format(" %s@%.3f%s", RequestName(r.command), at(r.time_us), r.acknowledged ? "+" : "");
    }
    return text;
}

struct ROW {
    uint32_t runs = 0;
    uint32_t successes = 0;
    uint32_t failures = 0;
    double max_s = 0;
    double max_past_s = 0;
    double max_over_s = 0; // over the clean twin
    uint32_t violations = 0;
};

void Tally(ROW* row, const RUN& run, double over_s, bool violated) {
    ++row->runs;
    row->successes += run.success ? 1 : 0;
    row->failures += run.success ? 0 : 1;
    row->max_s = std::max(row->max_s, run.update_s);
    row->max_past_s = std::max(row->max_past_s, run.past_s);
    row->max_over_s = std::max(row->max_over_s, over_s);
    row->violations += violated ? 1 : 0;
}

// The clean twins by what they depend on: the pace, the adapter, and the
// slow link's delays.
using TWIN_KEY = std::tuple<uint32_t, uint32_t, uint32_t, bool, bool, uint32_t>;

class LineCampaign : public testing::Test {
  protected:
    static void SetUpTestSuite() { referenced_ = TakeReference(&ref_); }

    RUN Twin(const PLAN& plan) {
        const SIM_PACE& p = plan.line.target.pace;
        const TWIN_KEY key{p.answer_us,         p.erase_ms,
                           p.crc_ns_per_byte,   plan.line.adapter_latency,
                           plan.line.slow_link, plan.line.slow_link ? plan.line.seed : 0};
        const auto it = twins_.find(key);
        if (it != twins_.end()) {
            return it->second;
        }
        return twins_[key] = Execute(plan, false, TWIN_LIMIT_S);
    }

    // Written by SetUpTestSuite, read by the tests.
    static REFERENCE ref_;
    static bool referenced_;
    // This test's clean runs, made as they are first needed.
    std::map<TWIN_KEY, RUN> twins_;
};
REFERENCE LineCampaign::ref_;
bool LineCampaign::referenced_ = false;

// The line itself, against its model: a clean update at once spends its
// bytes' time on the line and little more; an adapter adds its latency to
// each block, a real pace its erase and CRCs, a slow link two of its delays
// to each block; a reset lands at its byte.
TEST_F(LineCampaign, LineKeepsItsModel) {
    ASSERT_TRUE(referenced_);
    const double blocks = static_cast<double>(ref_.blocks.size());
    PLAN plan;
    const RUN clean = Twin(plan);
    ASSERT_TRUE(clean.success);
    EXPECT_GE(clean.update_s, clean.line_s);
    EXPECT_LE(clean.update_s, clean.line_s + 1.0) << "the updater's own waits";

    plan.line.adapter_latency = true;
    const RUN adapter = Twin(plan);
    EXPECT_GE(adapter.update_s - clean.update_s, blocks * 0.016);
    EXPECT_LE(adapter.update_s - clean.update_s, blocks * 0.016 + 1.0);

    plan.line.adapter_latency = false;
    plan.line.target.pace = SIM_RealPace();
    const RUN paced = Twin(plan);
    const double crc_s = CrcS(plan, ref_);
    const double answers_s = ref_.acks * plan.line.target.pace.answer_us / US_PER_S;
    // The erase and the CRCs before and after make valid.
    EXPECT_NEAR(paced.update_s - clean.update_s, EraseS(plan) + 2 * crc_s + answers_s, 0.5);

    plan.line.target.pace = SIM_PACE();
    plan.line.slow_link = true;
    const RUN slow = Twin(plan);
    ASSERT_TRUE(slow.success);
    EXPECT_GE(slow.update_s - clean.update_s, blocks * 0.060);
    EXPECT_LE(slow.update_s - clean.update_s, blocks * 0.200);

    plan.line.slow_link = false;
    plan.faults.reset_in_block = 5;
    plan.faults.reset_after_bytes = 100;
    plan.flow = AT_CONNECT;
    Execute(plan, true, TWIN_LIMIT_S);
    const SIM_CORE& core = VLINE_Core();
    uint32_t block = 0;
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_PROGRAM && ++block == 4) {
            // The acknowledge back, then the next block's bytes up to the 100th.
            const double reset_s = (core.stats.last_fault_us - r.time_us) / US_PER_S;
            EXPECT_NEAR(reset_s, 101 * BYTE_S, 2e-6);
        }
    }
    EXPECT_EQ(core.stats.resets, 1u);
}

TEST_F(LineCampaign, EveryRunEndsInSuccessOrSafeFailure) {
    ASSERT_TRUE(referenced_);
    std::printf("line campaign: %u runs, seed %u (replay: line_campaign_tests.exe %u %u)\n", g_runs,
                g_seed, g_runs, g_seed);
    const auto began = std::chrono::steady_clock::now();
    std::mt19937 rng(g_seed);
    ROW rows[KIND_COUNT];
    // By pace: at once, a real boot loader's, through the adapter, over the slow link.
    const char* const pace_names[] = {"at once", "real pace", "adapter", "slow link"};
    ROW paces[4];
    ROW total;
    for (uint32_t number = 1; number <= g_runs; ++number) {
        const PLAN plan = Draw(rng, ref_);
        if (g_only != 0 && number != g_only) {
            continue; // drawn all the same, so the one run replays as it ran
        }
        std::printf("run %3u: %s\n", number, plan.text.c_str());
        const RUN twin = Twin(plan);
        const double slack = plan.line.slow_link ? SLOW_TWIN_SLACK_S : TWIN_SLACK_S;
        const double bound_s = twin.update_s + plan.allowance_s + slack;
        const RUN run = Execute(plan, true, bound_s + CUT_MARGIN_S);
        const SIM_CORE& core = VLINE_Core();
        const double over_s = run.update_s - twin.update_s;

        const bool noise_only = std::all_of(plan.kinds.begin(), plan.kinds.end(), IsNoise);
        std::string fault;
        if (!twin.success) {
            fault = "its clean twin failed";
        } else if (!run.found) {
            fault = "no target after a fresh start";
        } else if (!run.ended) {
            fault = Format("no end within %.0f s", bound_s + CUT_MARGIN_S);
        }
        if (fault.empty()) {
            fault = CheckMadeValid(core, ref_);
        }
        if (fault.empty() && run.success) {
            fault = CheckSuccess(core, ref_);
        }
        if (fault.empty() && noise_only && !run.success) {
            fault = "failed with only noise";
        }
        if (fault.empty() && run.update_s > bound_s) {
            fault = Format("%.2f s over its clean twin, its faults may cost %.2f s", over_s,
                           plan.allowance_s + slack);
        }
        if (!fault.empty()) {
            fault += LineReport(core, run.start_us);
        }
        std::printf(
            "    -> %-7s in %7.2f s, %6.2f s past the last fault, %+7.2f s over clean%s%s\n",
            run.success ? "success" : "failed", run.update_s, run.past_s, over_s,
            fault.empty() ? "" : "  VIOLATION: ", fault.c_str());
        std::fflush(stdout);
        const bool violated = !fault.empty();
        Tally(&total, run, over_s, violated);
        for (KIND k : plan.kinds) {
            Tally(&rows[k], run, over_s, violated);
        }
        const bool real = plan.line.target.pace.erase_ms != 0;
        Tally(&paces[real ? 1 : 0], run, over_s, violated);
        if (plan.line.adapter_latency) {
            Tally(&paces[2], run, over_s, violated);
        }
        if (plan.line.slow_link) {
            Tally(&paces[3], run, over_s, violated);
        }
    }
    const double real_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::printf("\n%-13s %5s %8s %7s %8s %8s %8s %10s\n", "fault", "runs", "success", "failed",
                "max s", "past s", "over s", "violations");
    auto print = [](const char* name, const ROW& r) {
        std::printf("%-13s %5u %8u %7u %8.2f %8.2f %8.2f %10u\n", name, r.runs, r.successes,
                    r.failures, r.max_s, r.max_past_s, r.max_over_s, r.violations);
    };
    for (int k = 0; k < KIND_COUNT; ++k) {
        print(KIND_NAMES[k], rows[k]);
    }
    for (int p = 0; p < 4; ++p) {
        print(pace_names[p], paces[p]);
    }
    print("all runs", total);
    std::printf("(virtual seconds of the update; a run with two faults counts in both rows; "
                "past s: from the last fault (or the start, after it) to the update's end; over s: "
                "beyond its clean "
                "twin; seed %u; %.1f s real time, %zu clean twins)\n",
                g_seed, real_s, twins_.size());
    EXPECT_EQ(total.violations, 0u);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    auto number = [](const char* text, uint32_t* out) {
        if (text != nullptr) {
            *out = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
        }
    };
    number(std::getenv("TW_LINE_RUNS"), &g_runs);
    number(std::getenv("TW_LINE_SEED"), &g_seed);
    number(std::getenv("TW_LINE_ONLY"), &g_only);
    number(argc > 1 ? argv[1] : nullptr, &g_runs);
    number(argc > 2 ? argv[2] : nullptr, &g_seed);
    return RUN_ALL_TESTS();
}
