// One image lock over the whole walk, so no per-byte read can time out and
// pass for an absent byte. The bar's positions fall due while a block is
// gathered and are shown while it is on the wire, so the line never waits for
// the window between an acknowledge and the next block.
#include "target/program.h"

#include <cstring>

#include "image/image.h"
#include "target/commands.h"
#include "target/display.h"
#include "target/frame.h"
#include "target/handover.h"
#include "target/le.h"
#include "target/link.h"
#include "target/target_info.h"

// Lives as long as the process: a block whose send failed stays pending and
// goes out first in the next programming job. Worker thread only.
PROGRAM_BLOCK PROGRAM_Block = {};

namespace {

// Program request data: the block's base address, then its bytes.
constexpr uint32_t REQUEST_ADDRESS_AT = 0;
constexpr uint32_t REQUEST_BLOCK_AT = REQUEST_ADDRESS_AT + LE32_SIZE;
// Payload of the frame that may follow a refused block.
constexpr uint32_t REFUSAL_ADDRESS_IN_PAYLOAD = 0;
constexpr uint32_t REFUSAL_VALUE_IN_PAYLOAD = REFUSAL_ADDRESS_IN_PAYLOAD + LE32_SIZE;
// That frame is read with FRAME_ReceiveRest although no start byte was taken
// off the line first, so it lands in the buffer at its own offsets: its
// address at 7 .. 10 and its value at 11.
constexpr uint32_t REFUSAL_ADDRESS_AT = FRAME_PAYLOAD_AT + REFUSAL_ADDRESS_IN_PAYLOAD;
constexpr uint32_t REFUSAL_VALUE_AT = FRAME_PAYLOAD_AT + REFUSAL_VALUE_IN_PAYLOAD;

// What the walk over the image left for the job's end.
struct WALK {
    uint8_t status;
    bool empty; // the image held no bytes
};

// A block holds at most 236 bytes, so at most two positions 129 apart fall
// due while one is gathered.
constexpr uint32_t PROGRESS_DUE_MAX =
    (PROGRAM_WINDOW + PROGRAM_PROGRESS_STEP - 1) / PROGRAM_PROGRESS_STEP;

// The bar moves at 1, 130, 259, ... bytes placed; the final count is not shown.
// A position falls due while a block is gathered and is shown once that
// block is on the wire, before its acknowledge is awaited: a progress call
// waits for the user-interface thread (long under load or under Wine), and
// made between an acknowledge and the next request it would hold the line
// idle.
struct PROGRESS {
    uint32_t done;
    uint32_t mark;
    uint32_t due[PROGRESS_DUE_MAX];
    uint32_t due_count;
};

// Worker thread only; set afresh by each walk.
PROGRESS g_progress = {};

void ShowDueProgress() {
    for (uint32_t i = 0; i < g_progress.due_count; ++i) {
        UI_SetProgress(static_cast<int32_t>(g_progress.due[i]));
    }
    g_progress.due_count = 0;
}

void MarkProgress() {
    PROGRESS& progress = g_progress;
    if (progress.done > progress.mark) {
        if (progress.due_count == PROGRESS_DUE_MAX) {
            ShowDueProgress(); // not reached with 236-byte blocks; keeps the order if it were
        }
        progress.due[progress.due_count++] = progress.done;
        progress.mark = progress.done + PROGRAM_PROGRESS_STEP - 1;
    }
}

// Gathers the held bytes from the image's first address on into blocks, each
// sent once the next byte falls outside it. False, with nothing walked, when
// there is no image or its lock was not had in time.
bool WalkImage(IMAGE* image, uint8_t* reply, WALK* walk) {
    // One lock over the whole walk: the per-byte reads below then only count
    // nesting depth, and no read can time out and pass for an absent byte.
    IMAGE_LOCK_SCOPE lock(image);
    if (image == nullptr || lock.TimedOut()) {
        return false;
    }
    uint32_t address = IMAGE_GetFirstAddr(image);
    uint32_t left = IMAGE_GetNumBytes(image);
    walk->empty = left == 0;
    walk->status = JOB_OK;
    JOB_STATUS.store(JOB_OK, std::memory_order_relaxed);

    g_progress = PROGRESS{};
    UI_SetProgressRange(0, static_cast<int32_t>(left));
    while (left != 0) {
        MarkProgress();
        const int32_t value = IMAGE_ReadByte(image, address);
        if (value != IMAGE_ABSENT) {
            if (TARGET_AddProgramByte(reply, address, static_cast<uint8_t>(value & 0xFF)) != 0) {
                walk->status = JOB_TARGET_ERROR; // as the failed send stored it
                return true;
            }
            --left;
            ++g_progress.done;
        }
        ++address;
        if (WORKER_CancelRequest.load(std::memory_order_relaxed) != 0) {
            walk->status = JOB_CANCELLED;
            return true;
        }
    }
    return true;
}

// The last block goes out also after a cancel (the gathered bytes still go
// out) and after a failed send (the same block once more). An image without
// bytes programs nothing and must not pass for done.
uint8_t FlushLastBlock(uint8_t* reply, const WALK& walk) {
    uint8_t status = walk.status;
    if (TARGET_FlushProgramBlock(reply) != 0) {
        status = JOB_TARGET_ERROR;
    }
    if (walk.empty) {
        status = JOB_TARGET_ERROR;
    }
    return status;
}

} // namespace

