// Start-up state and the loading of the carried firmware.
#include "app/app_state.h"

#include "firmware/firmware.h"
#include "image/image.h"
#include "image/srec.h"

void* APP_Instance = nullptr;
IMAGE* APP_Image = nullptr;
int32_t APP_PortList[256] = {};
int32_t APP_PortCount = 0;
std::atomic<bool> APP_PortScanRunning{false};
const char* APP_FirmwareText = FIRMWARE_SREC;

int32_t APP_LoadImage() {
    APP_Image = IMAGE_Create();
    if (APP_Image == nullptr) {
        return -1;
    }
    char error_text[APP_ERROR_TEXT_SIZE] = {};
    const int32_t result =
        SREC_Load(APP_Image, APP_FirmwareText, error_text, APP_ERROR_TEXT_SIZE - 1);
    if (result != 0) {
        IMAGE_Free(APP_Image);
        APP_Image = nullptr;
    }
    return result;
}
