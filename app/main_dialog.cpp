// The main dialog and the About box.
#include "app/main_dialog.h"

#include "app/app_state.h"
#include "app/resource.h"
#include "app/scaling.h"
#include "app/display.h"
#include "app/port_picker.h"
#include "app/taskbar.h"
#include "app/version.h"
#include "com/com.h"
#include "target/display.h"
#include "target/job.h"
#include "target/target_info.h"

#include <dbt.h>

#include <cstdio>
#include <cstring>

const char UI_PRODUCT_NAME[] = "Tidewell Handheld";
const char UI_DEVICE_LEGAL_LINE[] = "Copyright (C) Varnel Instruments. All rights reserved.";
const char UI_ENGINE_LEGAL_LINE[] = "Quillon engine (C) Kestrelwick Software. All rights reserved.";

namespace {

constexpr int VERSION_MAJOR = TW_VERSION_MAJOR;
constexpr int VERSION_MINOR = TW_VERSION_MINOR;
constexpr int VERSION_PATCH = TW_VERSION_PATCH;
constexpr UI_PICTURE HANDHELD_PICTURE = {IDB_HANDHELD, 116, 169};
constexpr UI_PICTURE LOGO_PICTURE = {IDB_LOGO, 140, 66};
// Posted on a DPI change, so the pictures are put in once the dialog manager
// has laid the dialog out anew; wparam is the new DPI.
constexpr UINT RESCALE_ART = WM_APP + 1;
// Posted when the About box has closed: an update that became due while it
// was open starts now, from the dialog's own loop.
constexpr UINT RUN_DUE_UPDATE = WM_APP + 3; // beside UI_PORTS_FOUND
// Posted as the dialog starts, so its taskbar button is taken hold of once it
// is shown (Wine never says that the button exists).
constexpr UINT ATTACH_TASKBAR = WM_APP + 7;
// Every message posted to the dialog, its own and the others', apart.
constexpr UINT POSTED[] = {RESCALE_ART,     UI_PORTS_FOUND,      RUN_DUE_UPDATE, UI_PORT_TRIED,
                           UI_DEVICES_READ, UI_PROGRESS_PERCENT, ATTACH_TASKBAR};
constexpr bool AllApart(const UINT* ids, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = i + 1; j < count; ++j) {
            if (ids[i] == ids[j]) {
                return false;
            }
        }
    }
    return true;
}
static_assert(AllApart(POSTED, sizeof POSTED / sizeof POSTED[0]), "posted message ids collide");
// While the port in use cannot be opened, this often the dialog looks again.
constexpr UINT_PTR PORT_STATE_TIMER = 1;
constexpr UINT PORT_STATE_MS = 500;

// What the status line says when an update stops at a step.
const char* FailureText(UPDATE_STEP step) {
    switch (step) {
    case UPDATE_STEP::CLEAR:
        return "Update failed while clearing - reset target, restart updater";
    case UPDATE_STEP::PROGRAM:
        return "Update failed while programming - reset target, restart updater";
    case UPDATE_STEP::CRC_BEFORE_VALID:
        return "Update failed at CRC check - reset target, restart updater";
    case UPDATE_STEP::MAKE_VALID:
        return "Update failed at make valid - reset target, restart updater";
    default:
        // The image is marked valid but not proven: it must not be used.
        return "Update failed at CRC check - update the handheld again before use";
    }
}

char g_title[UI_TITLE_SIZE] = {};
// The dialog's view of the target, and Start pressed with the update not yet begun.
bool g_target_present = false;
bool g_start_requested = false;
// Set once an update has ended: its result stands on the status line until
// the dialog ends. After a success the worker is stopped, and what it posted
// before (the target leaving its boot loader, say) may still be queued; after
// a failure a connection text would read like a finished job.
bool g_update_ended = false;
// The About box while it is open: an update must not run inside its loop,
// with the main dialog disabled and Cancel out of reach.
HWND g_about = nullptr;
// Set once the port list has been filled from the scan's result.
bool g_ports_listed = false;
const char LOOKING_FOR_PORTS[] = "Looking for COM ports...";
const char DISCONNECTED[] = "Disconnected";
// Why the port in use cannot be opened, while the status line says so.
COM_OPEN_FAILURE g_failure_shown = COM_OPEN_FAILURE::NONE;
// The modal loops of the system menu and of a move or resize that are open:
// an update that becomes due inside one starts once it has ended.
int g_modal_loops = 0;

