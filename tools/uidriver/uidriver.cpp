// tw_uidriver: drives the updater's main dialog from another process.
//   tw_uidriver COMMAND [ARGS] [COMMAND [ARGS]]...
// Commands run in order; the first that fails ends the program with exit code
// 1 and a line on stderr. Ids are control ids of the main dialog.
#include "app/resource.h"
#include "app/version.h"

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kMainCaption[] = "Tidewell Handheld v" TW_VERSION_TEXT;
const char kAboutCaption[] = "About Varnel Firmware Updater...";
constexpr DWORD kPollMs = 50;
constexpr DWORD kWiggleStepMs = 20;
// A device-change notice is handled at once; longer means the dialog hangs.
constexpr UINT kDeviceChangeMs = 5000;

struct Search {
    const char* caption;
    HWND found;
};

// FindWindow compares captions without regard to case; this compares exactly
// (a top window's caption or a child's text).
BOOL CALLBACK MatchCaption(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    if (std::strcmp(text, search->caption) == 0) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindTop(const char* caption) {
    Search search = {caption, nullptr};
    EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND g_main = nullptr;

bool Fail(const std::string& what) {
    std::fprintf(stderr, "uidriver: %s\n", what.c_str());
    return false;
}

HWND Main() {
    if (g_main == nullptr || !IsWindow(g_main)) {
        g_main = FindTop(kMainCaption);
    }
    return g_main;
}

HWND Control(int id) {
    const HWND main = Main();
    return main != nullptr ? GetDlgItem(main, id) : nullptr;
}

std::string Text(HWND hwnd) {
    char text[512] = {};
    if (hwnd != nullptr) {
        GetWindowTextA(hwnd, text, sizeof text);
    }
    return text;
}

bool Visible(HWND hwnd) {
    return hwnd != nullptr && (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

// Polls until the test holds or the time is up.
template <typename Test> bool WaitFor(DWORD timeout_ms, Test test) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (test()) {
            return true;
        }
        if (GetTickCount() - start >= timeout_ms) {
            return false;
        }
        Sleep(kPollMs);
    }
}

// The combo box's items: the A call hands back UTF-16 across processes.
std::string ComboItem(HWND combo, int index) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0 || length > 250) {
        return "";
    }
    wchar_t wide[256] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(wide));
    char text[256] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

// The list's entries, the selected one marked " *".
std::vector<std::string> PortEntries() {
    std::vector<std::string> entries;
    const HWND combo = Control(IDC_PORTS);
    if (combo == nullptr) {
        return entries;
    }
    const auto count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    const auto selected = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    for (int k = 0; k < count; ++k) {
        entries.push_back(ComboItem(combo, k) + (k == selected ? " *" : ""));
    }
    return entries;
}

// "COM10 *|COM3": one argument for what `ports` prints on two lines.
std::string JoinedPorts() {
    std::string joined;
    for (const std::string& entry : PortEntries()) {
        joined += (joined.empty() ? "" : "|") + entry;
    }
    return joined;
}

// A device change as the system announces it to a window. A port's notice
// goes in the A layout, which an A window gets from an A sender; Wine copies
// it across by its size, so the size covers the name.
bool SendDeviceChange(HWND main, WPARAM event, int number) {
    alignas(DEV_BROADCAST_PORT_A) char notice[sizeof(DEV_BROADCAST_PORT_A) + 16] = {};
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(notice);
    LPARAM data = 0;
    if (event != DBT_DEVNODES_CHANGED) {
        const size_t name_at = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
        const int length =
            std::snprintf(notice + name_at, sizeof notice - name_at, "COM%d", number);
        port->dbcp_size = static_cast<DWORD>(name_at + static_cast<size_t>(length) + 1);
        port->dbcp_devicetype = DBT_DEVTYP_PORT;
        data = reinterpret_cast<LPARAM>(notice);
    }
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(main, WM_DEVICECHANGE, event, data, SMTO_ABORTIFHUNG, kDeviceChangeMs,
                            &result) != 0) {
        return true;
    }
    const DWORD error = GetLastError();
    return Fail("the dialog took no WM_DEVICECHANGE (error " + std::to_string(error) + ")");
}

void PostKey(HWND dialog, WORD key) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    HWND target = dialog;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    const UINT scan = MapVirtualKeyA(key, 0);
    PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | (3u << 30));
}

