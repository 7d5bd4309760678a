// The main dialog's initialisation, port choice, notifications and buttons,
// and the About box, driven on the test's thread with no worker running; and
// whole updates through the dialog, with the worker and the simulated handheld.
#include "dialog_fixture.h"

#include "app/app.h"
#include "app/main_dialog.h"
#include "app/scaling.h"
#include "app/power_guard.h"
#include "app/display.h"
#include "app/port_picker.h"
#include "app/taskbar.h"
#include "app/version.h"
#include "com/com.h"
#include "com/devices.h"
#include "image/image.h"
#include "target/target_info.h"
#include "target/commands.h"
#include "target/handover.h"
#include "target/worker.h"
#include "tests/support/blocking_open.h"
#include "tests/support/testbench.h"
#include "tools/sim/sim.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

const char SMALL_FIRMWARE[] = "S00700007465737438\r\n"
                              "S31540080000000102030405060708090A0B0C0D0E0F2A\r\n"
                              "S70540080000B2\r\n";
constexpr uint32_t FIRMWARE_BASE = 0x40080000;
constexpr uint32_t SMALL_FIRMWARE_SIZE = 16;
// Programming this many bytes takes long enough (hundreds of blocks, each
// with its progress call) for a test to press keys while the job runs.
constexpr uint32_t LONG_FIRMWARE_SIZE = 128 * 1024;
constexpr int UPDATER_PORT = 3;
constexpr int TARGET_PORT = 10;
constexpr UINT WAKE_MS = 5;
constexpr DWORD CONNECT_MS = 10000;

int g_hook_calls = 0;

const char TITLE[] = "Tidewell Handheld v" TW_VERSION_TEXT;
// What the dialog asked of the system's execution state.
std::vector<uint32_t> g_execution_states;
constexpr uint32_t KEEP_AWAKE = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
constexpr uint32_t RELEASED = ES_CONTINUOUS;
const std::vector<uint32_t> HELD_AND_RELEASED = {KEEP_AWAKE, RELEASED};

// Runs as the dialog asks, so at the start and the end of an update.
std::function<void(uint32_t)> g_on_execution_state;

uint32_t RecordExecutionState(uint32_t flags) {
    g_execution_states.push_back(flags);
    if (g_on_execution_state) {
        g_on_execution_state(flags);
    }
    return ES_CONTINUOUS;
}

// What the status line says when an update stops at each step.
const char CLEAR_FAILED[] = "Update failed while clearing - reset target, restart updater";
const char PROGRAM_FAILED[] = "Update failed while programming - reset target, restart updater";
const char MAKE_VALID_FAILED[] = "Update failed at make valid - reset target, restart updater";
const char CRC_FAILED[] = "Update failed at CRC check - reset target, restart updater";
const char CRC_FAILED_VALID[] = "Update failed at CRC check - update the handheld again before use";

// Closes any About box of this thread; the test's way out of one that opened
// where it must not.
int g_about_boxes_closed = 0;

void CALLBACK CloseAboutBox(HWND, UINT, UINT_PTR, DWORD) {
    const HWND about = FindAboutBox();
    if (about != nullptr) {
        ++g_about_boxes_closed;
        EndDialog(about, 0);
    }
}

// The answer the dialog gives to the session's end, as the system sees it.
LRESULT QueryEndSession(HWND dialog) {
    return SendMessageA(dialog, WM_QUERYENDSESSION, 0, 0);
}

bool SameSize(const SIZE& a, const SIZE& b) {
    return a.cx == b.cx && a.cy == b.cy;
}

std::string CurrentDevice() {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    return config.device_name;
}

std::string ComboItem(HWND dialog, int index) {
    char text[64] = {};
    SendDlgItemMessageA(dialog, IDC_PORTS, CB_GETLBTEXT, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(text));
    return text;
}

void Command(HWND dialog, int id, int code = 0) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code), 0);
}

// Once for the program, since a closed serial layer stays closed: the cable,
// the small firmware, and the port closed at the end.
class DialogEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(TESTBENCH_Reset());
        ASSERT_TRUE(TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT));
        APP_Instance = TestInstance();
        APP_FirmwareText = SMALL_FIRMWARE;
        ASSERT_EQ(APP_LoadImage(), 0);
    }
    void TearDown() override {
        COM_Close();
        TESTBENCH_Reset();
    }
};
::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new DialogEnvironment);

class MainDialogTest : public ::testing::Test {
  protected:
    void Open(std::initializer_list<int32_t> ports) {
        APP_PortCount = 0;
        for (int32_t port : ports) {
            APP_PortList[APP_PortCount++] = port;
        }
        g_hook_calls = 0;
        g_about_boxes_closed = 0;
        g_execution_states.clear();
        UI_SetExecutionStateHandler(RecordExecutionState);
        UI_SetCancelHook(nullptr);
        dialog_ = CreateMainTemplate(MainDlgProc);
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        g_on_execution_state = nullptr;
        UI_SetExecutionStateHandler(nullptr);
        UI_SetCancelHook(nullptr);
        UI_SetDialogWindow(nullptr);
        if (dialog_ != nullptr) {
            DestroyWindow(dialog_);
        }
        PumpMessages();
        // The picker's tries and reads end within their bounds; the device
        // list's stand-in goes once none runs.
        EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().threads == 0; }, 5000));
        COM_SetDeviceListCall(nullptr);
        if (long_firmware_ != nullptr) {
            APP_Image = suite_firmware_;
            IMAGE_Free(long_firmware_);
            long_firmware_ = nullptr;
        }
    }
    void UseLongFirmware() {
        const std::vector<uint8_t> bytes(LONG_FIRMWARE_SIZE, 0x5A);
        long_firmware_ = IMAGE_Create();
        IMAGE_AddData(long_firmware_, FIRMWARE_BASE, LONG_FIRMWARE_SIZE, bytes.data());
        suite_firmware_ = APP_Image;
        APP_Image = long_firmware_;
    }
    // The entries as the list draws them: "COM3: USB Serial Port, ...", the
    // selected one marked " *".
    std::vector<std::string> Entries() {
        const HWND ports = GetDlgItem(dialog_, IDC_PORTS);
        const auto selected = static_cast<int32_t>(SendMessageA(ports, CB_GETCURSEL, 0, 0));
        std::vector<std::string> entries;
        UI_PORT_ENTRY entry;
        for (int32_t i = 0; UI_GetPortEntry(ports, i, &entry); ++i) {
            std::string text = entry.text;
            text += entry.beside[0] != '\0' ? std::string(": ") + entry.beside : "";
            entries.push_back(text + (i == selected ? " *" : ""));
        }
        return entries;
    }
    HWND dialog_ = nullptr;
    IMAGE* long_firmware_ = nullptr;
    IMAGE* suite_firmware_ = nullptr;
};

