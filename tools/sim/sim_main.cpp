// tidewell_sim: the simulated handheld boot loader as a program of its own,
// for trying the updater by hand or from a script. See Usage() for options.
#include "tools/sim/sim.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_quit{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_quit.store(true);
    return TRUE;
}

void Usage() {
    std::puts("usage: tidewell_sim --port COMn [options]\n"
              "target:\n"
              "  --status N            identify status byte (0)\n"
              "  --value N             4-byte target value\n"
              "  --text1 TEXT          first identify text\n"
              "  --text2 TEXT          identification text\n"
              "  --range0 START:LEN    CRC range 0\n"
              "  --range1 START:LEN    CRC range 1\n"
              "  --short               short identify reply (range 0 only)\n"
              "  --baud N              pace both directions as a line at N baud, 11 bits a byte\n"
              "pace of the boot loader (each answer waits from its request's last byte; while it\n"
              "erases or runs a CRC it takes requests in and answers them after, in order):\n"
              "  --pace real|none      a real boot loader's (0.2 ms, 3 s erase, 1 us a CRC byte)\n"
              "                        or none (0, the default); the three below, given after\n"
              "                        it, change a part of it\n"
              "  --answer-us N         N us from a request to its first answer\n"
              "  --erase-ms N          clear: N ms from its acknowledge to its reply\n"
              "  --crc-ns-per-byte N   get CRC over a range: N ns a byte from its acknowledge\n"
              "                        to its reply\n"
              "faults (counts are 1-based and start when the program starts):\n"
              "  --silent              log requests, answer nothing\n"
              "  --silent-after-start  answer nothing once start application is acknowledged\n"
              "  --drop-ack N[:COUNT]  leave out the N-th acknowledge (and COUNT-1 after it)\n"
              "  --nak-block N[:COUNT] refuse the N-th program request with error frames\n"
              "  --nak-frames K        error frames sent for one refusal (3)\n"
              "  --nak-trim-end        leave out the end byte of the last error frame\n"
              "  --nak-address A       address to report (default: the block's address)\n"
              "  --nak-value V         value to report (default: the flash word found there)\n"
              "  --garbage N|all[:COUNT[:BYTE]]  garbage bytes before the N-th reply frame\n"
              "  --bad-checksum N|all  wrong checksum in the N-th reply frame\n"
              "  --wrong-crc           CRC replies off by one\n"
              "  --not-blank [A:V]     clear and blank check report address A holding V\n"
              "  --vanish N:MS         after N program requests, gone for MS ms, then reset\n"
              "  --slow MS             wait MS ms before every answer\n"
              "  --reset-in-block N[:K]  reset after K bytes (7 to the whole request, the\n"
              "                        default) of the N-th program request: it is lost and the\n"
              "                        reset noise goes out at once; once\n"
              "line noise (a banner is boot text holding 0x68, 0x90 and 0x16):\n"
              "  --glitch-at-reset B   byte B (0x00 for a break, 0xFF) as the handheld comes out\n"
              "                        of reset: at the start (or as --power-on-after switches\n"
              "                        it on) and after --vanish\n"
              "  --banner-at-reset N   an N-byte boot banner at the same moments\n"
              "  --power-on-after MS   switched off at the start, switched on after MS ms\n"
              "  --banner-at MS:N      an N-byte banner MS ms after the start\n"
              "  --stray-ack N[:B]     byte B (0x00) ahead of the N-th program acknowledge\n"
              "  --stray-reply C:N[:B] byte B (0x00) ahead of the reply to the N-th request C\n"
              "running and results:\n"
              "  --idle-exit MS        end after MS ms without line traffic\n"
              "  --exit-on-start       end after the start-application request\n"
              "  --max-time MS         end after MS ms in any case\n"
              "  --summary FILE        write the summary and request counts to FILE\n"
              "  --flash FILE          write the flash contents as S3 records to FILE\n"
              "  --log FILE            write every request (time, command, data) to FILE");
}

