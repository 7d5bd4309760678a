// The worker's real job functions with the fuzz input as everything the
// target says. Input: job selector (identify, clear, blank check, get CRC),
// a flag byte (start connected, a second CRC range, the baud rate), then the
// line. The job runs again and again until the line is used up. Each run is
// compared with the plain frame model: bytes taken, requests sent, and what
// the job stored, which must come only from replies that held it.
#include "check.h"
#include "frame_model.h"
#include "line.h"
#include "target/frame.h"
#include "target/target_info.h"
#include "target/commands.h"
#include "target/handover.h"
#include "target/worker.h"

#include <cstring>
#include <vector>

namespace {

constexpr int MAX_RUNS = 40;
constexpr uint32_t UNTOUCHED = 0xCAFEBABE;
constexpr int32_t OLD_CRC = 0x4321;
constexpr uint32_t BAUD_RATES[] = {115200, 9600, 0, 1200};

using Frames = std::vector<std::vector<uint8_t>>;

struct Run {
    model::Line* line;
    Frames sent;
    // A request sent with its retries, then the acknowledge read as the model does it.
    int32_t Command(uint8_t length, const uint8_t* data, uint8_t command) {
        int sends = 0;
        int32_t result = model::Command(*line, &sends);
        for (int i = 0; i < sends; ++i) {
            sent.push_back(model::Request(length, data, command));
        }
        return result;
    }
};

void CheckSent(const Frames& expected) {
    FUZZ_CHECK(fuzzline::Writes() == expected, "requests sent: %zu, model %zu",
               fuzzline::Writes().size(), expected.size());
    fuzzline::ClearWrites();
}

bool SameContents(const TARGET_INFO& a, const TARGET_INFO& b) {
    return a.reply_command == b.reply_command && a.status == b.status &&
           a.target_value == b.target_value && a.text1_len == b.text1_len &&
           a.text2_len == b.text2_len && std::memcmp(a.text1, b.text1, sizeof a.text1) == 0 &&
           std::memcmp(a.text2, b.text2, sizeof a.text2) == 0 &&
           std::memcmp(a.crc_start, b.crc_start, sizeof a.crc_start) == 0 &&
           std::memcmp(a.crc_length, b.crc_length, sizeof a.crc_length) == 0 &&
           a.status_nonzero == b.status_nonzero;
}

void Seed(uint8_t flags) {
    TARGET_INFO info = {};
    info.reply_command = 0;
    info.target_value = 0x11223344;
    info.text1_len = 5;
    std::memcpy(info.text1, "first", 5);
    info.text2_len = 7;
    std::memcpy(info.text2, "handset", 7);
    info.crc_start[0] = 0x00010000;
    info.crc_length[0] = 0x00020000;
    info.crc_start[1] = 0x00080000;
    info.crc_length[1] = (flags & 1) != 0 ? 0x100 : 0;
    info.connected = (flags & 2) != 0 ? 1 : 0;
    info.last_crc = OLD_CRC;
    TARGET_WriteInfo(&info);
    fuzzline::SetBaudRate(BAUD_RATES[(flags >> 2) & 3]);
}

void CheckIdentify(model::Line& line) {
    TARGET_INFO before;
    TARGET_ReadInfo(&before);
    fuzzline::ClearPosts();
    TARGET_Identify();
    TARGET_INFO after;
    TARGET_ReadInfo(&after);

    int sends = 0;
    model::Reply reply;
    bool known = false;
    uint32_t length = 0;
    const int32_t exchanged = model::Exchange(line, &sends, &reply, &known, &length);
    CheckSent(Frames(static_cast<size_t>(sends), model::Request(0, nullptr, CMD_IDENTIFY)));
    FUZZ_CHECK(fuzzline::Position() == line.position, "identify took %zu bytes, model %zu",
               fuzzline::Position(), line.position);

    FUZZ_CHECK(after.text1_len <= TARGET_TEXT_SIZE && after.text2_len <= TARGET_TEXT_SIZE,
               "text lengths %u, %u", after.text1_len, after.text2_len);
    const auto& posts = fuzzline::Posts();
    FUZZ_CHECK(!posts.empty() && posts.back() == ID_NOTIFY_TICK, "cycle without its tick");

    if (exchanged != 0) {
        FUZZ_CHECK(SameContents(before, after), "failed exchange changed the record");
        if (before.connected == 1) {
            FUZZ_CHECK(after.connected == 0 && after.last_crc == -1, "loss not recorded");
            FUZZ_CHECK(posts.size() == 2 && posts[0] == ID_NOTIFY_DISCONNECTED,
                       "loss not posted once");
        } else {
            FUZZ_CHECK(after.connected == 0 && after.last_crc == before.last_crc,
                       "silent cycle changed the connection");
            FUZZ_CHECK(posts.size() == 1, "silent cycle posted more than its tick");
        }
        return;
    }

    const uint8_t* header = line.At(reply.header_at);
    const uint8_t* p = line.At(reply.payload_at);
    const uint32_t n = reply.length;
    if (n >= 1 && p[0] != 0) {
        TARGET_INFO want = before;
        want.reply_command = header[6];
        want.status = p[0];
        want.status_nonzero = 1;
        FUZZ_CHECK(SameContents(want, after), "non-zero status changed more than the status");
        FUZZ_CHECK(after.connected == before.connected, "non-zero status changed `connected`");
        FUZZ_CHECK(posts.size() == 2 && posts[0] == ID_NOTIFY_CONNECTED, "answer not posted");
        return;
    }
    bool fits = n >= 7;
    uint32_t len1 = 0;
    uint32_t len2 = 0;
    if (fits) {
        len1 = p[5];
        fits = 7 + len1 <= n;
    }
    if (fits) {
        len2 = p[6 + len1];
        fits = len1 + len2 + 15 <= n;
    }
    if (!fits) {
        // Nothing may be taken from a reply that does not hold its own contents.
        FUZZ_CHECK(
            after.text1_len == before.text1_len && after.text2_len == before.text2_len &&
                std::memcmp(after.text1, before.text1, sizeof after.text1) == 0 &&
                std::memcmp(after.text2, before.text2, sizeof after.text2) == 0 &&
                std::memcmp(after.crc_start, before.crc_start, sizeof after.crc_start) == 0 &&
                std::memcmp(after.crc_length, before.crc_length, sizeof after.crc_length) == 0 &&
                after.target_value == before.target_value,
            "stored a reply of %u bytes whose contents need more", n);
        return;
    }
    const uint32_t keep1 = len1 < 100 ? len1 : 100;
    const uint32_t keep2 = len2 < 100 ? len2 : 100;
    FUZZ_CHECK(after.connected == 1 && after.status == 0 && after.status_nonzero == 0,
               "good reply did not connect");
    FUZZ_CHECK(after.reply_command == header[6], "reply command");
    FUZZ_CHECK(after.target_value == model::LE32(p + 1), "target value");
    FUZZ_CHECK(after.text1_len == keep1 && std::memcmp(after.text1, p + 6, keep1) == 0, "text1");
    FUZZ_CHECK(after.text2_len == keep2 && std::memcmp(after.text2, p + 7 + len1, keep2) == 0,
               "text2");
    const uint8_t* ranges = p + 7 + len1 + len2;
    FUZZ_CHECK(after.crc_start[0] == model::LE32(ranges) &&
                   after.crc_length[0] == model::LE32(ranges + 4),
               "range 0");
    if (n == len1 + len2 + 23) {
        FUZZ_CHECK(after.crc_start[1] == model::LE32(ranges + 8) &&
                       after.crc_length[1] == model::LE32(ranges + 12),
                   "range 1 of the long form");
    } else {
        FUZZ_CHECK(after.crc_start[1] == before.crc_start[1] &&
                       after.crc_length[1] == before.crc_length[1],
                   "short form changed range 1");
    }
    FUZZ_CHECK(after.last_crc == before.last_crc, "identify changed last_crc");
    FUZZ_CHECK(posts.size() == 2 && posts[0] == ID_NOTIFY_CONNECTED, "answer not posted");
}

// Clear and blank check: acknowledge, then a reply with code 4, empty when
// blank, else the failing address and the value found.
void CheckErase(model::Line& line, uint8_t command) {
    TARGET_INFO before;
    TARGET_ReadInfo(&before);
    JOB_STATUS = 0xEE;
    JOB_ErrorAddress = UNTOUCHED;
    JOB_ErrorValue = UNTOUCHED;
    JOB_KIND = command;
    if (command == CMD_CLEAR) {
        TARGET_Clear();
    } else {
        TARGET_BlankCheck();
    }

    Run run{&line, {}};
    uint8_t want = JOB_COMM_FAILED;
    uint32_t address = UNTOUCHED;
    uint32_t value = UNTOUCHED;
    // One attempt: false when the command was taken but no reply to trust came.
    auto attempt = [&] {
        if (run.Command(0, nullptr, command) != 0) {
            return true;
        }
        model::Reply reply = model::Receive(line);
        if (reply.result != 0 || line.At(reply.header_at)[6] != REPLY_ERASE) {
            return false;
        }
        if (reply.length == 0) {
            want = JOB_OK;
        } else if (reply.length >= 8) {
            want = JOB_TARGET_ERROR;
            address = model::LE32(line.At(reply.payload_at));
            value = model::LE32(line.At(reply.payload_at) + 4);
        } else {
            // 1 to 7 bytes cannot hold an address and a value: no result may
            // be read from bytes that never arrived.
            return false;
        }
        return true;
    };
    // A broken reply is asked for once more, after a drain.
    if (!attempt()) {
        model::Drain(line);
        attempt();
    }
    CheckSent(run.sent);
    FUZZ_CHECK(fuzzline::Position() == line.position, "job took %zu bytes, model %zu",
               fuzzline::Position(), line.position);
    FUZZ_CHECK(JOB_KIND == 0, "job not handed back");
    FUZZ_CHECK(JOB_STATUS == want, "status %u, model %u", JOB_STATUS.load(), want);
    FUZZ_CHECK(JOB_ErrorAddress == address && JOB_ErrorValue == value,
               "error address %08X value %08X, model %08X %08X", JOB_ErrorAddress.load(),
               JOB_ErrorValue.load(), address, value);
    const int32_t crc = TARGET_GetLastCRC();
    FUZZ_CHECK(command == CMD_CLEAR ? crc == -1 : crc == before.last_crc, "last_crc %d", crc);
}

void CheckGetCRC(model::Line& line) {
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    JOB_STATUS = 0xEE;
    JOB_KIND = CMD_GET_CRC;
    TARGET_SetLastCRC(OLD_CRC);
    TARGET_GetCRC();

    Run run{&line, {}};
    uint8_t want = JOB_COMM_FAILED;
    int32_t crc = -1;
    // The opening request with its retries, then each range sent once; only
    // the last reply counts, and it must hold the two CRC bytes.
    auto sequence = [&] {
        if (run.Command(0, nullptr, CMD_GET_CRC) != 0) {
            return false;
        }
        model::Reply reply = model::Receive(line);
        if (reply.result != 0) {
            return false;
        }
        for (int range = 0; range < 2; ++range) {
            if (range == 1 && info.crc_length[1] == 0) {
                break;
            }
            uint8_t request[8];
            for (int i = 0; i < 4; ++i) {
                request[i] = static_cast<uint8_t>(info.crc_start[range] >> (8 * i));
                request[4 + i] = static_cast<uint8_t>(info.crc_length[range] >> (8 * i));
            }
            run.sent.push_back(model::Request(sizeof request, request, CMD_GET_CRC));
            bool read = false;
            uint8_t byte = 0;
            if (model::ReadAck(line, &read, &byte) != 0) {
                return false;
            }
            reply = model::Receive(line);
            if (reply.result != 0) {
                return false;
            }
        }
        if (line.At(reply.header_at)[6] != REPLY_CRC || reply.length < 3) {
            return false;
        }
        // With quiet behind it.
        if (model::Drain(line) != 0) {
            return false;
        }
        const uint8_t* p = line.At(reply.payload_at);
        want = JOB_OK;
        crc = p[1] | p[2] << 8;
        return true;
    };
    // After any failure the sequence runs once more from its opening, after a
    // drain, and a second failure drains too.
    if (!sequence()) {
        model::Drain(line);
        if (!sequence()) {
            model::Drain(line);
        }
    }
    CheckSent(run.sent);
    FUZZ_CHECK(fuzzline::Position() == line.position, "job took %zu bytes, model %zu",
               fuzzline::Position(), line.position);
    FUZZ_CHECK(JOB_KIND == 0, "job not handed back");
    FUZZ_CHECK(JOB_STATUS == want, "status %u, model %u", JOB_STATUS.load(), want);
    FUZZ_CHECK(TARGET_GetLastCRC() == crc, "last_crc %d, model %d", TARGET_GetLastCRC(), crc);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t job = data[0] % 4;
    TARGET_ClearInfo();
    Seed(data[1]);
    // Bytes the frame layer held back from the last input belong to it.
    fuzzline::Feed(nullptr, 0);
    FRAME_Drain(1);
    fuzzline::Feed(data + 2, size - 2);
    fuzzline::ClearPosts();
    model::Line line{data + 2, size - 2, 0};
    for (int run = 0; run < MAX_RUNS; ++run) {
        switch (job) {
        case 0:
            CheckIdentify(line);
            break;
        case 1:
            CheckErase(line, CMD_CLEAR);
            break;
        case 2:
            CheckErase(line, CMD_BLANK_CHECK);
            break;
        default:
            CheckGetCRC(line);
            break;
        }
        if (fuzzline::Left() == 0) {
            break;
        }
    }
    return 0;
}