// The device-change notice Windows broadcasts for a port: COMn in a
// DEV_BROADCAST_PORT.
void PortNotice(HWND dialog, WPARAM event, int com) {
    struct {
        DEV_BROADCAST_PORT_A header;
        char rest[8];
    } notice = {};
    notice.header.dbcp_size = sizeof notice;
    notice.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    std::snprintf(notice.header.dbcp_name, sizeof notice.rest + 1, "COM%d", com);
    SendMessageA(dialog, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

// What a technician's laptop has: given to the dialog as the system's device
// list (Wine's is empty).
std::vector<COM_DEVICE> g_devices;

int32_t LaptopDevices(COM_DEVICE* out, int32_t max) {
    int32_t count = 0;
    for (const COM_DEVICE& device : g_devices) {
        if (count < max) {
            out[count++] = device;
        }
    }
    return count;
}

COM_DEVICE Device(int com, const char* name, uint32_t problem = 0, uint32_t latency_ms = 0) {
    COM_DEVICE device = {};
    device.port = com - 1;
    std::snprintf(device.name, sizeof device.name, "%s", name);
    device.problem = problem;
    device.latency_ms = latency_ms;
    return device;
}

TEST_F(MainDialogTest, InitialisationListsPortsByTextAndOpensTheFirstScanned) {
    Open({2, 9});
    EXPECT_EQ(UI_GetDialogWindow(), dialog_);
    ASSERT_EQ(SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(ComboItem(dialog_, 0), "COM10");
    EXPECT_EQ(ComboItem(dialog_, 1), "COM3");
    // The entry shown is the port in use, not the first in text order.
    EXPECT_EQ(SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETITEMDATA, 0, 0), 9);
    EXPECT_EQ(SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETITEMDATA, 1, 0), 2);
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM3");

    COM_CONFIG config = {};
    COM_GetConfig(&config);
    EXPECT_EQ(config.baud_rate, 115200u);
    EXPECT_EQ(config.byte_size, 8);
    EXPECT_EQ(config.parity, 1);
    EXPECT_EQ(config.stop_bits, 0);

    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORTS)));
    // The focus is in the list's edit field.
    const HWND ports = GetDlgItem(dialog_, IDC_PORTS);
    EXPECT_TRUE(GetFocus() == ports || IsChild(ports, GetFocus()));
    EXPECT_FALSE(IsShown(dialog_, IDC_CANCEL));
    EXPECT_TRUE(IsShown(dialog_, IDC_START));

    char caption[128] = {};
    GetWindowTextA(dialog_, caption, sizeof caption);
    EXPECT_STREQ(caption, TITLE);
    EXPECT_EQ(ControlText(dialog_, IDC_TITLE), TITLE);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Disconnected");

    char item[64] = {};
    GetMenuStringA(GetSystemMenu(dialog_, FALSE), IDM_ABOUT, item, sizeof item, MF_BYCOMMAND);
    EXPECT_STREQ(item, "About...");
}

TEST_F(MainDialogTest, AFirstScannedPortThatNoLongerOpensIsPassedOver) {
    Open({4, 9, 2}); // COM5 is gone since the scan
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM10");
    EXPECT_EQ(ComboItem(dialog_, static_cast<int>(
                                     SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETCURSEL, 0, 0))),
              "COM10");
}

