// Display operations against the main dialog's template, shown hidden.

#include "dialog_fixture.h"

#include "app/display.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::vector<WPARAM> g_commands;
// The bar's whole percents posted for the taskbar button: position and span.
std::vector<std::pair<WPARAM, LPARAM>> g_percents;

// Commands without a control: those posted to the dialog, not the controls' own.
INT_PTR CALLBACK RecordingProc(HWND, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COMMAND && lparam == 0) {
        g_commands.push_back(wparam);
    }
    if (message == UI_PROGRESS_PERCENT) {
        g_percents.emplace_back(wparam, lparam);
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

class DisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_commands.clear();
        g_percents.clear();
        dialog_ = CreateMainTemplate(RecordingProc);
        ASSERT_NE(dialog_, nullptr);
        UI_SetDialogWindow(dialog_);
    }
    void TearDown() override {
        UI_SetDialogWindow(nullptr);
        DestroyWindow(dialog_);
        PumpMessages();
    }
    HWND dialog_ = nullptr;
};

TEST_F(DisplayTest, RangeThenPositionFillsTheBarByTheRatio) {
    UI_SetProgressRange(0, 2);
    UI_SetProgress(1);
    PBRANGE range = {};
    SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_GETRANGE, FALSE,
                        reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 2);
    EXPECT_EQ(ProgressPosition(dialog_), 1);

    // A dialog recorded after the range was set gets the positions from then
    // on, also without a range of its own.
    const HWND other = CreateMainTemplate(RecordingProc);
    ASSERT_NE(other, nullptr);
    UI_SetDialogWindow(other);
    UI_SetProgress(2);
    EXPECT_EQ(ProgressPosition(other), 2);
    EXPECT_EQ(ProgressPosition(dialog_), 1);
    UI_SetDialogWindow(dialog_);
    DestroyWindow(other);
}

TEST_F(DisplayTest, RangeResetsThePositionToZeroWhateverTheLowEnd) {
    UI_SetProgressRange(0, 100);
    UI_SetProgress(60);
    // Zero below the new range: the bar clamps it to its low end.
    UI_SetProgressRange(10, 20);
    EXPECT_EQ(ProgressPosition(dialog_), 10);
    UI_SetProgressRange(-50, 50);
    EXPECT_EQ(ProgressPosition(dialog_), 0);
    // Ranges beyond 16 bits need the 32-bit range message.
    UI_SetProgressRange(0, 1469497);
    UI_SetProgress(1000000);
    EXPECT_EQ(ProgressPosition(dialog_), 1000000);
    UI_SetProgressRange(0, 1469497);
    EXPECT_EQ(ProgressPosition(dialog_), 0);
}

// The taskbar button hears of the bar once a whole percent, not once a
// block: a hundred and one times for a programming job of 6,227 blocks.
TEST_F(DisplayTest, TheTaskbarHearsOfEachWholePercentOnly) {
    constexpr int32_t BLOCKS = 6227;
    UI_SetProgressRange(0, BLOCKS);
    for (int32_t block = 1; block <= BLOCKS; ++block) {
        UI_SetProgress(block);
    }
    UI_SetProgress(BLOCKS + 5); // past the end counts as the end
    PumpMessages();
    ASSERT_EQ(101u, g_percents.size());
    EXPECT_EQ(0u, g_percents.front().first);
    EXPECT_EQ(std::make_pair(WPARAM{BLOCKS}, LPARAM{BLOCKS}), g_percents.back());
    // A new range starts again from nothing, whatever its low end.
    g_percents.clear();
    UI_SetProgressRange(10, 20);
    UI_SetProgress(15);
    PumpMessages();
    EXPECT_EQ((std::vector<std::pair<WPARAM, LPARAM>>{{0, 10}, {5, 10}}), g_percents);
}

TEST_F(DisplayTest, StatusAndJobShowAndHide) {
    UI_HideJob();
    EXPECT_FALSE(IsShown(dialog_, IDC_STATUS));
    EXPECT_FALSE(IsShown(dialog_, IDC_PROGRESS));

    UI_ShowStatus("No connection - power cycle or reset target");
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "No connection - power cycle or reset target");
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_FALSE(IsShown(dialog_, IDC_PROGRESS));

    UI_ShowJob("Programming target");
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Programming target");
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_TRUE(IsShown(dialog_, IDC_PROGRESS));

    UI_HideJob();
    EXPECT_FALSE(IsShown(dialog_, IDC_STATUS));
    EXPECT_FALSE(IsShown(dialog_, IDC_PROGRESS));
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Programming target");
}

TEST_F(DisplayTest, NothingChangesBeforeTheWindowIsRecorded) {
    UI_SetProgressRange(0, 10); // the bar of a dialog no longer recorded
    UI_SetDialogWindow(nullptr);
    UI_ShowJob("Clear target");
    UI_ShowStatus("x");
    UI_SetProgress(5);
    UI_SetProgressRange(0, 10);
    UI_HideJob();
    UI_PostCommand(1024);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Disconnected");
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_EQ(ProgressPosition(dialog_), 0);
    PumpMessages();
    EXPECT_TRUE(g_commands.empty());
    EXPECT_EQ(UI_GetDialogWindow(), nullptr);
}

TEST_F(DisplayTest, PostedCommandsReachTheDialogInOrder) {
    UI_PostCommand(1024);
    UI_PostCommand(0);
    UI_PostCommand(1025);
    for (int i = 0; i < 3; ++i) {
        UI_PumpMessage();
    }
    ASSERT_EQ(g_commands.size(), 3u);
    EXPECT_EQ(g_commands[0], 1024u);
    EXPECT_EQ(g_commands[1], 0u);
    EXPECT_EQ(g_commands[2], 1025u);
}

// The worker moves the bar from its own thread and waits for each call; the
// dialog's thread serves the calls while it pumps.
TEST_F(DisplayTest, WorkerProgressCallsCompleteWhileTheDialogPumps) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        UI_SetProgressRange(0, 50);
        for (int i = 1; i <= 50; ++i) {
            UI_SetProgress(i);
        }
        done = true;
        UI_PostCommand(0); // wakes the pump
    });
    while (!done) {
        UI_PumpMessage();
    }
    worker.join();
    EXPECT_EQ(ProgressPosition(dialog_), 50);
}

TEST_F(DisplayTest, ServingSentMessagesLeavesPostedOnesQueued) {
    UI_PostCommand(1025);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        UI_SetProgressRange(0, 4);
        UI_SetProgress(3);
        done = true;
    });
    while (!done) {
        UI_ServeSentMessages();
        Sleep(1);
    }
    worker.join();
    EXPECT_EQ(ProgressPosition(dialog_), 3);
    EXPECT_TRUE(g_commands.empty());
    PumpMessages();
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0], 1025u);
}

TEST(DisplayHook, StoresTheLatestHook) {
    static int calls = 0;
    UI_SetCancelHook([] { ++calls; });
    UI_SetCancelHook([] { calls += 10; });
    UI_GetCancelHook()();
    EXPECT_EQ(calls, 10);
    UI_SetCancelHook(nullptr);
    EXPECT_EQ(UI_GetCancelHook(), nullptr);
}

} // namespace
