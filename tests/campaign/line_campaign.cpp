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
#include <iterator>
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
#include "tests/campaign/draws.h"
#include "tests/campaign/outcomes.h"
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
struct REFERENCE : CAMPAIGN_REFERENCE {
    uint32_t acks = 0;           // acknowledges of a whole update
    uint32_t crc_requests = 0;   // get-CRC requests of a whole update
    uint32_t identify_reply = 0; // bytes of an identify reply frame
    uint32_t image_bytes = 0;
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

bool Has(const std::vector<KIND>& kinds, KIND k) {
    return std::find(kinds.begin(), kinds.end(), k) != kinds.end();
}

// The flow the kinds need; one kind's need at most, for they never clash.
FLOW FlowOf(const std::vector<KIND>& kinds) {
    FLOW flow = ANY_FLOW;
    for (KIND k : kinds) {
        flow = NeededFlow(k) != ANY_FLOW ? NeededFlow(k) : flow;
    }
    return flow;
}

bool Fits(const std::vector<KIND>& kinds, KIND k) {
    const FLOW need = NeededFlow(k);
    const FLOW flow = FlowOf(kinds);
    return need == ANY_FLOW || flow == ANY_FLOW || need == flow;
}

// The line: at once or at a real boot loader's pace, through an adapter's
// latency or not, over a slow link or not, and the link's own delays.
std::string DrawLine(CAMPAIGN_DRAW& draw, const REFERENCE& ref, PLAN* plan) {
    std::string text = "at once";
    if (Has(plan->kinds, ERASE_68) || draw.Pick(0, 1) == 0) {
        const uint32_t erase_ms = draw.Pick(CAMPAIGN_ERASE_MIN_MS, CAMPAIGN_ERASE_MAX_MS);
        const uint32_t crc_ms = draw.Pick(CAMPAIGN_CRC_MIN_MS, CAMPAIGN_CRC_MAX_MS);
        plan->line.target.pace = CAMPAIGN_RealPace(erase_ms, crc_ms, ref.image_bytes);
        text = CAMPAIGN_Format("erase %.1f s, CRC %.1f s", erase_ms / 1e3, crc_ms / 1e3);
    }
    plan->line.adapter_latency = draw.Pick(0, 1) == 0;
    plan->line.slow_link = draw.Pick(1, 100) <= 20;
    plan->line.seed = draw.Raw();
    return text;
}

// A stray byte ahead of a poll's reply (the flow becomes a poll's), a
// block's acknowledge, or a job's reply.
std::string DrawStray(CAMPAIGN_DRAW& draw, const REFERENCE& ref, PLAN* plan, SIM_NOISE* n) {
    const uint8_t byte = CAMPAIGN_STRAY_BYTES[draw.Pick(0, CAMPAIGN_STRAY_COUNT - 1)];
    n->bytes = {byte};
    const bool may_poll = plan->flow == ANY_FLOW || plan->flow == WHILE_POLLING;
    const uint32_t where = draw.Pick(may_poll ? 0 : 1, 3);
    if (where == 0) {
        n->at = SIM_NOISE_AT::BEFORE_REPLY;
        n->command = SIM_CMD_IDENTIFY;
        n->nth = draw.Pick(1, 100);
        plan->flow = WHILE_POLLING;
        ++plan->poll_noise;
        return CAMPAIGN_Format("%02X before poll reply %u", byte, n->nth);
    }
    if (where == 1) {
        const auto blocks = static_cast<uint32_t>(ref.blocks.size());
        return draw.AheadOfAck(
            blocks, [byte] { return byte; }, n);
    }
    n->at = SIM_NOISE_AT::BEFORE_REPLY;
    draw.JobReply(ref.crc_requests, n);
    return CAMPAIGN_Format("%02X before %s reply %u", byte, CommandName(n->command), n->nth);
}

// Noise, with the answer it lands on in n->command where it lands on one.
std::string DrawNoise(KIND k, CAMPAIGN_DRAW& draw, const REFERENCE& ref, PLAN* plan, SIM_NOISE* n) {
    switch (k) {
    case POWER_UP: {
        const std::string text = draw.Pick(0, 1) == 0 ? draw.Glitch(n) : draw.PowerUpBanner(n);
        plan->power_on_ms = draw.Pick(100, 2000);
        return text;
    }
    case POLL_BANNER:
        ++plan->poll_noise;
        return draw.PollBanner(n);
    case INSIDE_POLL:
        ++plan->poll_noise;
        return draw.InsidePoll(ref.identify_reply, n);
    case STRAY:
        return DrawStray(draw, ref, plan, n);
    case BURST_AHEAD:
        n->at = SIM_NOISE_AT::BEFORE_REPLY;
        draw.JobReply(ref.crc_requests, n);
        n->bytes = draw.Banner(3, 300);
        return CAMPAIGN_Format("burst of %zu before %s reply %u", n->bytes.size(),
                               CommandName(n->command), n->nth);
    case BURST_INSIDE: {
        n->at = SIM_NOISE_AT::INSIDE_REPLY;
        draw.JobReply(ref.crc_requests, n);
        // An empty clear reply, a CRC reply of three payload bytes.
        const uint32_t frame = 9 + (n->command == SIM_CMD_GET_CRC ? 3 : 0);
        n->offset = draw.Pick(1, frame - 1);
        n->bytes = draw.Banner(1, 40);
        return CAMPAIGN_Format("burst of %zu inside %s reply %u after %u", n->bytes.size(),
                               CommandName(n->command), n->nth, n->offset);
    }
    case BURST_BEHIND:
        n->at = SIM_NOISE_AT::INSIDE_REPLY;
        n->command = SIM_CMD_GET_CRC;
        n->nth = draw.Pick(1, ref.crc_requests);
        n->offset = UINT32_MAX; // past the frame's end: right behind it
        n->bytes = draw.Banner(3, 300);
        return CAMPAIGN_Format("burst of %zu behind CRC reply %u", n->bytes.size(), n->nth);
    default: // ERASE_68
        plan->erase_68_at = draw.Pick(0, 100) / 100.0;
        return CAMPAIGN_Format("68 %.0f%% into the erase", plan->erase_68_at * 100);
    }
}

// The handheld's faults; a reset inside a block with a banner that may open
// or close with the acknowledge byte.
std::string DrawFault(KIND k, CAMPAIGN_DRAW& draw, const REFERENCE& ref, PLAN* plan, SIM_NOISE* n) {
    SIM_FAULTS& f = plan->faults;
    const auto blocks = static_cast<uint32_t>(ref.blocks.size());
    switch (k) {
    case RESET: {
        f.reset_in_block = draw.Pick(1, blocks);
        const auto size = static_cast<uint32_t>(ref.blocks[f.reset_in_block - 1].data.size());
        f.reset_after_bytes = draw.Pick(7, size + 9);
        n->bytes = draw.Banner(3, 300);
        const uint32_t end = draw.AckAtAnEnd(&n->bytes);
        return CAMPAIGN_Format("reset in block %u after %u bytes, banner of %zu%s",
                               f.reset_in_block, f.reset_after_bytes, n->bytes.size(),
                               end == 1   ? " from 90"
                               : end == 2 ? " to 90"
                                          : "");
    }
    case LOST_ACK:
        return draw.LostAck(ref.acks, &f);
    case NAK:
        return draw.Nak(blocks, &f);
    case VANISH:
        return draw.Vanish(blocks, &f);
    default: // WRONG_CRC
        return draw.WrongCrc(&f);
    }
}

// A kind's draws, and what it may cost over the clean twin: noise the wait
// for the answer it broke and a rerun of that job, a fault any wait.
std::string DrawKind(KIND k, CAMPAIGN_DRAW& draw, const REFERENCE& ref, PLAN* plan, SIM_NOISE* n) {
    if (k == NONE) {
        return KIND_NAMES[k];
    }
    if (!IsNoise(k)) {
        plan->allowance_s += CLEAR_WAIT_S + CRC_WAIT_S + EraseS(*plan) + CrcS(*plan, ref) + RERUN_S;
        return DrawFault(k, draw, ref, plan, n);
    }
    const std::string text = DrawNoise(k, draw, ref, plan, n);
    const uint8_t command = k == ERASE_68 ? SIM_CMD_CLEAR
                            : k == POWER_UP || k == POLL_BANNER || k == INSIDE_POLL
                                ? SIM_CMD_IDENTIFY
                                : n->command;
    plan->allowance_s += NoiseAllowance(command, *plan, ref);
    return text;
}

PLAN Draw(std::mt19937& rng, const REFERENCE& ref) {
    CAMPAIGN_DRAW draw(rng);
    PLAN plan;
    plan.kinds = draw.Kinds(10, NONE, Fits);
    plan.flow = FlowOf(plan.kinds);
    const std::string line = DrawLine(draw, ref, &plan);
    plan.faults.silent_after_start = draw.Pick(0, 3) != 0;
    for (KIND k : plan.kinds) {
        SIM_NOISE n;
        const std::string text = DrawKind(k, draw, ref, &plan, &n);
        if (!n.bytes.empty()) {
            plan.faults.noise.push_back(n);
        }
        plan.text += (plan.text.empty() ? "" : ", ") + text;
    }
    if (plan.flow == AT_POWER_UP) {
        plan.text += CAMPAIGN_Format(", on after %u ms", plan.power_on_ms);
    } else if (plan.flow == WHILE_POLLING) {
        plan.start_delay_ms = draw.Pick(0, 1000);
        plan.text += CAMPAIGN_Format(", Start %u ms after it", plan.start_delay_ms);
    }
    plan.text += "; " + line;
    plan.text += plan.line.adapter_latency ? ", adapter" : "";
    plan.text += plan.line.slow_link ? ", slow link" : "";
    plan.text += plan.faults.silent_after_start ? ", leaves loader" : "";
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
    CAMPAIGN_TakeImage(APP_Image, ref);
    const PLAN clean;
    if (!Execute(clean, false, TWIN_LIMIT_S).success) {
        return false;
    }
    const SIM_CORE& core = VLINE_Core();
    CAMPAIGN_TakeUpdate(core, ref);
    for (const SIM_REQUEST& r : core.log) {
        ref->acks += r.acknowledged ? 1 : 0;
        ref->crc_requests += r.command == SIM_CMD_GET_CRC ? 1 : 0;
    }
    const SIM_CONFIG& target = core.config;
    ref->identify_reply = static_cast<uint32_t>(9 + 23 + target.text1.size() + target.text2.size());
    return !ref->blocks.empty();
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
    std::string text = CAMPAIGN_Format(
        "\n    line: %u writes, %u reads cut short, %llu bytes back, %u "
        "polls answered, %u losses; ",
        c.writes, c.reads_short, static_cast<unsigned long long>(c.bytes_back), c.found, c.lost);
    text +=
        CAMPAIGN_Format("handheld: %u requests, %u bad frames, %u junk bytes, %u noise events, %u "
                        "resets, %u acks dropped, %u naks, last fault at %.3f s;",
                        s.requests, s.bad_frames, s.junk_bytes, s.noise_events, s.resets,
                        s.acks_dropped, s.naks, at(s.last_fault_us));
    text += CAMPAIGN_Format(
        "\n    update: %d, stopped at %s, %s, last block %08X %s; last requests:", outcome.result,
        StepName(outcome.step), outcome.made_valid ? "made valid" : "nothing made valid",
        outcome.last_block, outcome.last_block_acknowledged ? "acknowledged" : "not acknowledged");
    const size_t from = core.log.size() > 8 ? core.log.size() - 8 : 0;
    for (size_t i = from; i < core.log.size(); ++i) {
        const SIM_REQUEST& r = core.log[i];
        text += CAMPAIGN_Format(" %s@%.3f%s", RequestName(r.command), at(r.time_us),
                                r.acknowledged ? "+" : "");
    }
    return text;
}

// The first rule the run broke, with what the line did then; empty when it
// kept them all. The run may cost its faults' allowance and the slack over
// its clean twin.
std::string Verdict(const PLAN& plan, const RUN& twin, const RUN& run, double slack_s,
                    const REFERENCE& ref) {
    const SIM_CORE& core = VLINE_Core();
    const double bound_s = twin.update_s + plan.allowance_s + slack_s;
    std::string fault;
    if (!twin.success) {
        fault = "its clean twin failed";
    } else if (!run.found) {
        fault = "no target after a fresh start";
    } else if (!run.ended) {
        fault = CAMPAIGN_Format("no end within %.0f s", bound_s + CUT_MARGIN_S);
    }
    if (fault.empty()) {
        fault = CAMPAIGN_CheckMadeValid(core, ref);
    }
    if (fault.empty() && run.success) {
        fault = CAMPAIGN_CheckSuccess(core, ref);
    }
    const bool noise_only = std::all_of(plan.kinds.begin(), plan.kinds.end(), IsNoise);
    if (fault.empty() && noise_only && !run.success) {
        fault = "failed with only noise";
    }
    if (fault.empty() && run.update_s > bound_s) {
        fault = CAMPAIGN_Format("%.2f s over its clean twin, its faults may cost %.2f s",
                                run.update_s - twin.update_s, plan.allowance_s + slack_s);
    }
    return fault.empty() ? fault : fault + LineReport(core, run.start_us);
}

// The table's rows after the kinds': by pace, through the adapter, over the slow link.
const char* const PACE_NAMES[] = {"at once", "real pace", "adapter", "slow link"};

std::vector<size_t> Rows(const PLAN& plan) {
    std::vector<size_t> rows(plan.kinds.begin(), plan.kinds.end());
    rows.push_back(KIND_COUNT + (plan.line.target.pace.erase_ms != 0 ? 1 : 0));
    if (plan.line.adapter_latency) {
        rows.push_back(KIND_COUNT + 2);
    }
    if (plan.line.slow_link) {
        rows.push_back(KIND_COUNT + 3);
    }
    return rows;
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
    std::vector<std::string> names(KIND_NAMES, KIND_NAMES + KIND_COUNT);
    names.insert(names.end(), std::begin(PACE_NAMES), std::end(PACE_NAMES));
    CAMPAIGN_TABLE table(names, {"over s", 8, 2}, false);
    for (uint32_t number = 1; number <= g_runs; ++number) {
        const PLAN plan = Draw(rng, ref_);
        if (g_only != 0 && number != g_only) {
            continue; // drawn all the same, so the one run replays as it ran
        }
        std::printf("run %3u: %s\n", number, plan.text.c_str());
        const RUN twin = Twin(plan);
        const double slack_s = plan.line.slow_link ? SLOW_TWIN_SLACK_S : TWIN_SLACK_S;
        const double bound_s = twin.update_s + plan.allowance_s + slack_s;
        const RUN run = Execute(plan, true, bound_s + CUT_MARGIN_S);
        const std::string fault = Verdict(plan, twin, run, slack_s, ref_);
        CAMPAIGN_RESULT result;
        result.success = run.success;
        result.s = run.update_s;
        result.past_s = run.past_s;
        result.extra_s = run.update_s - twin.update_s;
        result.violated = !fault.empty();
        std::printf(
            "    -> %-7s in %7.2f s, %6.2f s past the last fault, %+7.2f s over clean%s%s\n",
            run.success ? "success" : "failed", run.update_s, run.past_s, result.extra_s,
            fault.empty() ? "" : "  VIOLATION: ", fault.c_str());
        std::fflush(stdout);
        table.Count(Rows(plan), result);
    }
    const double real_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    table.Print();
    std::printf("(virtual seconds of the update; a run with two faults counts in both rows; "
                "past s: from the last fault (or the start, after it) to the update's end; over s: "
                "beyond its clean twin; seed %u; %.1f s real time, %zu clean twins)\n",
                g_seed, real_s, twins_.size());
    EXPECT_EQ(table.Violations(), 0u);
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