void FormatTitle() {
    std::snprintf(g_title, sizeof g_title, "%s v%d.%d.%d", UI_PRODUCT_NAME, VERSION_MAJOR,
                  VERSION_MINOR, VERSION_PATCH);
}

HWND Item(int id) {
    return GetDlgItem(static_cast<HWND>(UI_GetDialogWindow()), id);
}

void FocusControl(HWND dialog, int id) {
    const HWND control = GetDlgItem(dialog, id);
    // A hidden control must not take the focus, or the keyboard is lost.
    if (control != nullptr && IsWindowVisible(control)) {
        SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
}

// The statics with no id of their own: the engine's logo and the icon.
HWND FindStatic(HWND dialog, LONG type, int skip_id) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        char kind[16] = {};
        GetClassNameA(child, kind, sizeof kind);
        if (lstrcmpiA(kind, "Static") == 0 &&
            (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == type &&
            GetDlgCtrlID(child) != skip_id) {
            return child;
        }
    }
    return nullptr;
}

void ScaleArt(HWND dialog, UINT dpi) {
    UI_ScalePicture(GetDlgItem(dialog, IDC_PICTURE), HANDHELD_PICTURE, dpi);
    UI_ScalePicture(FindStatic(dialog, SS_BITMAP, IDC_PICTURE), LOGO_PICTURE, dpi);
    UI_ScaleIcon(FindStatic(dialog, SS_ICON, 0), IDI_UPDATER);
}

void ReleaseArt(HWND dialog) {
    UI_ReleaseImage(GetDlgItem(dialog, IDC_PICTURE));
    UI_ReleaseImage(FindStatic(dialog, SS_BITMAP, IDC_PICTURE));
    UI_ReleaseImage(FindStatic(dialog, SS_ICON, 0));
}

void CallCancelHook() {
    const UI_CANCEL_HOOK hook = UI_GetCancelHook();
    if (hook != nullptr) {
        hook();
    }
}

// The scan's ports into the list, and the first of them that opens (in scan
// order, the lowest number) is used. With none, the dialog ends and start-up
// says so.
void ListPorts(HWND hwnd) {
    if (g_ports_listed) {
        return;
    }
    g_ports_listed = true;
    const HWND ports = GetDlgItem(hwnd, IDC_PORTS);
    const int32_t listed = UI_FillPortList(ports);
    if (listed == 0) {
        EndDialog(hwnd, APP_DIALOG_NO_PORT);
        return;
    }
    char status[sizeof LOOKING_FOR_PORTS + 1] = {};
    GetDlgItemTextA(hwnd, IDC_STATUS, status, sizeof status);
    if (std::strcmp(status, LOOKING_FOR_PORTS) == 0) {
        UI_ShowStatus(DISCONNECTED);
    }
    if (listed == 1) {
        SetFocus(GetDlgItem(hwnd, IDC_START));
    } else {
        SetFocus(ports);
    }
}

// "COM5 cannot be opened - in use by another program": the port in use.
void FormatOpenFailure(char* out, size_t size, COM_OPEN_FAILURE failure) {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    const char* name = config.device_name;
    const int length = static_cast<int>(strnlen(name, COM_DEVICE_NAME_SIZE));
    const int skip = std::strncmp(name, "\\\\.\\", 4) == 0 ? 4 : 0;
    const char* why = "";
    switch (failure) {
    case COM_OPEN_FAILURE::IN_USE:
        why = "in use by another program";
        break;
    case COM_OPEN_FAILURE::GONE:
        why = "the port is not there";
        break;
    case COM_OPEN_FAILURE::TOO_SLOW:
        why = "it does not answer (a Bluetooth device off?)";
        break;
    default:
        why = "it refused the line settings";
        break;
    }
    std::snprintf(out, size, "%.*s cannot be opened - %s", length - skip, name + skip, why);
}

