// Fault-injection campaign: complete updates of the carried firmware through
// the real main dialog against the simulated handheld, each with one or two
// faults drawn at random in kind and position: faults of the line and the
// handheld, and a user who cancels (button, Esc, close box) at any instant,
// often within milliseconds of a job's end, presses Enter or floods the
// window with messages. Every run must end within a bound, either in success
// with the flash equal to the image, the CRCs equal and the success text kept
// until Ok, or in failure without the firmware having been made valid after
// an incomplete program; after a cancel no further job goes out and the
// update returns promptly.
//   campaign_tests.exe [runs] [seed]   (or TW_CAMPAIGN_RUNS, TW_CAMPAIGN_SEED)
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/main_dialog.h"
#include "app/resource.h"
#include "app/display.h"
#include "com/com.h"
#include "image/image.h"
#include "target/job.h"
#include "target/commands.h"
#include "target/handover.h"
#include "target/worker.h"
#include "tests/support/bytes.h"
#include "tests/worker/harness.h"

namespace {

using CLOCK = std::chrono::steady_clock;

uint32_t g_runs = 30;
uint32_t g_seed = 20240611;

// Longest a run may take: a clear whose reply never comes waits 60 s, a CRC
// reply 30 s; nothing may wait longer than that and the retries around it.
constexpr double RUN_BOUND_S = 130;
// From the dispatch of a cancel to the update's return: the job runner leaves
// at its next pass, whatever the worker is doing.
constexpr double CANCEL_BOUND_S = 3;
constexpr uint32_t IMAGE_BLOCKS = 6227;
constexpr uint32_t UPDATE_ACKS = 1 + IMAGE_BLOCKS + 1 + 3 + 1;
constexpr uint32_t FLOOD_MESSAGES = 3000;
// How long the finished dialog stays up before the user presses Ok.
constexpr uint32_t OK_DELAY_MIN_MS = 200;
constexpr uint32_t OK_DELAY_MAX_MS = 700;
constexpr UINT_PTR OK_TIMER = 77;
const char SUCCESS_TEXT[] = "Target updated successfully";

enum KIND {
    NAK,
    LOST_ACK,
    GARBAGE,
    BAD_CHECKSUM,
    SILENCE,
    VANISH,
    WRONG_CRC,
    NOT_BLANK,
    CANCEL,
    ESCAPE,
    CLOSE_BOX,
    ENTER,
    FLOOD,
    NONE,
    KIND_COUNT
};
const char* const KIND_NAMES[KIND_COUNT] = {
    "nak",       "lost ack", "garbage", "bad checksum", "silence", "vanish", "wrong crc",
    "not blank", "cancel",   "esc",     "close box",    "enter",   "flood",  "no fault"};
// Kinds after which the update must still succeed.
bool Harmless(KIND k) {
    return k == ENTER || k == FLOOD || k == NONE;
}
bool IsCancel(KIND k) {
    return k == CANCEL || k == ESCAPE || k == CLOSE_BOX;
}

// When a user action happens: at a time after Start, or a few microseconds
// after the worker ended a job of the given kind.
struct WHEN {
    uint32_t ms = 0;
    uint8_t after_job = 0; // a job kind; 0: at ms
    uint32_t us = 0;
};

struct PLAN {
    std::vector<KIND> kinds;
    SIM_FAULTS faults;
    uint32_t silence_ms = 0; // > 0: the target falls silent this long after Start
    WHEN user;               // for a cancel, Enter or a flood
    bool with_bar = false;   // the real progress bar (slow under Wine) or none
    uint32_t ok_delay_ms = OK_DELAY_MIN_MS;
    std::string text;
};

PLAN Draw(std::mt19937& rng) {
    auto pick = [&rng](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    PLAN plan;
    if (pick(1, 100) <= 12) {
        plan.kinds.push_back(NONE);
    }
    const uint32_t count = plan.kinds.empty() ? pick(1, 2) : 0;
    while (plan.kinds.size() < count) {
        const KIND k = static_cast<KIND>(pick(0, NONE - 1));
        // One user action a run.
        const bool user = IsCancel(k) || k == ENTER || k == FLOOD;
        const bool has_user = std::any_of(plan.kinds.begin(), plan.kinds.end(), [](KIND x) {
            return IsCancel(x) || x == ENTER || x == FLOOD;
        });
        if (std::find(plan.kinds.begin(), plan.kinds.end(), k) == plan.kinds.end() &&
            !(user && has_user)) {
            plan.kinds.push_back(k);
        }
    }
    SIM_FAULTS& f = plan.faults;
    // A real handheld leaves its boot loader once it starts the application.
    f.silent_after_start = pick(0, 3) != 0;
    plan.with_bar = pick(1, 100) <= 5;
    plan.ok_delay_ms = pick(OK_DELAY_MIN_MS, OK_DELAY_MAX_MS);
    char text[96];
    for (KIND k : plan.kinds) {
        text[0] = '\0';
        switch (k) {
        case NAK:
            f.nak_block = pick(1, IMAGE_BLOCKS);
            f.nak_count = pick(1, 2);
            f.nak_frames = pick(1, 3);
            std::snprintf(text, sizeof text, "nak block %u x%u (%u frames)", f.nak_block,
                          f.nak_count, f.nak_frames);
            break;
        case LOST_ACK:
            f.drop_ack = pick(1, UPDATE_ACKS);
            f.drop_ack_count = pick(1, 2);
            std::snprintf(text, sizeof text, "drop ack %u x%u", f.drop_ack, f.drop_ack_count);
            break;
        case GARBAGE: {
            static const uint8_t bytes[] = {0x00, 0xFF, 0x68, 0x16, 0x90};
            f.garbage_reply = pick(1, 6);
            f.garbage_count = pick(1, 8);
            f.garbage_byte = bytes[pick(0, sizeof bytes - 1)];
            std::snprintf(text, sizeof text, "garbage %u x %02X before reply %u", f.garbage_count,
                          f.garbage_byte, f.garbage_reply);
            break;
        }
        case BAD_CHECKSUM:
            f.bad_checksum_reply = pick(1, 6);
            std::snprintf(text, sizeof text, "bad checksum reply %u", f.bad_checksum_reply);
            break;
        case SILENCE:
            plan.silence_ms = pick(1, 3600);
            std::snprintf(text, sizeof text, "silent after %u ms", plan.silence_ms);
            break;
        case VANISH:
            f.vanish_after_blocks = pick(1, IMAGE_BLOCKS);
            f.vanish_ms = pick(20, 2500);
            std::snprintf(text, sizeof text, "vanish after block %u for %u ms",
                          f.vanish_after_blocks, f.vanish_ms);
            break;
        case WRONG_CRC:
            f.wrong_crc = true;
            std::snprintf(text, sizeof text, "wrong crc");
            break;
        case NOT_BLANK:
            f.not_blank = true;
            std::snprintf(text, sizeof text, "not blank");
            break;
        case CANCEL:
        case ESCAPE:
        case CLOSE_BOX:
        case ENTER:
        case FLOOD: {
            static const uint8_t jobs[] = {CMD_CLEAR, CMD_PROGRAM, CMD_MAKE_VALID, CMD_GET_CRC,
                                           CMD_START_APP};
            // Half of them within 3 ms of a job's end, where a cancel and the
            // worker's hand-back meet.
            if (pick(0, 1) == 0) {
                plan.user.after_job = jobs[pick(0, sizeof jobs - 1)];
                plan.user.us = pick(0, 3000);
                std::snprintf(text, sizeof text, "%s %u us after job %u", KIND_NAMES[k],
                              plan.user.us, plan.user.after_job);
            } else {
                plan.user.ms = pick(1, 3600);
                std::snprintf(text, sizeof text, "%s after %u ms", KIND_NAMES[k], plan.user.ms);
            }
            break;
        }
        default:
            std::snprintf(text, sizeof text, "%s", KIND_NAMES[k]);
            break;
        }
        plan.text += plan.text.empty() ? text : std::string(", ") + text;
    }
    if (f.silent_after_start) {
        plan.text += ", leaves loader";
    }
    if (plan.with_bar) {
        plan.text += ", bar";
    }
    return plan;
}

// What the dialog saw of one run; user-interface thread only, but for the
// dialog's handle, which the user's thread reads.
struct SEEN {
    SIM* sim = nullptr;
    const PLAN* plan = nullptr;
    std::atomic<bool> started{false}; // Start pressed; the plan's moments count from here
    int depth = 0;                    // handlers of Start or a connection (an update runs inside)
    bool ended = false;
    bool success = false;   // the success text shown when the update returned
    bool closed = false;    // the user ended the dialog after the update
    bool text_kept = false; // ...and the success text was still shown then
    bool cancelled = false;
    CLOCK::time_point start_at;
    CLOCK::time_point cancel_at;
    CLOCK::time_point end_at;
    uint8_t cancel_job = 0;       // JOB_KIND when the cancel was dispatched
    uint32_t cancel_requests = 0; // requests the handheld had seen by then
    std::atomic<HWND> dialog{nullptr};
};
SEEN* g_seen = nullptr;

bool StatusShows(HWND dialog, const char* text) {
    char now[128] = {};
    GetDlgItemTextA(dialog, IDC_STATUS, now, sizeof now);
    const bool shown =
        (GetWindowLongA(GetDlgItem(dialog, IDC_STATUS), GWL_STYLE) & WS_VISIBLE) != 0;
    return shown && std::strcmp(now, text) == 0;
}

// The program's own dialog procedure, watched: it starts the update as a user
// presses Start and presses Ok a moment after the update has ended.
INT_PTR CALLBACK WatchedDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    SEEN& seen = *g_seen;
    switch (message) {
    case WM_INITDIALOG: {
        const INT_PTR result = MainDlgProc(hwnd, message, wparam, lparam);
        if (!seen.plan->with_bar) {
            // Under Wine each cross-thread progress call costs about a
            // millisecond; most runs do without the bar.
            DestroyWindow(GetDlgItem(hwnd, IDC_PROGRESS));
        }
        seen.dialog.store(hwnd);
        return result;
    }
    case WM_TIMER:
        if (wparam == OK_TIMER) {
            KillTimer(hwnd, OK_TIMER);
            PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_CANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDC_CANCEL)));
            return TRUE;
        }
        break;
    case WM_COMMAND:
    case WM_CLOSE: {
        const UINT id = message == WM_CLOSE ? IDCANCEL : LOWORD(wparam);
        if ((id == IDC_CANCEL || id == IDCANCEL) && seen.depth > 0 && !seen.ended &&
            !seen.cancelled) {
            seen.cancelled = true;
            seen.cancel_at = CLOCK::now();
            seen.cancel_job = JOB_KIND.load();
            seen.cancel_requests = SIM_GetStats(seen.sim).requests;
        }
        // Ok, or Esc or the close box, once the update has ended: what the
        // status line shows until then.
        if ((id == IDC_CANCEL || id == IDCANCEL) && seen.ended && !seen.closed) {
            seen.closed = true;
            seen.text_kept = StatusShows(hwnd, SUCCESS_TEXT);
        }
        if (message == WM_COMMAND && (id == IDC_START || id == ID_NOTIFY_CONNECTED)) {
            // Start is pressed once the dialog shows the target, so that every
            // run is a whole update from the first moment.
            if (id == ID_NOTIFY_CONNECTED && !seen.started.load()) {
                // The faults count from here, as from the update's first request.
                SIM_SetFaults(seen.sim, seen.plan->faults);
                seen.start_at = CLOCK::now();
                seen.started.store(true);
                PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDC_START)));
            }
            ++seen.depth;
            const INT_PTR result = MainDlgProc(hwnd, message, wparam, lparam);
            --seen.depth;
            char button[16] = {};
            GetDlgItemTextA(hwnd, IDC_CANCEL, button, sizeof button);
            if (seen.depth == 0 && !seen.ended && std::strcmp(button, "Ok") == 0) {
                seen.ended = true;
                seen.end_at = CLOCK::now();
                seen.success = StatusShows(hwnd, SUCCESS_TEXT);
                if (IsWindow(hwnd)) {
                    SetTimer(hwnd, OK_TIMER, seen.plan->ok_delay_ms, nullptr);
                }
            }
            return result;
        }
        break;
    }
    default:
        break;
    }
    return MainDlgProc(hwnd, message, wparam, lparam);
}