int32_t TARGET_FlushProgramBlock(uint8_t* reply) {
    PROGRAM_BLOCK& block = PROGRAM_Block;
    if (block.pending == 0) {
        return 1;
    }
    const uint32_t count = (block.last_position + PROGRAM_ALIGN) & ~(PROGRAM_ALIGN - 1);
    uint8_t request[REQUEST_BLOCK_AT + PROGRAM_BLOCK_SIZE];
    LE_Write32(request + REQUEST_ADDRESS_AT, block.base);
    std::memcpy(request + REQUEST_BLOCK_AT, block.data, count);
    FRAME_Send(static_cast<uint8_t>(REQUEST_BLOCK_AT + count), request, CMD_PROGRAM);
    // While the block is on the wire.
    ShowDueProgress();

    uint8_t answer = 0;
    const bool acknowledged = FRAME_ReadAck(&answer) == FRAME_OK;
    JOB_LastBlockBase.store(block.base, std::memory_order_relaxed);
    JOB_LastBlockAcknowledged.store(acknowledged, std::memory_order_relaxed);
    if (acknowledged) {
        block.pending = 0;
        return 0;
    }
    // The target may follow its refusal with one more frame naming the
    // address and the value found there; without one the buffer's old bytes
    // stand (zeros on the first failure of a job).
    FRAME_ReceiveRest(reply, PROGRAM_ERROR_FRAME_TIMEOUT_MS);
    JOB_ErrorAddress.store(LE_Read32(reply + REFUSAL_ADDRESS_AT), std::memory_order_relaxed);
    JOB_ErrorValue.store(reply[REFUSAL_VALUE_AT], std::memory_order_relaxed);
    JOB_STATUS.store(JOB_TARGET_ERROR, std::memory_order_relaxed);
    return 1;
}

int32_t TARGET_AddProgramByte(uint8_t* reply, uint32_t address, uint8_t value) {
    PROGRAM_BLOCK& block = PROGRAM_Block;
    if (block.pending != 0 && (address < block.base || address - block.base >= PROGRAM_WINDOW)) {
        if (TARGET_FlushProgramBlock(reply) != 0) {
            return 1;
        }
    }
    if (block.pending == 0) {
        std::memset(block.data, 0xFF, sizeof block.data);
        block.base = address & ~(PROGRAM_ALIGN - 1);
        block.pending = 1;
    }
    block.last_position = address - block.base;
    block.data[block.last_position] = value;
    return 0;
}

void TARGET_Program() {
    uint8_t reply[TARGET_REPLY_BUFFER_SIZE] = {};
    TARGET_SetLastCRC(TARGET_NO_CRC);
    IMAGE* image = JOB_Image.load(std::memory_order_acquire);
    WALK walk = {};
    uint8_t status = JOB_TARGET_ERROR;
    const bool walked = WalkImage(image, reply, &walk);
    if (walked) {
        status = FlushLastBlock(reply, walk);
    }
    // Every block was acknowledged in step only if nothing follows the last
    // acknowledge: one read a block late (a stray 0x90 ahead of an
    // acknowledge) leaves the real one on the line.
    const bool in_step = walked && (status != JOB_OK || FRAME_Drain(LINK_PromptWaitMs()) == 0);
    if (!in_step) {
        // No image, no lock in time, or a byte where none was due: no
        // target address or value to report.
        JOB_ErrorAddress.store(0, std::memory_order_relaxed);
        JOB_ErrorValue.store(0, std::memory_order_relaxed);
        status = JOB_TARGET_ERROR;
    }
    WORKER_EndJob(status);
}
