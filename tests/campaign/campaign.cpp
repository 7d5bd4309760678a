// Fault-injection campaign: complete updates of the carried firmware against
// the simulated handheld, each with one or two faults drawn at random in kind
// and position. Every run must end within a bound, either in success with the
// flash equal to the image and the CRCs equal, or in failure without the
// firmware having been made valid after an incomplete program.
//   campaign_tests.exe [runs] [seed]   (or TW_CAMPAIGN_RUNS, TW_CAMPAIGN_SEED)
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "com/com.h"
#include "image/image.h"
#include "target/job.h"
#include "target/worker.h"
#include "tests/worker/harness.h"

namespace {

uint32_t g_runs = 50;
uint32_t g_seed = 20240611;

// Longest a run may take: a clear whose reply never comes waits 60 s, a CRC
// reply 30 s; nothing may wait longer than that and the retries around it.
constexpr double RUN_BOUND_S = 130;
constexpr uint32_t IMAGE_BLOCKS = 6227;
constexpr uint32_t UPDATE_ACKS = 1 + IMAGE_BLOCKS + 1 + 3 + 1;

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
    KIND_COUNT
};
const char* const KIND_NAMES[KIND_COUNT] = {"nak",          "lost ack",  "garbage",
                                            "bad checksum", "silence",   "vanish",
                                            "wrong crc",    "not blank", "cancel"};

struct PLAN {
    std::vector<KIND> kinds;
    SIM_FAULTS faults;
    uint32_t silence_ms = 0; // > 0: the target falls silent this long after Start
    uint32_t cancel_ms = 0;  // > 0: the user cancels this long after Start
    std::string text;
};

PLAN Draw(std::mt19937& rng) {
    auto pick = [&rng](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    PLAN plan;
    const uint32_t count = pick(1, 2);
    while (plan.kinds.size() < count) {
        const KIND k = static_cast<KIND>(pick(0, KIND_COUNT - 1));
        if (std::find(plan.kinds.begin(), plan.kinds.end(), k) == plan.kinds.end()) {
            plan.kinds.push_back(k);
        }
    }
    SIM_FAULTS& f = plan.faults;
    char text[96];
    for (KIND k : plan.kinds) {
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
            plan.cancel_ms = pick(1, 3600);
            std::snprintf(text, sizeof text, "cancel after %u ms", plan.cancel_ms);
            break;
        default:
            break;
        }
        plan.text += plan.text.empty() ? text : std::string(", ") + text;
    }
    return plan;
}

// Acts at given delays after the start of a run, from a thread of its own,
// until the run is over.
class Timed {
  public:
    Timed(SIM* sim, const PLAN& plan) : sim_(sim), plan_(plan) {
        thread_ = std::thread([this] { Loop(); });
    }
    ~Timed() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            over_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;

  private:
    void Loop() {
        struct ACT {
            uint32_t ms;
            bool cancel;
        };
        std::vector<ACT> acts;
        if (plan_.silence_ms != 0) {
            acts.push_back({plan_.silence_ms, false});
        }
        if (plan_.cancel_ms != 0) {
            acts.push_back({plan_.cancel_ms, true});
        }
        std::sort(acts.begin(), acts.end(), [](const ACT& a, const ACT& b) { return a.ms < b.ms; });
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> guard(lock_);
        for (const ACT& act : acts) {
            if (wake_.wait_until(guard, start + std::chrono::milliseconds(act.ms),
                                 [this] { return over_; })) {
                return;
            }
            if (act.cancel) {
                WORKER_RequestCancel(); // as the dialog's cancel hook does
            } else {
                SIM_FAULTS silent = plan_.faults;
                silent.silent = true;
                SIM_SetFaults(sim_, silent);
            }
        }
    }

    SIM* sim_;
    const PLAN& plan_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool over_ = false;
};

struct ROW {
    uint32_t runs = 0;
    uint32_t successes = 0;
    std::map<int32_t, uint32_t> failures; // by UPDATE_Run's result
    double max_s = 0;
    uint32_t violations = 0;
};

