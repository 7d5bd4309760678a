// The record is rewritten by the worker while the user-interface thread takes
// copies, so every access goes through one short lock: a copy is either the
// record before a change or after it, never a mix.
#include "target/target_info.h"

#include <cstring>
#include <mutex>

namespace {
// Worker writes (identify cycles, CRC jobs) and WORKER_Stop clears, under the
// lock; the UI thread copies it and reads `connected` and `last_crc`, also locked.
TARGET_INFO g_info = {};
std::mutex g_info_lock;
} // namespace

void TARGET_GetInfo(TARGET_INFO* out) {
    std::lock_guard<std::mutex> guard(g_info_lock);
    if (g_info.connected == 1) {
        *out = g_info;
    } else {
        std::memset(out, 0, sizeof *out);
    }
}

void TARGET_ReadInfo(TARGET_INFO* out) {
    std::lock_guard<std::mutex> guard(g_info_lock);
    *out = g_info;
}

void TARGET_WriteInfo(const TARGET_INFO* info) {
    std::lock_guard<std::mutex> guard(g_info_lock);
    g_info = *info;
}

bool TARGET_IsConnected() {
    std::lock_guard<std::mutex> guard(g_info_lock);
    return g_info.connected == 1;
}

int32_t TARGET_GetLastCRC() {
    std::lock_guard<std::mutex> guard(g_info_lock);
    return g_info.last_crc;
}

void TARGET_SetLastCRC(int32_t crc) {
    std::lock_guard<std::mutex> guard(g_info_lock);
    g_info.last_crc = crc;
}

void TARGET_ClearInfo() {
    std::lock_guard<std::mutex> guard(g_info_lock);
    std::memset(&g_info, 0, sizeof g_info);
}
