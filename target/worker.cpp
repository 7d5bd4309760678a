// Replies are read only inside the bytes that arrived, and a job is refused,
// with nothing sent, when the connection it was stored for has been lost.
// The jobs start on a quiet line (programming checks it after its last
// acknowledge instead); a clear or CRC sequence whose answer noise broke is
// run once more; the identify record is changed on a copy and written back
// whole.
#include "target/worker.h"

#include <cstring>

#include "target/commands.h"
#include "target/display.h"
#include "target/frame.h"
#include "target/handover.h"
#include "target/le.h"
#include "target/link.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/worker_thread.h"

std::atomic<uint32_t> WORKER_StopRequest{0};

namespace {

// Set by WORKER_Start (UI thread) before the thread exists, cleared by the
// worker as its last act; WORKER_Stop and WORKER_IsRunning (UI thread) read it.
std::atomic<bool> g_running{false};
// Worker adds one on each new connection; the UI thread reads it to tie an
// update's jobs to one connection, the worker to check a job's.
std::atomic<uint32_t> g_connection_serial{0};

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

// A clear or blank check once: acknowledge, then a reply with command code 4
// that is empty when the flash is blank or names the first byte that is not.
// BROKEN: the command was taken but no reply that can be trusted came.
enum class ERASE { DONE, NOT_TAKEN, BROKEN };

ERASE EraseOnce(uint8_t command, uint32_t reply_timeout_ms, uint8_t* status) {
    *status = JOB_COMM_FAILED;
    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    if (FRAME_Command(0, nullptr, command) != FRAME_OK) {
        return ERASE::NOT_TAKEN;
    }
    uint32_t length = 0;
    if (FRAME_Receive(reply, reply_timeout_ms, &length) != FRAME_OK ||
        reply[FRAME_COMMAND_AT] != REPLY_ERASE) {
        return ERASE::BROKEN;
    }
    if (length == 0) {
        *status = JOB_OK;
        return ERASE::DONE;
    }
    // Too short for an address and a value: not a reply we can trust.
    if (length < ERASE_FAIL_SIZE) {
        return ERASE::BROKEN;
    }
    const uint8_t* payload = reply + FRAME_PAYLOAD_AT;
    JOB_ErrorAddress.store(LE_Read32(payload + ERASE_FAIL_ADDRESS_AT), std::memory_order_relaxed);
    JOB_ErrorValue.store(LE_Read32(payload + ERASE_FAIL_VALUE_AT), std::memory_order_relaxed);
    *status = JOB_TARGET_ERROR;
    return ERASE::DONE;
}

// A reply broken by noise is asked for once more, on a quiet line: the
// target erases again, which does no harm.
void RunEraseJob(uint8_t command, uint32_t reply_timeout_ms) {
    UI_SetProgressRange(0, 2);
    UI_SetProgress(1);
    uint8_t status = JOB_COMM_FAILED;
    if (EraseOnce(command, reply_timeout_ms, &status) == ERASE::BROKEN) {
        FRAME_Drain(LINK_PromptWaitMs());
        EraseOnce(command, reply_timeout_ms, &status);
    }
    WORKER_EndJob(status);
}

// The CRC sequence once: the opening request, then each range; the answer
// to the last range carries the CRC over all ranges sent since the opening,
// and must have quiet behind it.
// A range request goes out once only: sent again after a lost acknowledge,
// the target would add its range to the running CRC twice.
bool CrcSequence(const TARGET_INFO& info, uint16_t* crc) {
    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    uint32_t length = 0;
    if (FRAME_Command(0, nullptr, CMD_GET_CRC) != FRAME_OK ||
        FRAME_Receive(reply, GET_CRC_REPLY_TIMEOUT_MS, &length) != FRAME_OK) {
        return false;
    }
    for (int range = 0; range < TARGET_CRC_RANGES; ++range) {
        if (range == 1 && info.crc_length[1] == 0) {
            break;
        }
        uint8_t request[CRC_RANGE_SIZE];
        LE_Write32(request + CRC_RANGE_START_AT, info.crc_start[range]);
        LE_Write32(request + CRC_RANGE_LENGTH_AT, info.crc_length[range]);
        FRAME_Send(sizeof request, request, CMD_GET_CRC);
        uint8_t answer = 0;
        if (FRAME_ReadAck(&answer) != FRAME_OK ||
            FRAME_Receive(reply, GET_CRC_REPLY_TIMEOUT_MS, &length) != FRAME_OK) {
            return false;
        }
    }
    if (reply[FRAME_COMMAND_AT] != REPLY_CRC || length < CRC_REPLY_SIZE) {
        return false;
    }
    *crc = LE_Read16(reply + FRAME_PAYLOAD_AT + CRC_REPLY_VALUE_AT);
    // The answer counts on a line that falls quiet behind it: make valid,
    // which may come next, goes out only on one.
    return FRAME_Drain(LINK_PromptWaitMs()) == 0;
}

void RunAcknowledgedJob(uint8_t command) {
    WORKER_EndJob(FRAME_Command(0, nullptr, command) == FRAME_OK ? JOB_OK : JOB_COMM_FAILED);
}

// Make valid commits the image, so it goes out only on a line that is quiet
// and in step: a byte where none is due (an acknowledge read one block late,
// say) fails it with nothing sent.
void RunMakeValid() {
    if (FRAME_Drain(LINK_PromptWaitMs()) != 0) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    RunAcknowledgedJob(CMD_MAKE_VALID);
}

// A job starts on a drained line: what noise or a late reply left there
// must not pass for its first answer. Not programming, which checks the line
// at its end instead, where it matters, nor make valid, which fails on
// anything left there.
bool StartsOnDrainedLine(uint8_t kind) {
    return WORKER_IsJobKind(kind) && kind != CMD_PROGRAM && kind != CMD_MAKE_VALID;
}

// A job is meant for the connection that was up when it was stored; if that
// one has been lost since, nothing is sent.
bool JobConnectionHolds() {
    return TARGET_IsConnected() && g_connection_serial.load(std::memory_order_acquire) ==
                                       JOB_Connection.load(std::memory_order_acquire);
}

} // namespace