int Id(const char* text) {
    return std::atoi(text);
}
DWORD Ms(const char* text) {
    return static_cast<DWORD>(std::strtoul(text, nullptr, 0));
}

// Follows an update from outside: a line whenever the status line or the
// button changes, and one a second with the progress bar, until the button
// reads Ok and half a second more (the result text follows the button's).
// The status line is read often, since short jobs pass quickly.
bool Watch(DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    DWORD last_line = start;
    DWORD ok_since = 0;
    std::string last;
    for (;;) {
        if (Main() == nullptr) {
            return Fail("watch: the main dialog has gone");
        }
        const DWORD now = GetTickCount();
        const std::string button = Text(Control(IDC_CANCEL));
        const bool shown = Visible(Control(IDC_STATUS));
        const std::string state = "status " + std::string(shown ? "shown" : "hidden") + " \"" +
                                  Text(Control(IDC_STATUS)) + "\" button \"" + button + "\"";
        if (button == "Ok" && ok_since == 0) {
            ok_since = now;
        }
        const bool done = ok_since != 0 && now - ok_since >= 500;
        if (state != last || now - last_line >= 1000 || done) {
            const HWND bar = Control(IDC_PROGRESS);
            DWORD_PTR pos = 0;
            DWORD_PTR high = 0;
            // A bar that does not answer at once is busy; report it as unknown.
            const bool read =
                SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &pos) != 0 &&
                SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 500, &high) != 0;
            std::printf("%7.1f %s progress %ld/%ld%s\n", (now - start) / 1000.0, state.c_str(),
                        read ? static_cast<long>(pos) : -1L, read ? static_cast<long>(high) : -1L,
                        done            ? " end"
                        : state != last ? ""
                                        : " tick");
            std::fflush(stdout);
            last = state;
            last_line = now;
        }
        if (done) {
            return true;
        }
        if (ok_since == 0 && now - start >= timeout_ms) {
            return Fail("watch: the button does not read Ok");
        }
        Sleep(10);
    }
}

// Moves the pointer to and fro across the top of the dialog for a while, or
// until the dialog has gone, so that its thread keeps getting mouse moves.
bool Wiggle(DWORD duration_ms) {
    const DWORD start = GetTickCount();
    for (int step = 0; GetTickCount() - start < duration_ms; ++step) {
        const HWND main = Main();
        if (main == nullptr) {
            return true;
        }
        RECT r = {};
        GetClientRect(main, &r);
        POINT p = {r.right * (step % 2 == 0 ? 1 : 2) / 3, r.bottom / 10};
        ClientToScreen(main, &p);
        SetCursorPos(p.x, p.y);
        Sleep(kWiggleStepMs);
    }
    return true;
}

void Usage() {
    std::puts("usage: tw_uidriver COMMAND [ARGS] ...\n"
              "  wait-window MS          wait for the main dialog\n"
              "  wait-gone MS            wait until the main dialog has gone\n"
              "  text ID                 print a control's text (0: the caption)\n"
              "  expect-text ID TEXT     fail unless the text is TEXT\n"
              "  wait-text ID TEXT MS    wait until the text is TEXT\n"
              "  wait-prefix ID TEXT MS  wait until the text starts with TEXT\n"
              "  expect-visible ID 0|1   fail unless the control is hidden/shown\n"
              "  wait-visible ID 0|1 MS  wait until the control is hidden/shown\n"
              "  expect-enabled ID 0|1   fail unless the control is disabled/enabled\n"
              "  wait-enabled ID 0|1 MS  wait until the control is disabled/enabled\n"
              "  click ID                press a button\n"
              "  key esc|enter|tab       a key to the control that has the focus\n"
              "  close                   the close box\n"
              "  about                   the system menu's About item\n"
              "  about-text ID TEXT MS   wait for the About box, check a control's text\n"
              "  about-close MS          wait for the About box and close it with Esc\n"
              "  ports                   print the port list and the selected entry\n"
              "  wait-ports LIST MS      wait until `ports` would print LIST, its lines\n"
              "                          joined by | (\"COM10 *|COM3\"; MS 0: now)\n"
              "  arrive N | remove N     announce COMN's arrival / removal to the dialog\n"
              "  devnodes                announce that the system's devices changed\n"
              "  select INDEX            choose a port-list entry\n"
              "  progress                print the progress bar: position low high\n"
              "  expect-focus ID         fail unless the control has the keyboard focus\n"
              "  no-window CAPTION MS    fail if a window so captioned shows within MS\n"
              "  rect                    print the dialog's client area: x y width height\n"
              "  watch MS                follow an update until the button reads Ok: a line\n"
              "                          per status change and one a second with the progress\n"
              "  box CAPTION TEXT MS     wait for a message box, check its text, press OK\n"
              "  wiggle MS               move the mouse to and fro over the dialog for MS ms\n"
              "                          or until the dialog has gone\n"
              "  sleep MS");
}