// After the port in use may have been opened anew: while it is not open the
// status line says why, and once it is, that text goes.
void ShowPortState(HWND hwnd) {
    if (!g_ports_listed || g_update_ended || UPDATE_IsRunning()) {
        return;
    }
    const COM_OPEN_FAILURE failure = COM_GetOpenFailure();
    if (failure == g_failure_shown) {
        return;
    }
    if (failure == COM_OPEN_FAILURE::NONE) {
        KillTimer(hwnd, PORT_STATE_TIMER);
        g_failure_shown = failure;
        UI_ShowStatus(DISCONNECTED);
        return;
    }
    char text[UI_STATUS_TEXT_SIZE];
    FormatOpenFailure(text, sizeof text, failure);
    UI_ShowStatus(text);
    if (g_failure_shown == COM_OPEN_FAILURE::NONE) {
        SetTimer(hwnd, PORT_STATE_TIMER, PORT_STATE_MS, nullptr);
    }
    g_failure_shown = failure;
}

void InitMainDialog(HWND hwnd) {
    const HMENU system_menu = GetSystemMenu(hwnd, FALSE);
    if (system_menu != nullptr) {
        AppendMenuA(system_menu, MF_STRING, IDM_ABOUT, "About...");
    }
    UI_SetDialogWindow(hwnd);
    ScaleArt(hwnd, UI_GetWindowDpi(hwnd));
    g_target_present = false;
    g_start_requested = false;
    g_update_ended = false;
    g_ports_listed = false;
    g_failure_shown = COM_OPEN_FAILURE::NONE;
    g_modal_loops = 0;
    UI_StartPortPicker(hwnd);
    PostMessageA(hwnd, ATTACH_TASKBAR, 0, 0);

    RECT rect;
    GetWindowRect(hwnd, &rect);
    UI_CenterWindow(hwnd, rect.right - rect.left, rect.bottom - rect.top);

    FormatTitle();
    SetWindowTextA(hwnd, g_title);
    SetDlgItemTextA(hwnd, IDC_TITLE, g_title);
    ShowWindow(GetDlgItem(hwnd, IDC_CANCEL), SW_HIDE);

    // The scan may still run (a port whose open blocks): the window is up
    // all the same, and the list is filled when the scan has ended.
    if (APP_PortScanRunning.load()) {
        EnableWindow(GetDlgItem(hwnd, IDC_PORTS), FALSE);
        UI_ShowStatus(LOOKING_FOR_PORTS);
        SetFocus(GetDlgItem(hwnd, IDC_START));
    } else {
        ListPorts(hwnd);
    }
    ShowPortState(hwnd);
}

void OnConnected(HWND hwnd) {
    if (g_target_present || g_update_ended) {
        return;
    }
    // Queued from the port before a pick whose open failed.
    if (g_failure_shown != COM_OPEN_FAILURE::NONE &&
        COM_GetOpenFailure() != COM_OPEN_FAILURE::NONE) {
        return;
    }
    UI_NoteTargetAnswered();
    if (g_failure_shown != COM_OPEN_FAILURE::NONE) {
        KillTimer(hwnd, PORT_STATE_TIMER);
        g_failure_shown = COM_OPEN_FAILURE::NONE;
    }
    FocusControl(hwnd, IDC_START);
    TARGET_INFO info;
    TARGET_GetInfo(&info);
    // The length comes from the target; never read past the text it fills.
    int length = info.text2_len;
    if (length > TARGET_TEXT_SIZE) {
        length = TARGET_TEXT_SIZE;
    }
    char text[UI_STATUS_TEXT_SIZE];
    std::snprintf(text, sizeof text, "Connection to target established (%*.*s)", length, length,
                  reinterpret_cast<const char*>(info.text2));
    UI_ShowStatus(text);
    g_target_present = true;
    if (g_start_requested) {
        if (g_about != nullptr) {
            // Start was pressed before the box was opened: close it, and the
            // update starts once it has gone.
            EndDialog(g_about, 0);
        } else if (g_modal_loops == 0) {
            UI_RunUpdate();
        } // else once the menu, the move or the resize has ended
    }
}