uint32_t TARGET_GetConnectionSerial() {
    return g_connection_serial.load(std::memory_order_acquire);
}

void TARGET_Identify() {
    // The identify time-out at the port's rate, longer on a slow link.
    const uint32_t timeout_ms = LINK_PromptWaitMs();

    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    uint32_t length = 0;
    bool answered =
        FRAME_Exchange(0, nullptr, CMD_IDENTIFY, reply, timeout_ms, &length) == FRAME_OK &&
        length >= 1;

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
        info.last_crc = TARGET_NO_CRC;
        TARGET_WriteInfo(&info);
        // The next target may be behind another adapter or another link.
        LINK_Forget();
        UI_PostCommand(ID_NOTIFY_DISCONNECTED);
    }
    WORKER_Sleep(1);
    UI_PostCommand(ID_NOTIFY_TICK);
}

void TARGET_Clear() {
    TARGET_SetLastCRC(TARGET_NO_CRC);
    RunEraseJob(CMD_CLEAR, CLEAR_REPLY_TIMEOUT_MS);
}

void TARGET_BlankCheck() {
    RunEraseJob(CMD_BLANK_CHECK, BLANK_CHECK_REPLY_TIMEOUT_MS);
}

void TARGET_GetCRC() {
    TARGET_SetLastCRC(TARGET_NO_CRC);
    UI_SetProgressRange(0, 2);
    UI_SetProgress(1);
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    // After any failure inside it the sequence starts again, once, from its
    // opening request and on a quiet line; never a range on its own.
    uint16_t crc = 0;
    bool answered = CrcSequence(info, &crc);
    if (!answered) {
        FRAME_Drain(LINK_PromptWaitMs());
        answered = CrcSequence(info, &crc);
    }
    if (!answered) {
        // Make valid may follow a CRC that was not to be had, and goes out
        // only on a quiet line: what the sequence left there goes now.
        FRAME_Drain(LINK_PromptWaitMs());
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    TARGET_SetLastCRC(crc);
    WORKER_EndJob(JOB_OK);
}

void WORKER_Cycle() {
    const uint8_t kind = JOB_KIND.load(std::memory_order_acquire);
    if (WORKER_IsJobKind(kind) && !JobConnectionHolds()) {
        WORKER_EndJob(JOB_COMM_FAILED);
        return;
    }
    if (StartsOnDrainedLine(kind)) {
        FRAME_Drain(LINK_PromptWaitMs());
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
    // The cancel request is left set here: the job runner clears it before
    // it stores the next job, so a cancel given while that job is being
    // taken up cannot be lost.
}

unsigned long WORKER_Thread(void*) {
    TARGET_SetLastCRC(TARGET_NO_CRC);
    LINK_Forget();
    while (WORKER_StopRequest.load(std::memory_order_acquire) == 0) {
        WORKER_Cycle();
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
        TARGET_SetLastCRC(TARGET_NO_CRC);
    }
}