// Start-up with opens that block: the window comes up while the scan still
// waits on them, says so, and lists the ports once the scan has given up on
// the blocked ones.
TEST_F(MainDialogTest, TheWindowIsUpWhileTheScanWaitsOnBlockedOpens) {
    // COM3 and a row of others: giving up on each takes its bound.
    blocking_open::Install({3, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44});
    static ULONGLONG started;
    static ULONGLONG window_up;
    static bool scanning_at_window;
    static std::string status_at_window;
    static std::vector<std::string> listed;
    static std::string selected;
    started = GetTickCount64();
    window_up = 0;
    listed.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, WAKE_MS, [](HWND, UINT, UINT_PTR, DWORD) {
        const HWND dialog = static_cast<HWND>(UI_GetDialogWindow());
        if (dialog == nullptr || !IsWindowVisible(dialog)) {
            return;
        }
        if (window_up == 0) {
            window_up = GetTickCount64();
            scanning_at_window = APP_PortScanRunning.load();
            status_at_window = ControlText(dialog, IDC_STATUS);
        }
        const int count =
            static_cast<int>(SendDlgItemMessageA(dialog, IDC_PORTS, CB_GETCOUNT, 0, 0));
        if (count > 0) {
            for (int i = 0; i < count; ++i) {
                listed.push_back(ComboItem(dialog, i));
            }
            selected = ComboItem(dialog, static_cast<int>(SendDlgItemMessageA(dialog, IDC_PORTS,
                                                                              CB_GETCURSEL, 0, 0)));
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        }
    });
    APP_Start();
    KillTimer(nullptr, timer);
    blocking_open::LetGoAll();
    WORKER_Stop();
    // The polls that went out on COM10 wait at COM3: a fresh cable for the
    // tests after this one.
    ASSERT_TRUE(TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT));
    ASSERT_NE(window_up, 0u);
    std::printf("window up %llu ms after start, the scan still running\n", window_up - started);
    EXPECT_TRUE(scanning_at_window);
    EXPECT_EQ(status_at_window, "Looking for COM ports...");
    EXPECT_EQ(listed, std::vector<std::string>{"COM10"});
    EXPECT_EQ(selected, "COM10");
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM10");
    EXPECT_FALSE(APP_PortScanRunning.load());
}

TEST_F(MainDialogTest, ChoosingAPortReopensOnlyWhenTheNameDiffers) {
    Open({2, 9});
    ASSERT_EQ(CurrentDevice(), "\\\\.\\COM3");
    SendDlgItemMessageA(dialog_, IDC_PORTS, CB_SETCURSEL, 0, 0);
    Command(dialog_, IDC_PORTS, CBN_SELCHANGE);
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM10");
    SendDlgItemMessageA(dialog_, IDC_PORTS, CB_SETCURSEL, 1, 0);
    Command(dialog_, IDC_PORTS, CBN_SELCHANGE);
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM3");
    // Other notifications of the list leave the port alone.
    SendDlgItemMessageA(dialog_, IDC_PORTS, CB_SETCURSEL, 0, 0);
    Command(dialog_, IDC_PORTS, CBN_EDITCHANGE);
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM3");
}

TEST_F(MainDialogTest, ASinglePortDisablesTheListAndFocusesStart) {
    Open({2});
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORTS)));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog_, IDC_START));
    EXPECT_EQ(ComboItem(dialog_, 0), "COM3");
    // Ok does not enable a list of one.
    Command(dialog_, IDC_CANCEL);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORTS)));
}

// Ports that come and go after the start, as Windows announces them: an
// arrived port is tried off the dialog's thread and listed once it opens;
// used while nobody has picked one and no handheld has answered, else only
// listed. A port that goes away leaves the list unless it is in use.
TEST_F(MainDialogTest, PortsThatArriveAndLeaveAfterTheStart) {
    Open({2});
    const HWND ports = GetDlgItem(dialog_, IDC_PORTS);
    ASSERT_EQ(Entries(), std::vector<std::string>{"COM3 *"});
    ASSERT_FALSE(IsWindowEnabled(ports));
    const auto listed = [this](std::vector<std::string> want) {
        return PumpUntil([&] { return Entries() == want; }, 5000);
    };

    // A cable plugged in: the adapter just plugged in is the one to use.
    ASSERT_TRUE(TESTBENCH_MapPair(20, 21));
    PortNotice(dialog_, DBT_DEVICEARRIVAL, 20);
    EXPECT_TRUE(listed({"COM20 *", "COM3"}));
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM20");
    EXPECT_TRUE(IsWindowEnabled(ports));
    // Announced but not there (its driver never came up): tried, not listed.
    PortNotice(dialog_, DBT_DEVICEARRIVAL, 40);
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().threads == 0; }, 5000));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"COM20 *", "COM3"}));

    // Gone: out of the list, which one port disables again.
    PortNotice(dialog_, DBT_DEVICEREMOVECOMPLETE, 3);
    EXPECT_EQ(Entries(), std::vector<std::string>{"COM20 *"});
    EXPECT_FALSE(IsWindowEnabled(ports));

    // Once a handheld has answered, a new port is only listed.
    Command(dialog_, ID_NOTIFY_CONNECTED);
    PortNotice(dialog_, DBT_DEVICEARRIVAL, 3);
    EXPECT_TRUE(listed({"COM20 *", "COM3"}));
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM20");
    EXPECT_TRUE(IsWindowEnabled(ports));
    // The port in use stays listed when it goes, to be opened again.
    ASSERT_TRUE(TESTBENCH_Unmap(20));
    PortNotice(dialog_, DBT_DEVICEREMOVECOMPLETE, 20);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"COM20 *", "COM3"}));
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM20");

    // A driver that says only that devices changed: the ports new in the
    // system's list are tried.
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().threads == 0; }, 5000));
    g_devices = {Device(3, "USB Serial Port")};
    COM_SetDeviceListCall(LaptopDevices);
    SendMessageA(dialog_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().threads == 0; }, 5000));
    ASSERT_TRUE(TESTBENCH_MapPair(22, 23));
    g_devices.push_back(Device(22, "USB-SERIAL CH340"));
    const uint32_t tries = UI_GetPortPickerStatus().tries;
    SendMessageA(dialog_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(listed({"COM20 *", "COM22: USB-SERIAL CH340", "COM3: USB Serial Port"}));
    EXPECT_EQ(tries + 1, UI_GetPortPickerStatus().tries);
    ASSERT_TRUE(TESTBENCH_MapPair(20, 21));
}

