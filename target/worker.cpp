// The worker thread: the only code that talks to the target. With no job it
// polls with identify requests; a job stored in JOB_KIND runs once and ends by
// storing its results and then 0 into JOB_KIND.
#include "target/worker.h"

#include <cstring>

#include "com/com.h"
#include "target/display.h"
#include "target/frame.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/worker_thread.h"

std::atomic<uint8_t> JOB_KIND{0};
std::atomic<uint8_t> JOB_STATUS{0};
std::atomic<uint32_t> JOB_ErrorAddress{0};
std::atomic<uint32_t> JOB_ErrorValue{0};
std::atomic<IMAGE*> JOB_Image{nullptr};
std::atomic<uint32_t> WORKER_StopRequest{0};
std::atomic<uint32_t> WORKER_CancelRequest{0};
std::atomic<uint32_t> JOB_Connection{0};

namespace {

constexpr uint32_t PAYLOAD = FRAME_HEADER_SIZE; // reply buffer offset of the payload
constexpr uint32_t COMMAND = 6;                 // reply buffer offset of the command byte
constexpr uint32_t SLOW_BAUD = 1200;            // what a baud rate of 0 counts as
constexpr uint32_t IDENTIFY_FIXED_SIZE = 15;    // status, value, two lengths, range 0
constexpr uint32_t IDENTIFY_LONG_EXTRA = 8;     // range 1
constexpr uint32_t ERASE_FAIL_SIZE = 8;         // failing address and value found
constexpr uint32_t CRC_REPLY_SIZE = 3;

// Set by WORKER_Start before the thread exists, cleared by the thread as its
// last act: the "stored handle" that WORKER_Stop waits on.
std::atomic<bool> g_running{false};
std::atomic<uint32_t> g_connection_serial{0};
std::atomic<uint32_t> g_cancel_count{0};

uint32_t ReadLE32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void WriteLE32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Results first, then the hand-back: the user-interface thread reads them
// once it sees JOB_KIND at 0.
void EndJob(uint8_t status) {
    JOB_STATUS.store(status, std::memory_order_relaxed);
    JOB_KIND.store(JOB_IDLE, std::memory_order_release);
}

// Copies a status-0 identify payload into the record. Every read stays inside
// the `length` bytes that arrived; texts longer than their 100-byte field are
// cut to it. False, with the record untouched, when the declared contents run
// past the data.
bool StoreIdentify(const uint8_t* payload, uint32_t length, TARGET_INFO* info) {
    if (length < 6) {
        return false;
    }
    const uint32_t len1 = payload[5];
    if (6 + len1 + 1 > length) {
        return false;
    }
    const uint32_t len2 = payload[6 + len1];
    if (len1 + len2 + IDENTIFY_FIXED_SIZE > length) {
        return false;
    }
    const uint32_t keep1 = len1 < TARGET_TEXT_SIZE ? len1 : TARGET_TEXT_SIZE;
    const uint32_t keep2 = len2 < TARGET_TEXT_SIZE ? len2 : TARGET_TEXT_SIZE;
    info->target_value = ReadLE32(payload + 1);
    info->text1_len = static_cast<uint8_t>(keep1);
    std::memcpy(info->text1, payload + 6, keep1);
    info->text2_len = static_cast<uint8_t>(keep2);
    std::memcpy(info->text2, payload + 7 + len1, keep2);
    const uint8_t* ranges = payload + 7 + len1 + len2;
    info->crc_start[0] = ReadLE32(ranges);
    info->crc_length[0] = ReadLE32(ranges + 4);
    // Range 1 only in the long form; the short form leaves it as it was.
    if (length == len1 + len2 + IDENTIFY_FIXED_SIZE + IDENTIFY_LONG_EXTRA) {
        info->crc_start[1] = ReadLE32(ranges + 8);
        info->crc_length[1] = ReadLE32(ranges + 12);
    }
    return true;
}

// Clear and blank check: acknowledge, then a reply with command code 4 that is
// empty when the flash is blank or names the first byte that is not.
void RunEraseJob(uint8_t command, uint32_t reply_timeout_ms) {
    UI_SetProgressRange(0, 2);
    UI_SetProgress(1);
    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    if (FRAME_Command(0, nullptr, command) != 0) {
        EndJob(JOB_COMM_FAILED);
        return;
    }
    uint32_t length = 0;
    if (FRAME_Receive(reply, reply_timeout_ms, &length) != 0 ||
        reply[COMMAND] != REPLY_BLANK_CHECK) {
        EndJob(JOB_COMM_FAILED);
        return;
    }
    if (length == 0) {
        EndJob(JOB_OK);
        return;
    }
    // Too short for an address and a value: not a reply we can trust.
    if (length < ERASE_FAIL_SIZE) {
        EndJob(JOB_COMM_FAILED);
        return;
    }
    JOB_ErrorAddress.store(ReadLE32(reply + PAYLOAD), std::memory_order_relaxed);
    JOB_ErrorValue.store(ReadLE32(reply + PAYLOAD + 4), std::memory_order_relaxed);
    EndJob(JOB_TARGET_ERROR);
}

void RunAcknowledgedJob(uint8_t command) {
    EndJob(FRAME_Command(0, nullptr, command) == 0 ? JOB_OK : JOB_COMM_FAILED);
}

// A job is meant for the connection that was up when it was stored; if that
// one has been lost since, nothing is sent.
bool JobConnectionHolds() {
    return TARGET_IsConnected() && g_connection_serial.load(std::memory_order_acquire) ==
                                       JOB_Connection.load(std::memory_order_acquire);
}

bool IsJobKind(uint8_t kind) {
    return kind == CMD_CLEAR || kind == CMD_PROGRAM || kind == CMD_MAKE_VALID ||
           kind == CMD_BLANK_CHECK || kind == CMD_GET_CRC || kind == CMD_START_APP;
}

} // namespace