struct REFERENCE {
    std::vector<SIM_REQUEST> blocks; // the program requests of a clean update
    uint32_t first = 0;
    uint32_t last = 0;
    uint16_t crc = 0;
};

uint32_t Base(const std::vector<uint8_t>& data) {
    return data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
}

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
            acked[Base(log[i].data)] = &log[i].data;
        }
    }
    for (const SIM_REQUEST& block : ref.blocks) {
        const auto it = acked.find(Base(block.data));
        if (it == acked.end() || *it->second != block.data) {
            char text[96];
            std::snprintf(text, sizeof text, "made valid with block %08X not acknowledged",
                          Base(block.data));
            return text;
        }
    }
    return "";
}

std::string CheckFlash(const SIM_CORE& core, const REFERENCE& ref) {
    // One lock over the walk (the worker is stopped): the reads then skip the kernel.
    IMAGE_Lock(APP_Image);
    struct Unlock {
        ~Unlock() { IMAGE_Unlock(APP_Image); }
    } unlock;
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
    ref->last = Base(last.data) + static_cast<uint32_t>(last.data.size()) - 5;
    // The update succeeded, so the target's CRC is the updater's own.
    ref->crc = core.stats.last_crc;
    return ref->blocks.size() == IMAGE_BLOCKS;
}

TEST(Campaign, EveryRunEndsInSuccessOrSafeFailure) {
    ASSERT_TRUE(HARNESS_Setup(PROGRESS_BAR::NONE));
    ASSERT_EQ(APP_LoadImage(), 0);
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
        SIM* sim = FreshStart();
        ASSERT_NE(sim, nullptr) << "run " << run << ": target not connected";
        SIM_SetFaults(sim, plan.faults);

        const auto start = std::chrono::steady_clock::now();
        int32_t result;
        {
            Timed timed(sim, plan);
            result = UPDATE_Run();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Whatever the worker still does after a cancel belongs to this run.
        WORKER_Stop();
        const SIM_CORE core = SIM_Snapshot(sim);
        HARNESS_StopSim(sim);

        std::string fault = CheckMakeValid(core, ref);
        if (fault.empty() && result == 0) {
            fault = CheckFlash(core, ref);
            // The start-application answer is not waited on: a target that
            // falls silent after the CRC compare still counts as updated.
            if (fault.empty() && (core.stats.last_crc != ref.crc || core.stats.made_valid == 0)) {
                fault = "success without the image made valid and its CRC matching";
            }
        }
        if (fault.empty() && seconds > RUN_BOUND_S) {
            fault = "took too long";
        }
        std::printf("run %3u: %-62s -> %d in %6.2f s%s%s\n", run, plan.text.c_str(), result,
                    seconds, fault.empty() ? "" : "  VIOLATION: ", fault.c_str());
        std::fflush(stdout);
        violations += fault.empty() ? 0 : 1;
        std::vector<ROW*> touched = {&total};
        for (KIND k : plan.kinds) {
            touched.push_back(&rows[k]);
        }
        for (ROW* row : touched) {
            ++row->runs;
            row->successes += result == 0 ? 1 : 0;
            row->failures[result] += result == 0 ? 0 : 1;
            row->max_s = std::max(row->max_s, seconds);
            row->violations += fault.empty() ? 0 : 1;
        }
    }

    std::printf("\n%-13s %5s %8s %7s %7s %7s %7s %8s %10s\n", "fault", "runs", "success", "fail 1",
                "fail 2", "fail 3", "other", "max s", "violations");
    auto print = [](const char* name, ROW& r) {
        uint32_t other = 0;
        for (const auto& f : r.failures) {
            other += f.first < 1 || f.first > 3 ? f.second : 0;
        }
        std::printf("%-13s %5u %8u %7u %7u %7u %7u %8.2f %10u\n", name, r.runs, r.successes,
                    r.failures[1], r.failures[2], r.failures[3], other, r.max_s, r.violations);
    };
    for (int k = 0; k < KIND_COUNT; ++k) {
        print(KIND_NAMES[k], rows[k]);
    }
    print("all runs", total);
    std::printf("(a run with two faults counts in both rows; seed %u)\n", g_seed);
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