// The user and the line, acting from a thread of their own at the plan's
// moments until the run is over.
class Timed {
  public:
    Timed(SIM* sim, const PLAN& plan) : sim_(sim), plan_(plan) {
        thread_ = std::thread([this] { Loop(); });
    }
    ~Timed() {
        over_.store(true);
        thread_.join();
    }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;

  private:
    void Act(KIND kind) {
        const HWND dialog = g_seen->dialog.load();
        const HWND button = GetDlgItem(dialog, IDC_CANCEL);
        switch (kind) {
        case CANCEL:
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_CANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(button));
            break;
        case ESCAPE: // to the focused Cancel button, as the keyboard delivers it
            PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            PostMessageA(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
            break;
        case CLOSE_BOX:
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case ENTER: // twice, as a technician does who wants to be sure
            for (int i = 0; i < 2; ++i) {
                PostMessageA(button, WM_KEYDOWN, VK_RETURN, 0x001C0001);
                PostMessageA(button, WM_KEYUP, VK_RETURN, 0xC01C0001);
            }
            break;
        case FLOOD:
            for (uint32_t i = 0; i < FLOOD_MESSAGES; ++i) {
                PostMessageA(dialog, i % 2 ? WM_NULL : WM_MOUSEMOVE, 0, MAKELPARAM(i % 300, 40));
            }
            break;
        default:
            break;
        }
    }

