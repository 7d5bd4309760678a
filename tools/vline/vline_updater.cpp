// The updater's side of the harness: its image, and a fresh start of its
// target layer against a new handheld, as the program makes at start-up.
#include "tools/vline/vline.h"

#include "firmware/firmware.h"
#include "image/image.h"
#include "image/srec.h"
#include "target/frame.h"
#include "target/handover.h"
#include "target/job.h"
#include "target/link.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/worker.h"

// Set once by VLINE_LoadFirmware; the update reads it.
IMAGE* APP_Image = nullptr;

namespace {
constexpr int32_t ERROR_TEXT_SIZE = 160; // a loader message and its line number
} // namespace

bool VLINE_LoadFirmware() {
    if (APP_Image != nullptr) {
        return true;
    }
    IMAGE* image = IMAGE_Create();
    char error_text[ERROR_TEXT_SIZE + 1] = {};
    if (image == nullptr || SREC_Load(image, FIRMWARE_SREC, error_text, ERROR_TEXT_SIZE) != 0) {
        IMAGE_Free(image);
        return false;
    }
    APP_Image = image;
    return true;
}

void VLINE_FreshStart(const VLINE_CONFIG& config) {
    VLINE_Open(config);
    WORKER_Stop();
    // A run cut off in virtual time may have left its job stored.
    JOB_KIND.store(JOB_IDLE);
    WORKER_CancelRequest.store(0);
    FRAME_Drain(1);
    LINK_Forget();
    PROGRAM_Block = PROGRAM_BLOCK{};
    TARGET_ClearInfo();
    WORKER_Start();
}

void VLINE_Poll(uint64_t for_us) {
    const uint64_t until = VLINE_NowUs() + for_us;
    while (VLINE_NowUs() < until) {
        WORKER_Cycle();
    }
}

bool VLINE_PollUntilConnected(uint64_t within_us) {
    const uint64_t until = VLINE_NowUs() + within_us;
    while (!TARGET_IsConnected() && VLINE_NowUs() < until) {
        WORKER_Cycle();
    }
    return TARGET_IsConnected();
}