uint32_t TARGET_IdentifyTimeout(uint32_t baud_rate) {
    const uint32_t baud = baud_rate == 0 ? SLOW_BAUD : baud_rate;
    return 1210000 / baud + 40;
}

uint32_t TARGET_GetConnectionSerial() {
    return g_connection_serial.load(std::memory_order_acquire);
}

void TARGET_Identify() {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    const uint32_t timeout_ms = TARGET_IdentifyTimeout(config.baud_rate);

    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    uint32_t length = 0;
    bool answered =
        FRAME_Exchange(0, nullptr, CMD_IDENTIFY, reply, timeout_ms, &length) == 0 && length >= 1;

    // Changes are made on a copy and written back whole.
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    if (answered) {
        const uint8_t status = reply[PAYLOAD];
        if (status == 0) {
            TARGET_INFO next = info;
            answered = StoreIdentify(reply + PAYLOAD, length, &next);
            if (answered) {
                next.reply_command = reply[COMMAND];
                next.status = 0;
                next.status_nonzero = 0;
                if (next.connected != 1) {
                    g_connection_serial.fetch_add(1, std::memory_order_acq_rel);
                }
                next.connected = 1;
                TARGET_WriteInfo(&next);
            }
        } else {
            info.reply_command = reply[COMMAND];
            info.status = status;
            info.status_nonzero = 1;
            TARGET_WriteInfo(&info);
        }
    }
    if (answered) {
        UI_PostCommand(ID_NOTIFY_CONNECTED);
    } else if (info.connected == 1) {
        info.connected = 0;
        info.last_crc = -1;
        TARGET_WriteInfo(&info);
        UI_PostCommand(ID_NOTIFY_DISCONNECTED);
    }
    WORKER_Sleep(1);
    UI_PostCommand(ID_NOTIFY_TICK);
}

void TARGET_Clear() {
    TARGET_SetLastCRC(-1);
    RunEraseJob(CMD_CLEAR, CLEAR_REPLY_TIMEOUT_MS);
}

void TARGET_BlankCheck() {
    RunEraseJob(CMD_BLANK_CHECK, BLANK_CHECK_REPLY_TIMEOUT_MS);
}