void OnDisconnected(HWND hwnd) {
    if (g_target_present && !g_update_ended) {
        g_target_present = false;
        // Why the port picked since cannot be opened stays in view.
        if (g_failure_shown == COM_OPEN_FAILURE::NONE) {
            ShowWindow(GetDlgItem(hwnd, IDC_STATUS), SW_HIDE);
        }
    }
}

void OnStart() {
    // After a run the hidden Start is still the default button.
    if (g_update_ended) {
        return;
    }
    g_start_requested = true;
    if (g_target_present) {
        UI_RunUpdate();
        return;
    }
    MessageBeep(MB_ICONHAND);
    // No reset helps a port that cannot be opened.
    const COM_OPEN_FAILURE failure = COM_GetOpenFailure();
    if (failure != COM_OPEN_FAILURE::NONE) {
        char text[UI_STATUS_TEXT_SIZE];
        FormatOpenFailure(text, sizeof text, failure);
        UI_ShowStatus(text);
    } else {
        UI_ShowStatus("No connection - power cycle or reset target");
    }
}

// A modal loop ended: an update that became due inside it starts now, from
// the dialog's own loop.
void OnModalLoopEnded(HWND hwnd) {
    if (g_modal_loops > 0) {
        --g_modal_loops;
    }
    if (g_modal_loops == 0 && g_start_requested) {
        PostMessageA(hwnd, RUN_DUE_UPDATE, 0, 0);
    }
}

void OnCancelOrOk(HWND hwnd) {
    CallCancelHook();
    if (SendDlgItemMessageA(hwnd, IDC_PORTS, CB_GETCOUNT, 0, 0) > 1) {
        EnableWindow(GetDlgItem(hwnd, IDC_PORTS), TRUE);
    }
    ShowWindow(GetDlgItem(hwnd, IDC_START), SW_SHOW);
    ShowWindow(GetDlgItem(hwnd, IDC_CANCEL), SW_HIDE);
    UI_ShowStatus("");
    g_target_present = false;
    g_start_requested = false;
    EndDialog(hwnd, 0);
}

void OnEscape(HWND hwnd) {
    CallCancelHook();
    EndDialog(hwnd, 0);
}

// One line for a debugger (under Wine: WINEDEBUG=+debugstr) on how the update
// ended: the step, the block sent last, whether its last send was
// acknowledged, and what the serial layer saw.
void ReportUpdate(const UPDATE_OUTCOME& outcome) {
    COM_STATUS s;
    COM_GetStatus(&s);
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s: update ended with %d at step %d%s; last block 0x%08X %s; serial: writes "
                  "%u, waited %u, dropped %u, refused %u (last error %u); reads cut off %u, let "
                  "go late %u, waited for a slot %u, without one %u\n",
                  UI_PRODUCT_NAME, static_cast<int>(outcome.result), static_cast<int>(outcome.step),
                  outcome.made_valid ? " (made valid)" : "",
                  static_cast<unsigned>(outcome.last_block),
                  outcome.last_block_acknowledged ? "acknowledged" : "not acknowledged", s.writes,
                  s.write_waits, s.writes_dropped, s.writes_refused, s.last_write_error,
                  s.reads_cut_off, s.reads_let_go_late, s.read_slot_waits, s.reads_without_slot);
    OutputDebugStringA(text);
}

void ShowAbout(HWND hwnd) {
    // Nothing may disable the dialog while an update runs.
    if (UPDATE_IsRunning()) {
        return;
    }
    DialogBoxParamA(static_cast<HINSTANCE>(APP_Instance), MAKEINTRESOURCEA(IDD_ABOUT), hwnd,
                    AboutDlgProc, 0);
    if (g_start_requested) {
        PostMessageA(hwnd, RUN_DUE_UPDATE, 0, 0);
    }
}

} // namespace