// Beside each port, what the system's device list says of it; a slow
// adapter's latency timer is named where the port is picked, with its cost
// and what to set, before Start.
TEST_F(MainDialogTest, EntriesSayWhatWindowsCallsTheirDevices) {
    ASSERT_TRUE(TESTBENCH_MapPair(20, 21));
    ASSERT_TRUE(TESTBENCH_MapPair(22, 23));
    g_devices = {
        Device(3, "USB Serial Port", 0, 16),
        Device(4, "USB-SERIAL CH340"),
        Device(7, "Standard Serial over Bluetooth link"),
        Device(8, "Standard Serial over Bluetooth link"),
        Device(10, "Communications Port", 0, 1),
        Device(20, "Generic USB Modem"),
        Device(22, "USB Serial Device", 28),
    };
    COM_SetDeviceListCall(LaptopDevices);
    UseLongFirmware(); // 556 blocks
    Open({2, 9, 19, 21, 5});
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().reads > 0; }, 5000));
    const std::vector<std::string> drawn = {
        "COM10: Communications Port",
        "COM20: Generic USB Modem",
        "COM22: USB Serial Device, driver problem",
        "COM3: USB Serial Port, latency 16 ms *",
        "COM6", // known only by the scan
    };
    EXPECT_EQ(Entries(), drawn);
    UI_PORT_ADVICE advice;
    UI_GetPortAdvice(&advice);
    EXPECT_STREQ(advice.note,
                 "COM3 is slow (latency timer 16 ms): about 9 s more an update. Set it to 1 ms.");
    EXPECT_TRUE(FitsInItsLines(dialog_, IDC_PORT_NOTE));
    EXPECT_NE(std::string(advice.tip)
                  .find("Device Manager, the port, Properties, Port Settings, "
                        "Advanced, Latency Timer, 1 ms"),
              std::string::npos);
    EXPECT_TRUE(IsShown(dialog_, IDC_PORT_NOTE));
    // The dropped list is wide enough for the longest name.
    EXPECT_GT(SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETDROPPEDWIDTH, 0, 0),
              ClientSize(GetDlgItem(dialog_, IDC_PORTS)).cx);

    // A fast port picked: nothing to say.
    SendDlgItemMessageA(dialog_, IDC_PORTS, CB_SETCURSEL, 0, 0);
    Command(dialog_, IDC_PORTS, CBN_SELCHANGE);
    UI_GetPortAdvice(&advice);
    EXPECT_STREQ(advice.note, "");
    EXPECT_FALSE(IsShown(dialog_, IDC_PORT_NOTE));

    // Without a device list, as under Wine, the entries are the ports alone.
    DestroyWindow(dialog_);
    PumpMessages();
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().threads == 0; }, 5000));
    COM_SetDeviceListCall(nullptr);
    Open({2, 9});
    EXPECT_TRUE(PumpUntil([] { return UI_GetPortPickerStatus().reads > 0; }, 5000));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"COM10", "COM3 *"}));
    RECT box = {};
    GetWindowRect(GetDlgItem(dialog_, IDC_PORTS), &box);
    EXPECT_EQ(box.right - box.left,
              SendDlgItemMessageA(dialog_, IDC_PORTS, CB_GETDROPPEDWIDTH, 0, 0));
}

// A port that cannot be opened is said, and kept said while no port is
// open, Start included: no reset of the handheld helps it.
TEST_F(MainDialogTest, APortThatCannotBeOpenedSaysWhy) {
    ASSERT_TRUE(TESTBENCH_MapBusy(25));
    Open({2, 24, 25}); // COM26 has gone since the scan
    const auto pick = [this](const char* text) {
        const LRESULT index =
            SendDlgItemMessageA(dialog_, IDC_PORTS, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                reinterpret_cast<LPARAM>(text));
        SendDlgItemMessageA(dialog_, IDC_PORTS, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        Command(dialog_, IDC_PORTS, CBN_SELCHANGE);
    };
    struct CASE {
        const char* pick;
        const char* status;
    };
    const CASE cases[] = {
        {"COM25", "COM25 cannot be opened - in use by another program"},
        {"COM26", "COM26 cannot be opened - the port is not there"},
        {"COM3", "Disconnected"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.pick);
        pick(c.pick);
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), c.status);
        PumpFor(600); // the look again, while it cannot be opened
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), c.status);
    }
    pick("COM25");
    Command(dialog_, IDC_START);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS),
              "COM25 cannot be opened - in use by another program");
    // Let go by the other program and picked again: open.
    ASSERT_TRUE(TESTBENCH_MapPair(25, 26));
    pick("COM25");
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Disconnected");
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM25");
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());
}

// Start pressed, then a menu opened or the window moved: the handheld's
// answer inside that loop starts the update only once the loop has ended.
TEST_F(MainDialogTest, AnUpdateDueInsideAMenuOrAMoveStartsOnceItEnds) {
    for (const UINT enter : {WM_ENTERMENULOOP, WM_ENTERSIZEMOVE}) {
        SCOPED_TRACE(enter);
        Open({2, 9});
        Command(dialog_, IDC_START);
        SendMessageA(dialog_, enter, 0, 0);
        Command(dialog_, ID_NOTIFY_CONNECTED);
        PumpMessages();
        EXPECT_TRUE(g_execution_states.empty());
        EXPECT_TRUE(UI_IsStartRequested());
        SendMessageA(dialog_, enter == WM_ENTERMENULOOP ? WM_EXITMENULOOP : WM_EXITSIZEMOVE, 0, 0);
        PumpMessages();
        EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), CLEAR_FAILED);
        DestroyWindow(dialog_);
        dialog_ = nullptr;
        PumpMessages();
    }
}

