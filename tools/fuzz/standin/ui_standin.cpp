// Display operations without a dialog: progress calls are checked for sense,
// posted notifications are logged for the fuzzers.
#include "target/display.h"
#include "line.h"

#include <cstdio>
#include <cstdlib>

namespace {
std::vector<uint32_t> g_posts;
int32_t g_low = 0;
int32_t g_high = 0;
} // namespace

namespace fuzzline {

const std::vector<uint32_t>& Posts() {
    return g_posts;
}

void ClearPosts() {
    g_posts.clear();
}

} // namespace fuzzline

void UI_SetCancelHook(UI_CANCEL_HOOK) {}
void UI_ShowJob(const char*) {}
void UI_HideJob() {}

void UI_SetProgressRange(int32_t low, int32_t high) {
    if (low > high) {
        std::fprintf(stderr, "ui stand-in: progress range %d..%d\n", low, high);
        std::abort();
    }
    g_low = low;
    g_high = high;
}

void UI_SetProgress(int32_t position) {
    if (position < g_low || position > g_high) {
        std::fprintf(stderr, "ui stand-in: progress %d outside %d..%d\n", position, g_low, g_high);
        std::abort();
    }
}

void UI_PostCommand(uint32_t id) {
    if (g_posts.size() < 1024) {
        g_posts.push_back(id);
    }
}

void UI_HoldSession() {}
void UI_ReleaseSession() {}

void UI_PumpMessage() {}
void UI_ServeSentMessages() {}