const char* UI_GetTitle() {
    if (g_title[0] == '\0') {
        FormatTitle();
    }
    return g_title;
}

bool UI_IsTargetPresent() {
    return g_target_present;
}

bool UI_IsStartRequested() {
    return g_start_requested;
}

void UI_CenterWindow(HWND hwnd, int width, int height) {
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const int x = (desktop.right - width) / 2;
    const int y = (desktop.bottom - height) / 3;
    SetWindowPos(hwnd, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

void UI_RunUpdate() {
    // The update dispatches messages while it runs; a connection reported
    // inside it must not start a second one.
    if (UPDATE_IsRunning()) {
        return;
    }
    const HWND dialog = static_cast<HWND>(UI_GetDialogWindow());
    UI_PortsUpdateBegins(dialog);
    ShowWindow(Item(IDC_START), SW_HIDE);
    ShowWindow(Item(IDC_CANCEL), SW_SHOW);
    FocusControl(dialog, IDC_CANCEL);
    SetWindowTextA(Item(IDC_CANCEL), "Cancel");

    const HMENU system_menu = GetSystemMenu(dialog, FALSE);
    EnableMenuItem(system_menu, IDM_ABOUT, MF_BYCOMMAND | MF_GRAYED);

    UI_TaskbarBegin();
    UPDATE_Run();
    const UPDATE_OUTCOME outcome = UPDATE_GetOutcome();
    ReportUpdate(outcome);
    // A cancel ends the dialog, which clears the button as it goes.
    if (!outcome.cancelled) {
        UI_TaskbarEnd(outcome.step == UPDATE_STEP::DONE);
    }

    SetWindowTextA(Item(IDC_CANCEL), "Ok");
    if (outcome.step == UPDATE_STEP::DONE) {
        UI_ShowStatus("Target updated successfully");
    } else if (!outcome.cancelled) {
        UI_ShowStatus(FailureText(outcome.step));
    }
    g_update_ended = true;
    KillTimer(dialog, PORT_STATE_TIMER);
    EnableMenuItem(system_menu, IDM_ABOUT, MF_BYCOMMAND | MF_ENABLED);
    g_start_requested = false;
    UI_PortsUpdateEnded(dialog);
}

INT_PTR CALLBACK MainDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        InitMainDialog(hwnd);
        return FALSE; // the focus has been set
    case WM_COMMAND: {
        const UINT id = LOWORD(wparam);
        if (id == IDC_PORTS && HIWORD(wparam) == CBN_SELCHANGE &&
            UI_OnPortPicked(GetDlgItem(hwnd, IDC_PORTS))) {
            ShowPortState(hwnd);
        }
        switch (id) {
        case IDC_START:
            OnStart();
            return FALSE;
        case IDC_CANCEL:
            OnCancelOrOk(hwnd);
            return TRUE;
        case IDCANCEL:
            OnEscape(hwnd);
            return TRUE;
        case ID_NOTIFY_CONNECTED:
            OnConnected(hwnd);
            return FALSE;
        case ID_NOTIFY_DISCONNECTED:
            OnDisconnected(hwnd);
            return FALSE;
        default:
            return FALSE;
        }
    }
    case WM_CLOSE:
        OnEscape(hwnd);
        return TRUE;
    case WM_QUERYENDSESSION:
        // Ending the session would cut the update off with the flash half
        // written; at any other time the session ends as usual.
        if (!UPDATE_IsRunning()) {
            return FALSE;
        }
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, FALSE);
        return TRUE;
    case WM_DPICHANGED:
        // Where the system scales per-monitor dialogs itself it does so after
        // this; the default handling goes on. (Wine, with one DPI for every
        // monitor, sends none.)
        PostMessageA(hwnd, RESCALE_ART, LOWORD(wparam), 0);
        return FALSE;
    case RESCALE_ART:
        ScaleArt(hwnd, static_cast<UINT>(wparam));
        UI_RescalePortList(hwnd);
        return TRUE;
    case RUN_DUE_UPDATE:
        // Looked at again: the target may have gone since this was posted.
        if (g_start_requested && g_target_present && g_modal_loops == 0) {
            UI_RunUpdate();
        }
        return TRUE;
    case UI_PORTS_FOUND:
        ListPorts(hwnd);
        ShowPortState(hwnd);
        return TRUE;
    case WM_DEVICECHANGE:
        if (UI_OnDeviceChange(hwnd, wparam, lparam)) {
            ShowPortState(hwnd);
        }
        return FALSE; // the default answer grants what a query asks
    case UI_PORT_TRIED:
        if (UI_OnPortTried(hwnd, wparam, lparam)) {
            ShowPortState(hwnd);
        }
        return TRUE;
    case UI_DEVICES_READ:
        UI_OnDevicesRead(hwnd);
        return TRUE;
    case WM_TIMER:
        if (wparam == PORT_STATE_TIMER) {
            ShowPortState(hwnd);
            return TRUE;
        }
        return FALSE;
    case WM_MEASUREITEM:
        if (UI_MeasurePortEntry(hwnd, reinterpret_cast<MEASUREITEMSTRUCT*>(lparam))) {
            SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_DRAWITEM:
        if (UI_DrawPortEntry(reinterpret_cast<const DRAWITEMSTRUCT*>(lparam))) {
            SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_ENTERMENULOOP:
    case WM_ENTERSIZEMOVE:
        ++g_modal_loops;
        return FALSE;
    case WM_EXITMENULOOP:
    case WM_EXITSIZEMOVE:
        OnModalLoopEnded(hwnd);
        return FALSE;
    case UI_PROGRESS_PERCENT:
        UI_TaskbarProgress(static_cast<int32_t>(wparam), static_cast<int32_t>(lparam));
        return TRUE;
    case ATTACH_TASKBAR:
        UI_TaskbarAttach(hwnd);
        return TRUE;
    case WM_DESTROY:
        KillTimer(hwnd, PORT_STATE_TIMER);
        UI_EndPortPicker();
        UI_TaskbarDetach();
        ReleaseArt(hwnd);
        // The worker must not reach a window that is gone (or a later one that
        // was given the same handle).
        if (UI_GetDialogWindow() == hwnd) {
            UI_SetDialogWindow(nullptr);
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if (LOWORD(wparam) == IDM_ABOUT) {
            ShowAbout(hwnd);
        }
        return FALSE;
    default:
        // The shell made the window's button anew (registered at run time:
        // no case label).
        if (message != 0 && message == UI_TaskbarButtonCreatedMessage()) {
            UI_TaskbarAttach(hwnd);
            return TRUE;
        }
        return FALSE;
    }
}

INT_PTR CALLBACK AboutDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        g_about = hwnd;
        SetDlgItemTextA(hwnd, IDC_ABOUT_VERSION, UI_GetTitle());
        SetDlgItemTextA(hwnd, IDC_ABOUT_LEGAL, UI_DEVICE_LEGAL_LINE);
        UI_ScaleIcon(FindStatic(hwnd, SS_ICON, 0), IDI_UPDATER);
        return FALSE; // no control takes the focus
    case WM_DPICHANGED:
        PostMessageA(hwnd, RESCALE_ART, LOWORD(wparam), 0);
        return FALSE;
    case RESCALE_ART:
        UI_ScaleIcon(FindStatic(hwnd, SS_ICON, 0), IDI_UPDATER);
        return TRUE;
    case WM_DESTROY:
        if (g_about == hwnd) {
            g_about = nullptr;
        }
        UI_ReleaseImage(FindStatic(hwnd, SS_ICON, 0));
        return FALSE;
    case WM_COMMAND:
        if (wparam == IDOK || wparam == IDCANCEL) {
            EndDialog(hwnd, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