TEST_F(MainDialogTest, ConnectionNotificationsChangeTheViewOnce) {
    Open({2, 9});
    // No worker runs, so the target's record reads as all zeros.
    Command(dialog_, 1024);
    EXPECT_TRUE(UI_IsTargetPresent());
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Connection to target established ()");
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));

    UI_ShowStatus("kept");
    Command(dialog_, 1024);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "kept");

    Command(dialog_, 0); // the worker's tick
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "kept");
    EXPECT_TRUE(UI_IsTargetPresent());

    Command(dialog_, 1025);
    EXPECT_FALSE(UI_IsTargetPresent());
    EXPECT_FALSE(IsShown(dialog_, IDC_STATUS));
    UI_ShowStatus("again");
    Command(dialog_, 1025);
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
}

TEST_F(MainDialogTest, StartWithoutTargetWaitsAndStartsWhenTheTargetAnswers) {
    Open({2, 9});
    EXPECT_NE(QueryEndSession(dialog_), FALSE);
    Command(dialog_, IDC_START);
    EXPECT_TRUE(g_execution_states.empty()); // no update before the target answers
    EXPECT_TRUE(UI_IsStartRequested());
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "No connection - power cycle or reset target");
    EXPECT_TRUE(IsShown(dialog_, IDC_START));

    // The target's answer starts the update; with no worker every job is
    // refused, so the run fails at its first step and the button reads Ok.
    Command(dialog_, 1024);
    EXPECT_FALSE(UI_IsStartRequested());
    EXPECT_FALSE(IsShown(dialog_, IDC_START));
    EXPECT_TRUE(IsShown(dialog_, IDC_CANCEL));
    EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORTS)));
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), CLEAR_FAILED);
    // A failed update lets the machine sleep and the session end again.
    EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
    EXPECT_NE(QueryEndSession(dialog_), FALSE);
    // Nothing else comes onto the status line until the dialog ends: no
    // notice, and no second update from the default button.
    for (const int id : {1025, 1024, IDC_START, 0}) {
        Command(dialog_, id);
        EXPECT_TRUE(IsShown(dialog_, IDC_STATUS)) << id;
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), CLEAR_FAILED) << id;
    }
    EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
    EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
}

// Start pressed, the About box opened, then the handheld answers: the box
// closes and the update runs after it, with the dialog enabled and Cancel
// within reach. Nor does the About box open while the update runs.
TEST_F(MainDialogTest, TheAboutBoxNeverHoldsAnUpdate) {
    Open({2, 9});
    Command(dialog_, IDC_START);
    bool enabled = false;
    bool about_open = true;
    UINT about_item = 0;
    int opened_in_update = -1;
    g_on_execution_state = [&](uint32_t flags) {
        if (flags != KEEP_AWAKE) {
            return;
        }
        enabled = IsWindowEnabled(dialog_) != FALSE;
        about_open = FindAboutBox() != nullptr;
        about_item = GetMenuState(GetSystemMenu(dialog_, FALSE), IDM_ABOUT, MF_BYCOMMAND);
        const int closed = g_about_boxes_closed;
        const UINT_PTR timer = SetTimer(nullptr, 0, 500, CloseAboutBox);
        SendMessageA(dialog_, WM_SYSCOMMAND, IDM_ABOUT, 0);
        KillTimer(nullptr, timer);
        opened_in_update = g_about_boxes_closed - closed;
    };
    PostMessageA(dialog_, WM_COMMAND, ID_NOTIFY_CONNECTED, 0);
    const UINT_PTR timer = SetTimer(nullptr, 0, 2000, CloseAboutBox);
    SendMessageA(dialog_, WM_SYSCOMMAND, IDM_ABOUT, 0);
    PumpMessages();
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_about_boxes_closed, 0); // the answer closed it
    EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
    EXPECT_TRUE(enabled);
    EXPECT_FALSE(about_open);
    EXPECT_NE(about_item & MF_GRAYED, 0u);
    EXPECT_EQ(opened_in_update, 0);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), CLEAR_FAILED);
    EXPECT_EQ(GetMenuState(GetSystemMenu(dialog_, FALSE), IDM_ABOUT, MF_BYCOMMAND) & MF_GRAYED, 0u);
}

TEST_F(MainDialogTest, OkCallsTheHookAndRestoresTheButtons) {
    Open({2, 9});
    UI_SetCancelHook([] { ++g_hook_calls; });
    Command(dialog_, 1024);
    Command(dialog_, IDC_CANCEL);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_TRUE(IsShown(dialog_, IDC_START));
    EXPECT_FALSE(IsShown(dialog_, IDC_CANCEL));
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "");
    EXPECT_FALSE(UI_IsTargetPresent());
}

TEST_F(MainDialogTest, EscapeAndCloseCallTheHook) {
    Open({2, 9});
    Command(dialog_, IDCANCEL);
    EXPECT_EQ(g_hook_calls, 0); // no hook yet: nothing to call
    UI_SetCancelHook([] { ++g_hook_calls; });
    Command(dialog_, IDCANCEL);
    SendMessageA(dialog_, WM_CLOSE, 0, 0);
    EXPECT_EQ(g_hook_calls, 2);
}

