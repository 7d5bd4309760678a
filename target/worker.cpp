// The worker thread: the only code that talks to the target. With no job it
// polls with identify requests; a job stored in JOB_KIND runs once and ends by
// storing its results and then 0 into JOB_KIND.
#include "target/worker.h"

#include <cstring>

#include "com/com.h"
#include "target/display.h"
#include "target/frame.h"
#include "target/le.h"
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

// Set by WORKER_Start (UI thread) before the thread exists, cleared by the
// worker as its last act; WORKER_Stop and WORKER_IsRunning (UI thread) read it.
std::atomic<bool> g_running{false};
// Worker adds one on each new connection; the UI thread reads it to tie an
// update's jobs to one connection, the worker to check a job's.
std::atomic<uint32_t> g_connection_serial{0};
// UI thread (cancel hook) adds one per cancel; UI thread reads it in the job runner.
std::atomic<uint32_t> g_cancel_count{0};

// Copies a status-0 identify payload into the record. Every read stays inside
// the `length` bytes that arrived; texts longer than their 100-byte field are
// cut to it. False, with the record untouched, when the declared contents run
// past the data.
bool StoreIdentify(const uint8_t* payload, uint32_t length, TARGET_INFO* info) {
    if (length < IDENTIFY_TEXT1_AT) {
        return false;
    }
    const uint32_t len1 = payload[IDENTIFY_TEXT1_LENGTH_AT];
    const uint32_t text2_length_at = IDENTIFY_TEXT1_AT + len1;
    if (text2_length_at + IDENTIFY_TEXT_LENGTH_SIZE > length) {
        return false;
    }
    const uint32_t len2 = payload[text2_length_at];
    const uint32_t text2_at = text2_length_at + IDENTIFY_TEXT_LENGTH_SIZE;
    if (len1 + len2 + IDENTIFY_FIXED_SIZE > length) {
        return false;
    }
    const uint32_t keep1 = len1 < TARGET_TEXT_SIZE ? len1 : TARGET_TEXT_SIZE;
    const uint32_t keep2 = len2 < TARGET_TEXT_SIZE ? len2 : TARGET_TEXT_SIZE;
    info->target_value = LE_Read32(payload + IDENTIFY_VALUE_AT);
    info->text1_len = static_cast<uint8_t>(keep1);
    std::memcpy(info->text1, payload + IDENTIFY_TEXT1_AT, keep1);
    info->text2_len = static_cast<uint8_t>(keep2);
    std::memcpy(info->text2, payload + text2_at, keep2);
    const uint8_t* range0 = payload + text2_at + len2;
    info->crc_start[0] = LE_Read32(range0 + CRC_RANGE_START_AT);
    info->crc_length[0] = LE_Read32(range0 + CRC_RANGE_LENGTH_AT);
    // Range 1 only in the long form; the short form leaves it as it was.
    if (length == len1 + len2 + IDENTIFY_FIXED_SIZE + IDENTIFY_LONG_EXTRA) {
        const uint8_t* range1 = range0 + CRC_RANGE_SIZE;
        info->crc_start[1] = LE_Read32(range1 + CRC_RANGE_START_AT);
        info->crc_length[1] = LE_Read32(range1 + CRC_RANGE_LENGTH_AT);
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
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    uint32_t length = 0;
    if (FRAME_Receive(reply, reply_timeout_ms, &length) != 0 ||
        reply[FRAME_COMMAND_AT] != REPLY_BLANK_CHECK) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    if (length == 0) {
        WORKER_EndJob(JOB_OK);
        return;
    }
    // Too short for an address and a value: not a reply we can trust.
    if (length < ERASE_FAIL_SIZE) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    const uint8_t* payload = reply + FRAME_PAYLOAD_AT;
    JOB_ErrorAddress.store(LE_Read32(payload + ERASE_FAIL_ADDRESS_AT), std::memory_order_relaxed);
    JOB_ErrorValue.store(LE_Read32(payload + ERASE_FAIL_VALUE_AT), std::memory_order_relaxed);
    WORKER_EndJob(JOB_TARGET_ERROR);
}

void RunAcknowledgedJob(uint8_t command) {
    WORKER_EndJob(FRAME_Command(0, nullptr, command) == 0 ? JOB_OK : JOB_COMM_FAILED);
}

// Make valid commits the image, so it goes out only on a line that is quiet
// and in step: a byte where none is due (an acknowledge read one block late,
// say) fails it with nothing sent.
void RunMakeValid() {
    if (FRAME_Drain(TARGET_PortIdentifyTimeout()) != 0) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    RunAcknowledgedJob(CMD_MAKE_VALID);
}

// A job is meant for the connection that was up when it was stored; if that
// one has been lost since, nothing is sent.
bool JobConnectionHolds() {
    return TARGET_IsConnected() && g_connection_serial.load(std::memory_order_acquire) ==
                                       JOB_Connection.load(std::memory_order_acquire);
}

} // namespace

