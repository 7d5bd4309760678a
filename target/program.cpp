// The programming job: walks the image address by address, gathers the bytes
// into 236-byte windows and sends each window, stop-and-wait, as one program
// request.
#include "target/program.h"

#include <cstring>

#include "image/image.h"
#include "target/display.h"
#include "target/frame.h"
#include "target/target_info.h"
#include "target/worker.h"

// Lives as long as the process: a block whose send failed stays pending and
// goes out first in the next programming job.
PROGRAM_BLOCK PROGRAM_Block = {};

namespace {

constexpr uint32_t ERROR_ADDRESS_OFFSET = 7;
constexpr uint32_t ERROR_VALUE_OFFSET = 11;
constexpr uint32_t ADDRESS_SIZE = 4;

uint32_t ReadLE32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

int32_t TARGET_FlushProgramBlock(uint8_t* reply) {
    PROGRAM_BLOCK& block = PROGRAM_Block;
    if (block.pending == 0) {
        return 1;
    }
    const uint32_t count = (block.last_position + PROGRAM_ALIGN) & ~(PROGRAM_ALIGN - 1);
    uint8_t request[ADDRESS_SIZE + PROGRAM_BLOCK_SIZE];
    for (uint32_t i = 0; i < ADDRESS_SIZE; ++i) {
        request[i] = static_cast<uint8_t>(block.base >> (8 * i));
    }
    std::memcpy(request + ADDRESS_SIZE, block.data, count);
    FRAME_Send(static_cast<uint8_t>(ADDRESS_SIZE + count), request, CMD_PROGRAM);

    uint8_t answer = 0;
    if (FRAME_ReadAck(&answer) == 0) {
        block.pending = 0;
        return 0;
    }
    // The target may follow its refusal with one more frame naming the
    // address and the value found there; without one the buffer's old bytes
    // stand (zeros on the first failure of a job).
    FRAME_ReceiveRest(reply, PROGRAM_ERROR_FRAME_TIMEOUT_MS);
    JOB_ErrorAddress.store(ReadLE32(reply + ERROR_ADDRESS_OFFSET), std::memory_order_relaxed);
    JOB_ErrorValue.store(reply[ERROR_VALUE_OFFSET], std::memory_order_relaxed);
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
    TARGET_SetLastCRC(-1);
    IMAGE* image = JOB_Image.load(std::memory_order_acquire);

    // One lock over the whole walk: the per-byte reads below then only count
    // nesting depth, and no read can time out and pass for an absent byte.
    const int32_t locked = image != nullptr ? IMAGE_Lock(image) : -1;
    if (locked == -1) {
        JOB_ErrorAddress.store(0, std::memory_order_relaxed);
        JOB_ErrorValue.store(0, std::memory_order_relaxed);
        JOB_STATUS.store(JOB_TARGET_ERROR, std::memory_order_relaxed);
        JOB_KIND.store(JOB_IDLE, std::memory_order_release);
        return;
    }
    uint32_t address = IMAGE_GetFirstAddr(image);
    uint32_t left = IMAGE_GetNumBytes(image);
    const bool empty = left == 0;
    JOB_STATUS.store(JOB_OK, std::memory_order_relaxed);

    UI_SetProgressRange(0, static_cast<int32_t>(left));
    uint32_t done = 0;
    uint32_t mark = 0;
    while (left != 0) {
        if (done > mark) {
            UI_SetProgress(static_cast<int32_t>(done));
            mark = done + PROGRAM_PROGRESS_STEP - 1;
        }
        const int32_t value = IMAGE_ReadByte(image, address);
        if (value >= 0) {
            if (TARGET_AddProgramByte(reply, address, static_cast<uint8_t>(value & 0xFF)) != 0) {
                break;
            }
            --left;
            ++done;
        }
        ++address;
        if (WORKER_CancelRequest.load(std::memory_order_relaxed) != 0) {
            JOB_STATUS.store(JOB_CANCELLED, std::memory_order_relaxed);
            break;
        }
    }
    if (locked == 0) {
        IMAGE_Unlock(image);
    }

    // Also after a cancel (the gathered bytes still go out) and after a failed
    // send (the same block once more).
    if (TARGET_FlushProgramBlock(reply) != 0) {
        JOB_STATUS.store(JOB_TARGET_ERROR, std::memory_order_relaxed);
    }
    // An image without bytes programs nothing and must not pass for done.
    if (empty) {
        JOB_STATUS.store(JOB_TARGET_ERROR, std::memory_order_relaxed);
    }
    JOB_KIND.store(JOB_IDLE, std::memory_order_release);
}