// Each picture fills its frame at the window's DPI, and follows a move to a
// monitor of another scaling; the icon is loaded at its frame's size.
TEST_F(MainDialogTest, PicturesAreDrawnForTheWindowsDpi) {
    EXPECT_EQ(UI_PictureResource(IDB_HANDHELD, 96), IDB_HANDHELD);
    EXPECT_EQ(UI_PictureResource(IDB_HANDHELD, 97), IDB_HANDHELD_125);
    EXPECT_EQ(UI_PictureResource(IDB_LOGO, 144), IDB_LOGO_150);
    EXPECT_EQ(UI_PictureResource(IDB_LOGO, 168), IDB_LOGO_200);
    EXPECT_EQ(UI_PictureResource(IDB_LOGO, 288), IDB_LOGO_200);

    Open({2, 9});
    const HWND picture = GetDlgItem(dialog_, IDC_PICTURE);
    const HWND logo = FindLogo(dialog_);
    const HWND icon = FindIcon(dialog_);
    ASSERT_NE(logo, nullptr);
    ASSERT_NE(icon, nullptr);
    const auto expect_drawn_for = [&](int dpi) {
        SCOPED_TRACE(dpi);
        const SIZE handheld = {MulDiv(116, dpi, 96), MulDiv(169, dpi, 96)};
        const SIZE engine = {MulDiv(140, dpi, 96), MulDiv(66, dpi, 96)};
        EXPECT_TRUE(SameSize(ImageSize(picture), handheld));
        EXPECT_TRUE(SameSize(ClientSize(picture), handheld));
        EXPECT_TRUE(SameSize(ImageSize(logo), engine));
        EXPECT_TRUE(SameSize(ClientSize(logo), engine));
        EXPECT_TRUE(SameSize(ImageSize(icon), ClientSize(icon)));
    };
    expect_drawn_for(static_cast<int>(UI_GetWindowDpi(dialog_)));
    for (const int dpi : {192, 110, 96}) {
        SendMessageA(dialog_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), 0);
        PumpMessages();
        expect_drawn_for(dpi);
    }
}

TEST_F(MainDialogTest, TheWindowSlotEmptiesWhenTheDialogIsGone) {
    Open({2, 9});
    ASSERT_EQ(UI_GetDialogWindow(), dialog_);
    DestroyWindow(dialog_);
    dialog_ = nullptr;
    EXPECT_EQ(UI_GetDialogWindow(), nullptr);
    UI_SetProgress(3); // reaches nothing, fails nothing
}

// Runs on the test's thread whenever the wake-up timer fires, also inside
// the job runner's loop.
std::function<void()> g_on_wake;

void CALLBACK OnWakeTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_on_wake) {
        g_on_wake();
    }
}

// The real worker polls the simulated handheld on the suite's cable: the
// dialog opens COM3, the handheld answers on COM10. A timer wakes the job
// runner's loop every few ms, as mouse moves over the window do.
class DialogUpdateTest : public MainDialogTest {
  protected:
    void SetUp() override { timer_ = SetTimer(nullptr, 0, WAKE_MS, OnWakeTimer); }
    void TearDown() override {
        KillTimer(nullptr, timer_);
        g_on_wake = nullptr;
        WORKER_Stop();
        StopTarget();
        MainDialogTest::TearDown();
    }
    void StartTarget(const SIM_FAULTS& faults) {
        StopTarget();
        SIM_CONFIG config;
        config.long_form = false;
        config.crc_start[0] = FIRMWARE_BASE;
        config.crc_length[0] = SMALL_FIRMWARE_SIZE;
        config.faults = faults;
        sim_ = SIM_Create(config);
        ASSERT_TRUE(SIM_Start(sim_, TESTBENCH_PortPath(TARGET_PORT).c_str()));
        WORKER_Start();
        ASSERT_TRUE(WORKER_IsRunning());
    }
    void StopTarget() {
        if (sim_ != nullptr) {
            SIM_Stop(sim_);
            SIM_Destroy(sim_);
            sim_ = nullptr;
        }
    }
    void OpenConnected() {
        Open({UPDATER_PORT - 1, TARGET_PORT - 1});
        ASSERT_TRUE(PumpUntil([] { return UI_IsTargetPresent(); }, CONNECT_MS));
    }
    UINT_PTR timer_ = 0;
    SIM* sim_ = nullptr;
};

TEST_F(DialogUpdateTest, SuccessStaysShownWhateverTheStoppedWorkerPosted) {
    SIM_FAULTS faults;
    faults.silent_after_start = true;
    StartTarget(faults);
    OpenConnected();
    // The technician looks at another program's window meanwhile.
    const HWND other = CreateWindowExA(0, "STATIC", "another program", WS_POPUP | WS_VISIBLE, 0, 0,
                                       50, 50, nullptr, nullptr, TestInstance(), nullptr);
    SetForegroundWindow(other);
    ASSERT_EQ(other, GetForegroundWindow());
    const UI_TASKBAR_STATUS before = UI_GetTaskbarStatus();
    Command(dialog_, IDC_START);
    DestroyWindow(other);
    EXPECT_FALSE(WORKER_IsRunning());
    // The button showed the progress and is cleared; the window, not in
    // front, flashes for the technician.
    const UI_TASKBAR_STATUS bar = UI_GetTaskbarStatus();
    EXPECT_TRUE(bar.attached);
    EXPECT_EQ(UI_TASKBAR_STATE::NONE, bar.state);
    EXPECT_GT(bar.progress_calls, before.progress_calls);
    EXPECT_EQ(before.flashes + 1, bar.flashes);
    EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
    EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
    EXPECT_NE(QueryEndSession(dialog_), FALSE);
    // The handheld runs its application now: the poll that the stop waited
    // out went unanswered, and its notice was still queued.
    PumpMessages();
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Target updated successfully");
    // Nor does any other notice from before the stop, whatever its order.
    PostMessageA(dialog_, WM_COMMAND, ID_NOTIFY_DISCONNECTED, 0);
    PostMessageA(dialog_, WM_COMMAND, ID_NOTIFY_CONNECTED, 0);
    PumpMessages();
    EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Target updated successfully");
    EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
}

