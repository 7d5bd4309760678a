// Kept apart from the range CRC so that code using only that one does not
// pull in the application's globals.
#include "app/app.h"
#include "image/crc16.h"
#include "target/target_info.h"

uint16_t IMAGE_CalcTargetCRC() {
    TARGET_INFO info;
    TARGET_GetInfo(&info); // one copy, so the ranges cannot change under the walk
    return IMAGE_CalcRangesCRC(APP_Image, info.crc_start, info.crc_length);
}
