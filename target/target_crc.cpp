// The image CRC that the update compares with the target's: it combines the
// firmware image with the identify record, so it sits above both.
#include "image/crc16.h"
#include "target/job.h"
#include "target/target_info.h"

uint16_t IMAGE_CalcTargetCRC() {
    TARGET_INFO info;
    TARGET_GetInfo(&info); // one copy, so the ranges cannot change under the walk
    return IMAGE_CalcRangesCRC(APP_Image, info.crc_start, info.crc_length);
}