// The status line says at which step an update failed, in one line, and keeps
// saying it whatever the worker reports afterwards.
TEST_F(DialogUpdateTest, AFailedUpdateSaysWhereItStoppedUntilTheEnd) {
    struct CASE {
        const char* name;
        SIM_FAULTS faults;
        const char* text;
    };
    std::vector<CASE> cases(5);
    cases[0] = {"flash not blank", {}, CLEAR_FAILED};
    cases[0].faults.not_blank = true;
    // A refused block leaves error frames on the line; the next case's
    // handheld must still be found behind them.
    cases[1] = {"block refused", {}, PROGRAM_FAILED};
    cases[1].faults.nak_block = 1;
    // Silent after the last block for longer than the CRC job asks, then
    // back: a new connection, which the make-valid job must not run on.
    cases[2] = {"target gone after the last block", {}, MAKE_VALID_FAILED};
    cases[2].faults.vanish_after_blocks = 1;
    cases[2].faults.vanish_ms = 7000;
    cases[3] = {"CRC differs", {}, CRC_FAILED};
    cases[3].faults.wrong_crc = true;
    // Told only once the image is valid: it must be updated again.
    cases[4] = {"CRC differs after make valid", {}, CRC_FAILED_VALID};
    cases[4].faults.wrong_crc = true;
    cases[4].faults.crc_refused_before_valid = true;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        StartTarget(c.faults);
        OpenConnected();
        Command(dialog_, IDC_START);
        EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), c.text);
        EXPECT_TRUE(FitsOnOneLine(dialog_, IDC_STATUS));
        EXPECT_EQ(UI_TASKBAR_STATE::FAILED, UI_GetTaskbarStatus().state); // red
        PostMessageA(dialog_, WM_COMMAND, ID_NOTIFY_DISCONNECTED, 0);
        PostMessageA(dialog_, WM_COMMAND, ID_NOTIFY_CONNECTED, 0);
        PumpFor(500);
        EXPECT_TRUE(IsShown(dialog_, IDC_STATUS));
        EXPECT_EQ(ControlText(dialog_, IDC_STATUS), c.text);
        DestroyWindow(dialog_);
        dialog_ = nullptr;
        PumpMessages();
        EXPECT_FALSE(UI_GetTaskbarStatus().attached);
        EXPECT_EQ(UI_TASKBAR_STATE::NONE, UI_GetTaskbarStatus().state);
    }
}

// Keys go to the focused Cancel button while the programming job runs: Enter
// first, which must do nothing, then the key that cancels.
TEST_F(DialogUpdateTest, EnterLeavesARunningUpdateAloneEscapeAndSpaceCancelIt) {
    UseLongFirmware();
    StartTarget(SIM_FAULTS());
    for (const WORD key : {VK_SPACE, VK_ESCAPE}) {
        SCOPED_TRACE(key == VK_SPACE ? "Space" : "Esc");
        OpenConnected();
        // Shown, or the focus cannot move to Cancel.
        ShowWindow(dialog_, SW_SHOW);
        const HWND cancel = GetDlgItem(dialog_, IDC_CANCEL);
        int stage = 0;
        bool focused = false;
        bool enter_cancelled = false;
        uint32_t cancels = 0;
        LRESULT end_session = TRUE;
        g_on_wake = [&] {
            if (stage == 0 && JOB_KIND.load() == CMD_PROGRAM) {
                focused = GetFocus() == cancel;
                end_session = QueryEndSession(dialog_);
                cancels = WORKER_GetCancelCount();
                PostKey(cancel, VK_RETURN);
                stage = 1;
            } else if (stage == 1) {
                // Timers come only once the queue is empty: Enter has been handled.
                enter_cancelled = WORKER_GetCancelCount() != cancels || JOB_KIND.load() == JOB_IDLE;
                PostKey(cancel, key);
                stage = 2;
            }
        };
        Command(dialog_, IDC_START);
        g_on_wake = nullptr;
        EXPECT_EQ(stage, 2) << "the update ended before the cancelling key";
        EXPECT_TRUE(focused);
        EXPECT_EQ(end_session, FALSE); // the session may not end mid-update
        EXPECT_FALSE(enter_cancelled);
        EXPECT_NE(WORKER_GetCancelCount(), cancels);
        EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
        EXPECT_NE(ControlText(dialog_, IDC_STATUS), "Target updated successfully");
        EXPECT_EQ(SIM_GetStats(sim_).made_valid, 0u);
        EXPECT_EQ(g_execution_states, HELD_AND_RELEASED);
        EXPECT_NE(QueryEndSession(dialog_), FALSE);
        DestroyWindow(dialog_);
        dialog_ = nullptr;
        PumpMessages();
    }
}