void TARGET_GetCRC() {
    TARGET_SetLastCRC(-1);
    UI_SetProgressRange(0, 2);
    UI_SetProgress(1);
    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    uint32_t length = 0;
    if (FRAME_Command(0, nullptr, CMD_GET_CRC) != 0 ||
        FRAME_Receive(reply, GET_CRC_REPLY_TIMEOUT_MS, &length) != 0) {
        EndJob(JOB_COMM_FAILED);
        return;
    }
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    for (int range = 0; range < 2; ++range) {
        if (range == 1 && info.crc_length[1] == 0) {
            break;
        }
        uint8_t request[8];
        WriteLE32(request, info.crc_start[range]);
        WriteLE32(request + 4, info.crc_length[range]);
        if (FRAME_Command(sizeof request, request, CMD_GET_CRC) != 0 ||
            FRAME_Receive(reply, GET_CRC_REPLY_TIMEOUT_MS, &length) != 0) {
            EndJob(JOB_COMM_FAILED);
            return;
        }
    }
    // The answer to the last range carries the CRC over all ranges sent.
    if (reply[COMMAND] != REPLY_CRC || length < CRC_REPLY_SIZE) {
        EndJob(JOB_COMM_FAILED);
        return;
    }
    TARGET_SetLastCRC(reply[PAYLOAD + 1] | reply[PAYLOAD + 2] << 8);
    EndJob(JOB_OK);
}

unsigned long WORKER_Thread(void*) {
    TARGET_SetLastCRC(-1);
    while (WORKER_StopRequest.load(std::memory_order_acquire) == 0) {
        const uint8_t kind = JOB_KIND.load(std::memory_order_acquire);
        if (IsJobKind(kind) && !JobConnectionHolds()) {
            EndJob(JOB_COMM_FAILED);
            continue;
        }
        switch (kind) {
        case JOB_IDLE:
            TARGET_Identify();
            break;
        case CMD_CLEAR:
            TARGET_Clear();
            break;
        case CMD_PROGRAM:
            TARGET_Program();
            break;
        case CMD_MAKE_VALID:
            RunAcknowledgedJob(CMD_MAKE_VALID);
            break;
        case CMD_BLANK_CHECK:
            TARGET_BlankCheck();
            break;
        case CMD_GET_CRC:
            TARGET_GetCRC();
            break;
        case CMD_START_APP:
            RunAcknowledgedJob(CMD_START_APP);
            break;
        default:
            // Never stored by the job runner; do not spin on it.
            WORKER_Sleep(1);
            break;
        }
        // The cancel request is left set here: the job runner clears it
        // before it stores the next job, so a cancel given while that job is
        // being taken up cannot be lost.
    }
    WORKER_StopRequest.store(0, std::memory_order_relaxed);
    g_running.store(false, std::memory_order_release);
    return 0;
}

void WORKER_Start() {
    bool idle = false;
    if (!g_running.compare_exchange_strong(idle, true)) {
        return;
    }
    if (!WORKER_CreateThread()) {
        g_running.store(false);
    }
}

bool WORKER_IsRunning() {
    return g_running.load(std::memory_order_acquire);
}

void WORKER_Stop() {
    const bool was_connected = TARGET_IsConnected();
    WORKER_StopRequest.store(1, std::memory_order_release);
    // The worker may be waiting in a synchronous progress call to this
    // thread: serve those while waiting, or neither side would move.
    while (g_running.load(std::memory_order_acquire)) {
        UI_ServeSentMessages();
        WORKER_Sleep(1);
    }
    WORKER_StopRequest.store(0, std::memory_order_relaxed);
    TARGET_ClearInfo();
    if (was_connected) {
        TARGET_SetLastCRC(-1);
    }
}

void WORKER_RequestCancel() {
    WORKER_CancelRequest.store(1, std::memory_order_release);
    g_cancel_count.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t WORKER_GetCancelCount() {
    return g_cancel_count.load(std::memory_order_acquire);
}
