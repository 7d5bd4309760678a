#include "target/handover.h"

#include "target/commands.h"

std::atomic<uint8_t> JOB_KIND{JOB_IDLE};
std::atomic<uint8_t> JOB_STATUS{JOB_OK};
std::atomic<uint32_t> JOB_ErrorAddress{0};
std::atomic<uint32_t> JOB_ErrorValue{0};
std::atomic<uint32_t> JOB_LastBlockBase{0};
std::atomic<bool> JOB_LastBlockAcknowledged{false};
std::atomic<IMAGE*> JOB_Image{nullptr};
std::atomic<uint32_t> JOB_Connection{0};
std::atomic<uint32_t> WORKER_CancelRequest{0};

namespace {

// The cancel hook (UI thread) adds one per cancel; the job runner (UI thread)
// reads it.
std::atomic<uint32_t> g_cancel_count{0};

} // namespace

bool WORKER_IsJobKind(uint8_t kind) {
    return kind == CMD_CLEAR || kind == CMD_PROGRAM || kind == CMD_MAKE_VALID ||
           kind == CMD_BLANK_CHECK || kind == CMD_GET_CRC || kind == CMD_START_APP;
}

void WORKER_EndJob(uint8_t status) {
    JOB_STATUS.store(status, std::memory_order_relaxed);
    JOB_KIND.store(JOB_IDLE, std::memory_order_release);
}

void WORKER_RequestCancel() {
    WORKER_CancelRequest.store(1, std::memory_order_release);
    g_cancel_count.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t WORKER_GetCancelCount() {
    return g_cancel_count.load(std::memory_order_acquire);
}