bool Run(int argc, char** argv, int* i) {
    const std::string cmd = argv[(*i)++];
    const auto need = [&](int n) {
        if (*i + n > argc) {
            Fail(cmd + ": missing arguments");
            std::exit(2);
        }
    };
    if (cmd == "sleep") {
        need(1);
        Sleep(Ms(argv[(*i)++]));
        return true;
    }
    if (cmd == "wait-window") {
        need(1);
        // Shown, not only created: the dialog sets its controls up before it
        // shows itself, and the checks that follow must see them set.
        return WaitFor(Ms(argv[(*i)++]), [] { return Visible(Main()); }) || Fail("no main dialog");
    }
    if (cmd == "wait-gone") {
        need(1);
        return WaitFor(Ms(argv[(*i)++]), [] { return FindTop(kMainCaption) == nullptr; }) ||
               Fail("the main dialog is still there");
    }
    if (cmd == "box") {
        need(3);
        const char* caption = argv[(*i)++];
        Search search = {argv[(*i)++], nullptr};
        HWND box = nullptr;
        if (!WaitFor(Ms(argv[(*i)++]), [&] { return (box = FindTop(caption)) != nullptr; })) {
            return Fail(std::string("no box captioned ") + caption);
        }
        EnumChildWindows(box, MatchCaption, reinterpret_cast<LPARAM>(&search));
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return search.found != nullptr ||
               Fail(std::string("the box does not say ") + search.caption);
    }
    if (cmd == "wiggle") {
        need(1);
        return Wiggle(Ms(argv[(*i)++]));
    }
    if (cmd == "no-window") {
        need(2);
        const char* caption = argv[(*i)++];
        const bool shown = WaitFor(Ms(argv[(*i)++]), [&] { return FindTop(caption) != nullptr; });
        return !shown || Fail(std::string("a window captioned ") + caption + " is shown");
    }
    if (Main() == nullptr) {
        return Fail(cmd + ": no main dialog");
    }
    const HWND main = Main();
    if (cmd == "text") {
        need(1);
        const int id = Id(argv[(*i)++]);
        std::printf("%s\n", Text(id == 0 ? main : Control(id)).c_str());
        return true;
    }
    if (cmd == "expect-text" || cmd == "wait-text" || cmd == "wait-prefix") {
        need(cmd == "expect-text" ? 2 : 3);
        const int id = Id(argv[(*i)++]);
        const std::string want = argv[(*i)++];
        const DWORD timeout = cmd == "expect-text" ? 0 : Ms(argv[(*i)++]);
        const bool prefix = cmd == "wait-prefix";
        const auto test = [&] {
            const std::string have = Text(id == 0 ? Main() : Control(id));
            return prefix ? have.compare(0, want.size(), want) == 0 : have == want;
        };
        return WaitFor(timeout, test) || Fail(cmd + " " + std::to_string(id) + ": have \"" +
                                              Text(Control(id)) + "\", want \"" + want + "\"");
    }
    if (cmd == "expect-visible" || cmd == "wait-visible") {
        need(cmd == "expect-visible" ? 2 : 3);
        const int id = Id(argv[(*i)++]);
        const bool want = Id(argv[(*i)++]) != 0;
        const DWORD timeout = cmd == "expect-visible" ? 0 : Ms(argv[(*i)++]);
        return WaitFor(timeout, [&] { return Visible(Control(id)) == want; }) ||
               Fail(cmd + " " + std::to_string(id) + ": wrong visibility");
    }
    if (cmd == "expect-enabled" || cmd == "wait-enabled") {
        need(cmd == "expect-enabled" ? 2 : 3);
        const int id = Id(argv[(*i)++]);
        const bool want = Id(argv[(*i)++]) != 0;
        const DWORD timeout = cmd == "expect-enabled" ? 0 : Ms(argv[(*i)++]);
        return WaitFor(timeout, [&] { return (IsWindowEnabled(Control(id)) != FALSE) == want; }) ||
               Fail(cmd + " " + std::to_string(id) + ": wrong state");
    }
    if (cmd == "click") {
        need(1);
        const int id = Id(argv[(*i)++]);
        const HWND button = Control(id);
        if (button == nullptr) {
            return Fail("click: no control " + std::to_string(id));
        }
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
        return true;
    }
    if (cmd == "key") {
        need(1);
        const std::string key = argv[(*i)++];
        const WORD vk = key == "esc" ? VK_ESCAPE : key == "enter" ? VK_RETURN : VK_TAB;
        PostKey(main, vk);
        return true;
    }
    if (cmd == "close") {
        PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    }
    if (cmd == "about") {
        PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
        return true;
    }
    if (cmd == "about-text") {
        need(3);
        const int id = Id(argv[(*i)++]);
        const std::string want = argv[(*i)++];
        HWND about = nullptr;
        if (!WaitFor(Ms(argv[(*i)++]), [&] { return Visible(about = FindTop(kAboutCaption)); })) {
            return Fail("no About box");
        }
        const std::string have = Text(GetDlgItem(about, id));
        return have == want || Fail("About box control " + std::to_string(id) + ": have \"" + have +
                                    "\", want \"" + want + "\"");
    }
    if (cmd == "about-close") {
        need(1);
        const DWORD ms = Ms(argv[(*i)++]);
        HWND about = nullptr;
        if (!WaitFor(ms, [&] { return Visible(about = FindTop(kAboutCaption)); })) {
            return Fail("no About box");
        }
        // Ending a dialog can take seconds under Wine on a busy machine.
        PostKey(about, VK_ESCAPE);
        return WaitFor(ms, [] { return FindTop(kAboutCaption) == nullptr; }) ||
               Fail("the About box stays open");
    }
    if (cmd == "ports") {
        for (const std::string& entry : PortEntries()) {
            std::printf("%s\n", entry.c_str());
        }
        return true;
    }
    if (cmd == "wait-ports") {
        need(2);
        const std::string want = argv[(*i)++];
        std::string have;
        return WaitFor(Ms(argv[(*i)++]), [&] { return (have = JoinedPorts()) == want; }) ||
               Fail(cmd + ": have \"" + have + "\", want \"" + want + "\"");
    }
    if (cmd == "arrive" || cmd == "remove") {
        need(1);
        const int number = Id(argv[(*i)++]);
        return SendDeviceChange(
            main, cmd == "arrive" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, number);
    }
    if (cmd == "devnodes") {
        return SendDeviceChange(main, DBT_DEVNODES_CHANGED, 0);
    }
    if (cmd == "select") {
        need(1);
        const int index = Id(argv[(*i)++]);
        const HWND combo = Control(IDC_PORTS);
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_PORTS, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
        return true;
    }
    if (cmd == "progress") {
        const HWND bar = Control(IDC_PROGRESS);
        std::printf("%ld %ld %ld\n", static_cast<long>(SendMessageA(bar, PBM_GETPOS, 0, 0)),
                    static_cast<long>(SendMessageA(bar, PBM_GETRANGE, TRUE, 0)),
                    static_cast<long>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0)));
        return true;
    }
    if (cmd == "expect-focus") {
        need(1);
        const int id = Id(argv[(*i)++]);
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        const DWORD thread = GetWindowThreadProcessId(main, nullptr);
        const HWND focus = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
        // A combo box with an edit field passes the focus to that edit child.
        const HWND control = Control(id);
        return (focus != nullptr && (focus == control || IsChild(control, focus))) ||
               Fail(cmd + " " + std::to_string(id) + ": the focus is on control " +
                    std::to_string(focus != nullptr ? GetDlgCtrlID(focus) : 0));
    }
    if (cmd == "rect") {
        // The client area: without a window manager nobody draws the frame.
        RECT r = {};
        GetClientRect(main, &r);
        POINT origin = {0, 0};
        ClientToScreen(main, &origin);
        std::printf("%ld %ld %ld %ld\n", static_cast<long>(origin.x), static_cast<long>(origin.y),
                    static_cast<long>(r.right), static_cast<long>(r.bottom));
        return true;
    }
    if (cmd == "watch") {
        need(1);
        return Watch(Ms(argv[(*i)++]));
    }
    Usage();
    return Fail("unknown command " + cmd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return 2;
    }
    int i = 1;
    while (i < argc) {
        if (!Run(argc, argv, &i)) {
            return 1;
        }
        std::fflush(stdout);
    }
    return 0;
}