bool WORKER_IsJobKind(uint8_t kind) {
    return kind == CMD_CLEAR || kind == CMD_PROGRAM || kind == CMD_MAKE_VALID ||
           kind == CMD_BLANK_CHECK || kind == CMD_GET_CRC || kind == CMD_START_APP;
}

void WORKER_EndJob(uint8_t status) {
    JOB_STATUS.store(status, std::memory_order_relaxed);
    JOB_KIND.store(JOB_IDLE, std::memory_order_release);
}

uint32_t TARGET_IdentifyTimeout(uint32_t baud_rate) {
    const uint32_t baud = baud_rate == 0 ? IDENTIFY_SLOW_BAUD : baud_rate;
    return IDENTIFY_TIMEOUT_BAUD_MS / baud + IDENTIFY_TIMEOUT_MARGIN_MS;
}

uint32_t TARGET_GetConnectionSerial() {
    return g_connection_serial.load(std::memory_order_acquire);
}

uint32_t TARGET_PortIdentifyTimeout() {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    return TARGET_IdentifyTimeout(config.baud_rate);
}

void TARGET_Identify() {
    const uint32_t timeout_ms = TARGET_PortIdentifyTimeout();

    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    uint32_t length = 0;
    bool answered =
        FRAME_Exchange(0, nullptr, CMD_IDENTIFY, reply, timeout_ms, &length) == 0 && length >= 1;

    // Changes are made on a copy and written back whole.
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    if (answered) {
        const uint8_t status = reply[FRAME_PAYLOAD_AT + IDENTIFY_STATUS_AT];
        if (status == IDENTIFY_STATUS_OK) {
            TARGET_INFO next = info;
            answered = StoreIdentify(reply + FRAME_PAYLOAD_AT, length, &next);
            if (answered) {
                next.reply_command = reply[FRAME_COMMAND_AT];
                next.status = 0;
                next.status_nonzero = 0;
                if (next.connected != 1) {
                    g_connection_serial.fetch_add(1, std::memory_order_acq_rel);
                }
                next.connected = 1;
                TARGET_WriteInfo(&next);
            }
        } else {
            info.reply_command = reply[FRAME_COMMAND_AT];
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
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    for (int range = 0; range < 2; ++range) {
        if (range == 1 && info.crc_length[1] == 0) {
            break;
        }
        uint8_t request[CRC_RANGE_SIZE];
        LE_Write32(request + CRC_RANGE_START_AT, info.crc_start[range]);
        LE_Write32(request + CRC_RANGE_LENGTH_AT, info.crc_length[range]);
        if (FRAME_Command(sizeof request, request, CMD_GET_CRC) != 0 ||
            FRAME_Receive(reply, GET_CRC_REPLY_TIMEOUT_MS, &length) != 0) {
            WORKER_EndJob(JOB_COMM_FAILED);
            return;
        }
    }
    // The answer to the last range carries the CRC over all ranges sent.
    if (reply[FRAME_COMMAND_AT] != REPLY_CRC || length < CRC_REPLY_SIZE) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    TARGET_SetLastCRC(LE_Read16(reply + FRAME_PAYLOAD_AT + CRC_REPLY_VALUE_AT));
    WORKER_EndJob(JOB_OK);
}

unsigned long WORKER_Thread(void*) {
    TARGET_SetLastCRC(-1);
    while (WORKER_StopRequest.load(std::memory_order_acquire) == 0) {
        const uint8_t kind = JOB_KIND.load(std::memory_order_acquire);
        if (WORKER_IsJobKind(kind) && !JobConnectionHolds()) {
            WORKER_EndJob(JOB_COMM_FAILED);
            continue;
        }
        // A job starts on a quiet line: what noise or a late reply left there
        // must not pass for the job's first answer. The programming job
        // checks the line at its end instead, where it matters.
        if (WORKER_IsJobKind(kind) && kind != CMD_PROGRAM && kind != CMD_MAKE_VALID) {
            FRAME_Drain(TARGET_PortIdentifyTimeout());
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
            RunMakeValid();
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