    // Polls, so that a moment a few microseconds after a job's end is met.
    void Loop() {
        KIND user = NONE;
        for (KIND k : plan_.kinds) {
            user = IsCancel(k) || k == ENTER || k == FLOOD ? k : user;
        }
        const auto opened = CLOCK::now();
        while (!g_seen->started.load() && !over_.load()) {
            if (CLOCK::now() - opened > std::chrono::seconds(30)) {
                PostMessageA(g_seen->dialog.load(), WM_CLOSE, 0, 0); // never saw the target
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto start = CLOCK::now();
        bool silenced = plan_.silence_ms == 0;
        bool acted = user == NONE;
        const auto silence_at = start + std::chrono::milliseconds(plan_.silence_ms);
        auto user_at = start + std::chrono::milliseconds(plan_.user.ms);
        bool job_seen = false;
        bool job_ended = plan_.user.after_job == 0;
        const auto give_up = start + std::chrono::seconds(static_cast<int>(RUN_BOUND_S) + 10);
        bool closed = false;
        while (!over_.load()) {
            const auto now = CLOCK::now();
            if (!closed && now >= give_up) {
                // A run that never ends is reported, not waited for.
                PostMessageA(g_seen->dialog.load(), WM_CLOSE, 0, 0);
                closed = true;
            }
            if (!job_ended) {
                const uint8_t kind = JOB_KIND.load();
                job_seen = job_seen || kind == plan_.user.after_job;
                if (job_seen && kind == JOB_IDLE) {
                    job_ended = true;
                    user_at = now + std::chrono::microseconds(plan_.user.us);
                }
            }
            if (!silenced && now >= silence_at) {
                SIM_FAULTS silent = plan_.faults;
                silent.silent = true;
                SIM_SetFaults(sim_, silent);
                silenced = true;
            }
            if (!acted && job_ended && now >= user_at) {
                Act(user);
                acted = true;
            }
            const bool soon =
                (!acted && (!job_ended || user_at - now < std::chrono::milliseconds(2))) ||
                (!silenced && silence_at - now < std::chrono::milliseconds(2));
            if (soon) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    SIM* sim_;
    const PLAN& plan_;
    std::thread thread_;
    std::atomic<bool> over_{false};
};

struct ROW {
    uint32_t runs = 0;
    uint32_t successes = 0;
    uint32_t failures = 0;
    uint32_t cancels = 0;
    double max_s = 0;
    double max_cancel_s = 0; // from a cancel's dispatch to the update's return
    uint32_t violations = 0;
};

struct REFERENCE {
    std::vector<SIM_REQUEST> blocks; // the program requests of a clean update
    uint32_t first = 0;
    uint32_t last = 0;
    uint16_t crc = 0;
};

// Every block of the image acknowledged, in this run, before the first
// make-valid (after the last clear before it). Empty when that holds.
std::string CheckMakeValid(const SIM_CORE& core, const REFERENCE& ref) {
    const auto& log = core.log;
    size_t valid = log.size();
    for (size_t i = 0; i < log.size() && valid == log.size(); ++i) {
        valid = log[i].command == SIM_CMD_MAKE_VALID ? i : valid;
    }
    if (valid == log.size()) {
        return "";
    }
    size_t from = 0;
    for (size_t i = 0; i < valid; ++i) {
        from = log[i].command == SIM_CMD_CLEAR ? i : from;
    }
    std::map<uint32_t, const std::vector<uint8_t>*> acked;
    for (size_t i = from; i < valid; ++i) {
        if (log[i].command == SIM_CMD_PROGRAM && log[i].acknowledged && log[i].data.size() >= 4) {
            acked[GetLe32(log[i].data)] = &log[i].data;
        }
    }
    for (const SIM_REQUEST& block : ref.blocks) {
        const auto it = acked.find(GetLe32(block.data));
        if (it == acked.end() || *it->second != block.data) {
            char text[96];
            std::snprintf(text, sizeof text, "made valid with block %08X not acknowledged",
                          GetLe32(block.data));
            return text;
        }
    }
    return "";
}

std::string CheckFlash(const SIM_CORE& core, const REFERENCE& ref) {
    // One lock over the walk (the worker is stopped): the reads then skip the kernel.
    IMAGE_LOCK_SCOPE lock(APP_Image);
    for (uint32_t a = ref.first; a <= ref.last; ++a) {
        const int32_t v = IMAGE_ReadByte(APP_Image, a);
        if (SIM_CoreFlashByte(&core, a) != (v < 0 ? 0xFF : v)) {
            char text[64];
            std::snprintf(text, sizeof text, "flash differs at %08X", a);
            return text;
        }
    }
    return "";
}

void DrainPort() {
    uint8_t scratch[COM_READ_MAX];
    while (COM_Read(scratch, sizeof scratch, 20) > 0) {
    }
}

// A fresh start of the program against a fresh handheld: worker restarted,
// program block and target record empty, nothing left on the line.
SIM* FreshStart() {
    WORKER_Stop();
    DrainPort();
    HARNESS_RestartWorker();
    SIM* sim = HARNESS_StartSim(SIM_CONFIG{});
    if (sim != nullptr && !HARNESS_WaitConnected(10000)) {
        HARNESS_StopSim(sim);
        return nullptr;
    }
    return sim;
}

bool TakeReference(REFERENCE* ref) {
    SIM* sim = FreshStart();
    if (sim == nullptr || UPDATE_Run() != 0) {
        HARNESS_StopSim(sim);
        return false;
    }
    const SIM_CORE core = SIM_Snapshot(sim);
    HARNESS_StopSim(sim);
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_PROGRAM) {
            ref->blocks.push_back(r);
        }
    }
    ref->first = IMAGE_GetFirstAddr(APP_Image);
    const SIM_REQUEST& last = ref->blocks.back();
    ref->last = GetLe32(last.data) + static_cast<uint32_t>(last.data.size()) - 5;
    // The update succeeded, so the target's CRC is the updater's own.
    ref->crc = core.stats.last_crc;
    return ref->blocks.size() == IMAGE_BLOCKS;
}

// After a cancel the line carries only what the job then running sends and
// the worker's polls. Empty when that holds.
std::string CheckAfterCancel(const SIM_CORE& core, const SEEN& seen) {
    for (size_t i = seen.cancel_requests; i < core.log.size(); ++i) {
        const uint8_t command = core.log[i].command;
        if (command != SIM_CMD_IDENTIFY && command != seen.cancel_job) {
            char text[96];
            std::snprintf(text, sizeof text, "command %u sent after a cancel during job %u",
                          command, seen.cancel_job);
            return text;
        }
    }
    const double s = std::chrono::duration<double>(seen.end_at - seen.cancel_at).count();
    return s > CANCEL_BOUND_S ? "update ran on after the cancel" : "";
}

// One run through the program's dialog, from Start to the dialog's end.
void RunDialog(SIM* sim, const PLAN& plan, SEEN* seen) {
    seen->sim = sim;
    seen->plan = &plan;
    g_seen = seen;
    {
        Timed timed(sim, plan);
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                        WatchedDlgProc, 0);
    }
    g_seen = nullptr;
    // The dialog took the worker's notifications; the harness takes them back.
    UI_SetDialogWindow(HARNESS_Window());
}

TEST(Campaign, EveryRunEndsInSuccessOrSafeFailure) {
    ASSERT_TRUE(HARNESS_Setup(PROGRESS_BAR::NONE));
    ASSERT_EQ(APP_LoadImage(), 0);
    APP_Instance = GetModuleHandleA(nullptr);
    APP_PortList[0] = UPDATER_PORT - 1;
    APP_PortCount = 1;
    std::printf("campaign: %u runs, seed %u (replay: campaign_tests.exe %u %u)\n", g_runs, g_seed,
                g_runs, g_seed);
    REFERENCE ref;
    ASSERT_TRUE(TakeReference(&ref));

    std::mt19937 rng(g_seed);
    ROW rows[KIND_COUNT];
    ROW total;
    uint32_t violations = 0;
    for (uint32_t run = 1; run <= g_runs; ++run) {
        const PLAN plan = Draw(rng);
        std::printf("run %3u: %-70s", run, plan.text.c_str());
        std::fflush(stdout);
        SIM* sim = FreshStart();
        ASSERT_NE(sim, nullptr) << "run " << run << ": target not connected";

        SEEN seen;
        RunDialog(sim, plan, &seen);
        // From Start to the update's end.
        const double seconds =
            seen.ended ? std::chrono::duration<double>(seen.end_at - seen.start_at).count() : 0;
        // Whatever the worker still does after a cancel belongs to this run.
        WORKER_Stop();
        const SIM_CORE core = SIM_Snapshot(sim);
        HARNESS_StopSim(sim);

        const bool harmless = std::all_of(plan.kinds.begin(), plan.kinds.end(), Harmless);
        std::string fault = CheckMakeValid(core, ref);
        if (fault.empty() && seen.success) {
            fault = CheckFlash(core, ref);
            // The start-application answer is not waited on: a target that
            // falls silent after the CRC compare still counts as updated.
            if (fault.empty() && (core.stats.last_crc != ref.crc || core.stats.made_valid == 0)) {
                fault = "success without the image made valid and its CRC matching";
            }
            // A user who cancelled during start application ends the dialog
            // himself, over the success shown.
            if (fault.empty() && !seen.cancelled && !seen.text_kept) {
                fault = "success text gone before Ok";
            }
        }
        if (fault.empty() && seen.cancelled) {
            fault = CheckAfterCancel(core, seen);
        }
        if (fault.empty() && harmless && !seen.success) {
            fault = "failed without a fault";
        }
        if (fault.empty() && (!seen.ended || seconds > RUN_BOUND_S)) {
            // Say what the line did, to tell a dead link from a slow one.
            COM_STATUS com;
            COM_GetStatus(&com);
            char text[200];
            std::snprintf(text, sizeof text,
                          "took too long (%s; handheld saw %u requests; serial: writes %u, dropped "
                          "%u, reads cut off %u, let go late %u, without a slot %u)",
                          seen.started.load() ? "started" : "never started", core.stats.requests,
                          com.writes, com.writes_dropped, com.reads_cut_off, com.reads_let_go_late,
                          com.reads_without_slot);
            fault = text;
        }
        const char* outcome = seen.cancelled ? "cancelled" : seen.success ? "success" : "failed";
        std::printf(" -> %-9s in %6.2f s%s%s\n", outcome, seconds,
                    fault.empty() ? "" : "  VIOLATION: ", fault.c_str());
        std::fflush(stdout);
        violations += fault.empty() ? 0 : 1;
        std::vector<ROW*> touched = {&total};
        for (KIND k : plan.kinds) {
            touched.push_back(&rows[k]);
        }
        const double cancel_s =
            seen.cancelled ? std::chrono::duration<double>(seen.end_at - seen.cancel_at).count()
                           : 0;
        for (ROW* row : touched) {
            ++row->runs;
            row->successes += seen.success ? 1 : 0;
            row->cancels += seen.cancelled ? 1 : 0;
            row->failures += !seen.success && !seen.cancelled ? 1 : 0;
            row->max_s = std::max(row->max_s, seconds);
            row->max_cancel_s = std::max(row->max_cancel_s, cancel_s);
            row->violations += fault.empty() ? 0 : 1;
        }
    }

    std::printf("\n%-13s %5s %8s %7s %9s %8s %10s %10s\n", "fault", "runs", "success", "failed",
                "cancelled", "max s", "cancel s", "violations");
    auto print = [](const char* name, const ROW& r) {
        std::printf("%-13s %5u %8u %7u %9u %8.2f %10.3f %10u\n", name, r.runs, r.successes,
                    r.failures, r.cancels, r.max_s, r.max_cancel_s, r.violations);
    };
    for (int k = 0; k < KIND_COUNT; ++k) {
        print(KIND_NAMES[k], rows[k]);
    }
    print("all runs", total);
    std::printf("(a run with two faults counts in both rows; cancel s: longest from a cancel's "
                "dispatch to the update's return; seed %u)\n",
                g_seed);
    EXPECT_EQ(violations, 0u);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (const char* env = std::getenv("TW_CAMPAIGN_RUNS")) {
        g_runs = static_cast<uint32_t>(std::strtoul(env, nullptr, 10));
    }
    if (const char* env = std::getenv("TW_CAMPAIGN_SEED")) {
        g_seed = static_cast<uint32_t>(std::strtoul(env, nullptr, 10));
    }
    if (argc > 1) {
        g_runs = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    }
    if (argc > 2) {
        g_seed = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    }
    return RUN_ALL_TESTS();
}