// The adapter pulled mid-update: the update fails as it must, with nothing
// made valid. Put back, the same port is opened again by itself, the polls
// find the handheld, and Start updates it.
TEST_F(DialogUpdateTest, APulledAdapterFailsTheUpdateAndComesBackForTheNext) {
    UseLongFirmware();
    StartTarget(SIM_FAULTS());
    OpenConnected();
    bool pulled = false;
    g_on_wake = [&] {
        if (!pulled && JOB_KIND.load() == CMD_PROGRAM) {
            pulled = TESTBENCH_Unplug(UPDATER_PORT, TARGET_PORT);
        }
    };
    Command(dialog_, IDC_START);
    g_on_wake = nullptr;
    ASSERT_TRUE(pulled);
    EXPECT_EQ(ControlText(dialog_, IDC_CANCEL), "Ok");
    EXPECT_NE(ControlText(dialog_, IDC_STATUS), "Target updated successfully");
    EXPECT_EQ(SIM_GetStats(sim_).made_valid, 0u);
    // The failure stays on the dialog's status line; the worker's polls are
    // what tell the handheld is gone and found again.
    ASSERT_TRUE(PumpUntil([] { return !TARGET_IsConnected(); }, CONNECT_MS));

    // Back, with the handheld reset into its boot loader.
    SIM_Stop(sim_);
    SIM_Destroy(sim_);
    sim_ = nullptr;
    ASSERT_TRUE(TESTBENCH_MapPair(UPDATER_PORT, TARGET_PORT));
    const ULONGLONG back = GetTickCount64();
    StartTarget(SIM_FAULTS());
    ASSERT_TRUE(PumpUntil([] { return TARGET_IsConnected(); }, CONNECT_MS));
    std::printf("target found again %llu ms after the adapter came back\n",
                GetTickCount64() - back);
    EXPECT_EQ(CurrentDevice(), "\\\\.\\COM3");

    DestroyWindow(dialog_);
    OpenConnected();
    Command(dialog_, IDC_START);
    EXPECT_EQ(ControlText(dialog_, IDC_STATUS), "Target updated successfully");
    EXPECT_EQ(SIM_GetStats(sim_).made_valid, 1u);
    COM_STATUS status = {};
    COM_GetStatus(&status);
    EXPECT_EQ(status.lost, 0);
}

TEST(MainDialogTemplate, ControlsKindsAndKeyboardOrder) {
    HWND dialog = CreateMainTemplate(
        [](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR { return m == WM_INITDIALOG ? TRUE : FALSE; });
    ASSERT_NE(dialog, nullptr);
    const auto style = [&](int id) { return GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE); };
    EXPECT_EQ(style(IDC_PORTS) & 0x3, CBS_DROPDOWN);
    EXPECT_NE(style(IDC_PORTS) & CBS_SORT, 0);
    EXPECT_EQ(style(IDC_START) & 0xF, BS_DEFPUSHBUTTON);
    EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), IDC_START);
    EXPECT_FALSE(IsShown(dialog, IDC_CANCEL));
    EXPECT_EQ(GetNextDlgTabItem(dialog, GetDlgItem(dialog, IDC_PORTS), FALSE),
              GetDlgItem(dialog, IDC_START));

    RECT start = {}, cancel = {};
    GetWindowRect(GetDlgItem(dialog, IDC_START), &start);
    GetWindowRect(GetDlgItem(dialog, IDC_CANCEL), &cancel);
    EXPECT_TRUE(EqualRect(&start, &cancel));

    const auto bitmap = reinterpret_cast<HBITMAP>(
        SendDlgItemMessageA(dialog, IDC_PICTURE, STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(bitmap, nullptr);
    BITMAP info = {};
    GetObjectA(bitmap, sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 116);
    EXPECT_EQ(info.bmHeight, 169);

    // The icon fills its bordered frame instead of taking the icon's own size.
    const HWND icon = FindIcon(dialog);
    ASSERT_NE(icon, nullptr);
    EXPECT_NE(SendMessageA(icon, STM_GETICON, 0, 0), 0);
    EXPECT_TRUE(IsBordered(icon));
    EXPECT_TRUE(IsAtTemplatePlace(dialog, icon, 329, 7, 20, 20));
    DestroyWindow(dialog);
}

TEST(CenterWindow, ThirdDownAndCentredTruncatingTowardZero) {
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 301, 200, nullptr, nullptr,
                                  TestInstance(), nullptr);
    ASSERT_NE(window, nullptr);
    RECT desktop = {};
    GetWindowRect(GetDesktopWindow(), &desktop);

    UI_CenterWindow(window, 301, 200);
    RECT placed = {};
    GetWindowRect(window, &placed);
    EXPECT_EQ(placed.left, (desktop.right - 301) / 2);
    EXPECT_EQ(placed.top, (desktop.bottom - 200) / 3);
    EXPECT_EQ(placed.right - placed.left, 301); // size kept

    // Larger than the desktop: negative places, rounded toward zero.
    const int wide = desktop.right + 77;
    const int tall = desktop.bottom + 4;
    UI_CenterWindow(window, wide, tall);
    GetWindowRect(window, &placed);
    EXPECT_EQ(placed.left, -38);
    EXPECT_EQ(placed.top, -1);
    DestroyWindow(window);
}

TEST(AboutBox, ShowsTheTitleLegalLineAndIconAndEndsOnEnterOrEscape) {
    HWND about =
        CreateDialogParamA(TestInstance(), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutDlgProc, 0);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(ControlText(about, IDC_ABOUT_VERSION), TITLE);
    EXPECT_EQ(ControlText(about, IDC_ABOUT_LEGAL), UI_DEVICE_LEGAL_LINE);
    EXPECT_TRUE(AboutDlgProc(about, WM_COMMAND, IDOK, 0));
    EXPECT_TRUE(AboutDlgProc(about, WM_COMMAND, IDCANCEL, 0));
    EXPECT_FALSE(AboutDlgProc(about, WM_COMMAND, MAKEWPARAM(IDOK, 1), 0));
    const HWND icon = FindIcon(about);
    ASSERT_NE(icon, nullptr);
    EXPECT_NE(SendMessageA(icon, STM_GETICON, 0, 0), 0);
    EXPECT_FALSE(IsBordered(icon));
    EXPECT_TRUE(IsAtTemplatePlace(about, icon, 199, 7, 20, 20));
    DestroyWindow(about);
}

} // namespace