uint32_t Number(const char* text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

// "A:B" into a and b; b keeps its value when there is no colon.
void Pair(const char* text, uint32_t* a, uint32_t* b) {
    *a = Number(text);
    const char* colon = std::strchr(text, ':');
    if (colon != nullptr) {
        *b = Number(colon + 1);
    }
}

bool WriteLog(const SIM_CORE& core, const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    for (const SIM_REQUEST& r : core.log) {
        std::fprintf(file, "%.3f %u %u", r.time_us / 1000.0, r.command,
                     static_cast<unsigned>(r.data.size()));
        for (uint8_t b : r.data) {
            std::fprintf(file, " %02X", b);
        }
        std::fputc('\n', file);
    }
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char** argv) {
    SIM_CONFIG config;
    SIM_FAULTS& f = config.faults;
    const char* port = nullptr;
    const char* summary_path = nullptr;
    const char* flash_path = nullptr;
    const char* log_path = nullptr;
    uint32_t idle_exit_ms = 0;
    uint32_t max_ms = 0;
    uint32_t power_on_ms = 0;
    bool exit_on_start = false;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need = [&]() {
            if (v == nullptr) {
                std::fprintf(stderr, "tidewell_sim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            ++i;
            return v;
        };
        if (a == "--port") {
            port = need();
        } else if (a == "--status") {
            config.status = static_cast<uint8_t>(Number(need()));
        } else if (a == "--value") {
            config.target_value = Number(need());
        } else if (a == "--text1") {
            config.text1 = need();
        } else if (a == "--text2") {
            config.text2 = need();
        } else if (a == "--range0") {
            Pair(need(), &config.crc_start[0], &config.crc_length[0]);
        } else if (a == "--range1") {
            Pair(need(), &config.crc_start[1], &config.crc_length[1]);
        } else if (a == "--short") {
            config.long_form = false;
        } else if (a == "--baud") {
            config.baud_rate = Number(need());
        } else if (a == "--pace") {
            const std::string pace = need();
            if (pace != "real" && pace != "none") {
                std::fprintf(stderr, "tidewell_sim: --pace takes real or none\n");
                return 2;
            }
            config.pace = pace == "real" ? SIM_RealPace() : SIM_PACE();
        } else if (a == "--answer-us") {
            config.pace.answer_us = Number(need());
        } else if (a == "--erase-ms") {
            config.pace.erase_ms = Number(need());
        } else if (a == "--crc-ns-per-byte") {
            config.pace.crc_ns_per_byte = Number(need());
        } else if (a == "--silent") {
            f.silent = true;
        } else if (a == "--silent-after-start") {
            f.silent_after_start = true;
        } else if (a == "--drop-ack") {
            Pair(need(), &f.drop_ack, &f.drop_ack_count);
        } else if (a == "--nak-block") {
            Pair(need(), &f.nak_block, &f.nak_count);
        } else if (a == "--nak-frames") {
            f.nak_frames = Number(need());
        } else if (a == "--nak-trim-end") {
            f.nak_trim_end = true;
        } else if (a == "--nak-address") {
            f.nak_address_set = true;
            f.nak_address = Number(need());
        } else if (a == "--nak-value") {
            f.nak_value_set = true;
            f.nak_value = Number(need());
        } else if (a == "--garbage") {
            const char* text = need();
            f.garbage_every = std::strncmp(text, "all", 3) == 0;
            f.garbage_reply = f.garbage_every ? 0 : Number(text);
            const char* c1 = std::strchr(text, ':');
            if (c1 != nullptr) {
                f.garbage_count = Number(c1 + 1);
                const char* c2 = std::strchr(c1 + 1, ':');
                if (c2 != nullptr) {
                    f.garbage_byte = static_cast<uint8_t>(Number(c2 + 1));
                }
            }
        } else if (a == "--bad-checksum") {
            const char* text = need();
            f.bad_checksum_every = std::strcmp(text, "all") == 0;
            f.bad_checksum_reply = f.bad_checksum_every ? 0 : Number(text);
        } else if (a == "--wrong-crc") {
            f.wrong_crc = true;
        } else if (a == "--not-blank") {
            f.not_blank = true;
            if (v != nullptr && v[0] != '-') {
                Pair(need(), &f.not_blank_address, &f.not_blank_value);
            }
        } else if (a == "--vanish") {
            Pair(need(), &f.vanish_after_blocks, &f.vanish_ms);
        } else if (a == "--slow") {
            f.reply_delay_ms = Number(need());
        } else if (a == "--reset-in-block") {
            f.reset_after_bytes = UINT32_MAX; // cut to the request's length
            Pair(need(), &f.reset_in_block, &f.reset_after_bytes);
        } else if (a == "--glitch-at-reset" || a == "--banner-at-reset") {
            const uint32_t value = Number(need());
            SIM_NOISE n;
            n.bytes = a == "--glitch-at-reset" ? std::vector<uint8_t>{static_cast<uint8_t>(value)}
                                               : SIM_Banner(value, value);
            f.noise.push_back(n);
            if (config.power == SIM_POWER::ON) {
                config.power = SIM_POWER::POWER_UP;
            }
        } else if (a == "--power-on-after") {
            power_on_ms = Number(need());
            config.power = SIM_POWER::OFF;
        } else if (a == "--banner-at") {
            SIM_NOISE n;
            n.at = SIM_NOISE_AT::MOMENT;
            uint32_t length = 0;
            Pair(need(), &n.after_ms, &length);
            n.bytes = SIM_Banner(length, length);
            f.noise.push_back(n);
        } else if (a == "--stray-ack" || a == "--stray-reply") {
            const char* text = need();
            SIM_NOISE n;
            n.at = a == "--stray-ack" ? SIM_NOISE_AT::BEFORE_ACK : SIM_NOISE_AT::BEFORE_REPLY;
            n.command = SIM_CMD_PROGRAM;
            if (n.at == SIM_NOISE_AT::BEFORE_REPLY) {
                n.command = static_cast<uint8_t>(Number(text));
                text = std::strchr(text, ':') != nullptr ? std::strchr(text, ':') + 1 : "1";
            }
            uint32_t byte = 0;
            Pair(text, &n.nth, &byte);
            n.bytes = {static_cast<uint8_t>(byte)};
            f.noise.push_back(n);
        } else if (a == "--idle-exit") {
            idle_exit_ms = Number(need());
        } else if (a == "--exit-on-start") {
            exit_on_start = true;
        } else if (a == "--max-time") {
            max_ms = Number(need());
        } else if (a == "--summary") {
            summary_path = need();
        } else if (a == "--flash") {
            flash_path = need();
        } else if (a == "--log") {
            log_path = need();
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "tidewell_sim: unknown option %s\n", a.c_str());
            Usage();
            return 2;
        }
    }
    if (port == nullptr) {
        Usage();
        return 2;
    }

    SIM* sim = SIM_Create(config);
    if (!SIM_Start(sim, port)) {
        std::fprintf(stderr, "tidewell_sim: cannot open %s (%lu)\n", port, GetLastError());
        SIM_Destroy(sim);
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::printf("tidewell_sim: answering on %s\n", port);
    std::fflush(stdout);

    const DWORD started = GetTickCount();
    bool off = config.power == SIM_POWER::OFF;
    while (!g_quit.load()) {
        Sleep(20);
        if (off && GetTickCount() - started >= power_on_ms) {
            SIM_PowerOn(sim);
            off = false;
        }
        if (idle_exit_ms != 0 && SIM_IdleMicros(sim) / 1000 >= idle_exit_ms) {
            break;
        }
        if (max_ms != 0 && GetTickCount() - started >= max_ms) {
            break;
        }
        if (exit_on_start && SIM_GetStats(sim).started_app > 0) {
            Sleep(100); // let the acknowledge leave
            break;
        }
    }
    SIM_Stop(sim);

    const SIM_CORE core = SIM_Snapshot(sim);
    const std::string summary = SIM_Summary(&core);
    std::fputs(summary.c_str(), stdout);
    int rc = 0;
    if (summary_path != nullptr) {
        FILE* file = std::fopen(summary_path, "w");
        if (file == nullptr || std::fputs(summary.c_str(), file) < 0 || std::fclose(file) != 0) {
            std::fprintf(stderr, "tidewell_sim: cannot write %s\n", summary_path);
            rc = 1;
        }
    }
    if (flash_path != nullptr && !SIM_WriteFlashSrec(&core, flash_path)) {
        std::fprintf(stderr, "tidewell_sim: cannot write %s\n", flash_path);
        rc = 1;
    }
    if (log_path != nullptr && !WriteLog(core, log_path)) {
        std::fprintf(stderr, "tidewell_sim: cannot write %s\n", log_path);
        rc = 1;
    }
    SIM_Destroy(sim);
    return rc;
}
