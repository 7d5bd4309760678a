// The serial layer against the test bench's virtual cables. The layer keeps
// process-wide state, so the tests build on each other in the order written:
// the port is first chosen by COM_SetConfig, and COM_Close comes last.
#include "tests/com/com_fixture.h"

#include "com/com_calls.h"
#include "com/devices.h"
#include "com/open.h"
#include "tests/support/blocking_open.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <thread>
#include <utility>

namespace {

ULONGLONG Now() {
    return GetTickCount64();
}

// A read waiting on a thread of its own, as the worker's does: its count and
// how long it waited, once it ends (the future waits for it).
std::future<std::pair<size_t, ULONGLONG>> PendingRead(uint32_t timeout_ms) {
    return std::async(std::launch::async, [timeout_ms] {
        ULONGLONG took = 0;
        const size_t got = TimedRead(8, timeout_ms, &took).size();
        return std::make_pair(got, took);
    });
}

class Com : public ::testing::Test {
  protected:
    void SetUp() override {
        COM_SetErrorHandler(RecordError);
        ShownErrors().clear();
    }
};

TEST_F(Com, ChosenPortSkipsFirstOpenAndAppliesSettingsOnce) {
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapPair(3, 4));
    ASSERT_TRUE(TESTBENCH_MapPair(10, 11));
    Peer peer(4);
    ASSERT_TRUE(peer.ok());

    ASSERT_EQ(0, Choose(3));
    COM_STATUS s = Status();
    EXPECT_EQ(COM_STATE_OPEN, s.state);
    EXPECT_FALSE(s.exit_hook); // no first-open step, so no hook
    EXPECT_EQ(1u, s.opens);
    EXPECT_EQ(115200u, s.line_baud_rate);
    EXPECT_EQ(115200u, s.port_baud_rate);
    EXPECT_EQ(1, s.line_parity);
    EXPECT_EQ(0x1013u, s.line_flags);

    // The very first write goes out: no 9600-baud defaults were applied.
    WriteString("first");
    EXPECT_EQ("first", peer.Receive(5));
    COM_CONFIG now;
    COM_GetConfig(&now);
    EXPECT_EQ(115200u, now.baud_rate);
    EXPECT_EQ(1, now.parity);

    // Equal settings: nothing closed or reopened.
    EXPECT_EQ(0, Choose(3));
    EXPECT_EQ(1u, Status().opens);

    // A repeated time-out is applied once.
    const uint32_t before = Status().read_timeouts_set;
    peer.Send("xy");
    EXPECT_EQ("x", ReadString(1, 200));
    EXPECT_EQ("y", ReadString(1, 200));
    EXPECT_EQ(before + 1, Status().read_timeouts_set);
    EXPECT_EQ(200u, Status().read_timeout_ms);

    // New line settings on the same port: reopened, applied, and the next
    // read applies its time-out again although it is unchanged.
    COM_CONFIG slower = MakeConfig(3, 57600, 8, 2);
    EXPECT_EQ(0, COM_SetConfig(&slower));
    s = Status();
    EXPECT_EQ(2u, s.opens);
    EXPECT_EQ(57600u, s.line_baud_rate);
    EXPECT_EQ(57600u, s.port_baud_rate);
    EXPECT_EQ(2, s.line_parity);
    peer.Send("z");
    EXPECT_EQ("z", ReadString(1, 200));
    EXPECT_EQ(before + 2, Status().read_timeouts_set);

    // A device name differing only after its NUL is a different name.
    COM_CONFIG tail = slower;
    tail.device_name[COM_DEVICE_NAME_SIZE - 1] = 'x';
    EXPECT_EQ(0, COM_SetConfig(&tail));
    EXPECT_EQ(3u, Status().opens);
    EXPECT_EQ(0, Choose(3));
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(Com, ReadEndsAtItsTimeOut) {
    Peer peer(4);
    ASSERT_TRUE(peer.ok());
    ULONGLONG took = 0;
    EXPECT_EQ("", TimedRead(5, 300, &took));
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 1000u);

    peer.Send("ab");
    EXPECT_EQ("ab", TimedRead(5, 300, &took));
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 1000u);

    // A zero time-out leaves the port waiting for the whole count; the read
    // still ends (cancelled) soon after.
    EXPECT_EQ("", TimedRead(5, 0, &took));
    EXPECT_LT(took, 1500u);

    // All requested bytes end the read at once.
    peer.Send("abcde");
    EXPECT_EQ("abcde", TimedRead(5, 3000, &took));
    EXPECT_LT(took, 1000u);
}

TEST_F(Com, ReopenFromAnotherThreadEndsAWaitingRead) {
    auto read = PendingRead(5000);
    Sleep(300);
    EXPECT_EQ(0, Choose(10));
    const auto [got, took] = read.get();
    EXPECT_EQ(0u, got);
    EXPECT_LT(took, 2000u);

    // The new port carries bytes.
    Peer peer(11);
    ASSERT_TRUE(peer.ok());
    peer.Send("new");
    EXPECT_EQ("new", ReadString(3, 1000));
    WriteString("back");
    EXPECT_EQ("back", peer.Receive(4));
}

TEST_F(Com, FramesWrittenBackToBackArriveIntactAndInOrder) {
    constexpr int kFrames = 600;
    constexpr int kSize = 264;
    Peer peer(11);
    ASSERT_TRUE(peer.ok());
    peer.SetTimeout(3000);
    std::string received;
    std::thread reader([&] {
        Sleep(200); // let the cable fill up, so that writes stay pending
        while (received.size() < size_t(kFrames) * kSize) {
            const std::string part =
                peer.Receive(std::min<size_t>(4096, size_t(kFrames) * kSize - received.size()));
            if (part.empty()) {
                break;
            }
            received += part;
        }
    });
    const COM_STATUS before = Status();
    // One local buffer, overwritten as soon as each write returns, like a
    // frame built on the stack.
    uint8_t frame[kSize];
    for (int f = 0; f < kFrames; ++f) {
        for (int i = 0; i < kSize; ++i) {
            frame[i] = static_cast<uint8_t>(f * 7 + i);
        }
        COM_Write(frame, kSize);
        std::memset(frame, 0xEE, sizeof frame);
    }
    reader.join();
    // A full line holds writes back but drops none.
    const COM_STATUS after = Status();
    EXPECT_EQ(before.writes + kFrames, after.writes);
    EXPECT_EQ(before.writes_dropped, after.writes_dropped);
    EXPECT_EQ(before.writes_refused, after.writes_refused);
    ASSERT_EQ(size_t(kFrames) * kSize, received.size());
    int wrong = 0;
    for (int f = 0; f < kFrames; ++f) {
        for (int i = 0; i < kSize; ++i) {
            if (static_cast<uint8_t>(received[f * kSize + i]) != static_cast<uint8_t>(f * 7 + i)) {
                if (wrong++ == 0) {
                    ADD_FAILURE() << "first wrong byte: frame " << f << " offset " << i << " got "
                                  << int(static_cast<uint8_t>(received[f * kSize + i]));
                }
            }
        }
    }
    EXPECT_EQ(0, wrong);

    // Frames until one is held back by the full line; the far end starts to
    // take them in a while later. That write waited once, however long.
    const uint32_t waits = Status().write_waits;
    std::thread drain([&] {
        while (Status().write_waits == waits) {
            Sleep(1);
        }
        Sleep(300);
        peer.SetTimeout(500);
        while (!peer.Receive(4096).empty()) {
        }
    });
    for (int f = 0; f < 10 * kFrames && Status().write_waits == waits; ++f) {
        COM_Write(frame, kSize);
    }
    drain.join();
    EXPECT_EQ(waits + 1, Status().write_waits);
    EXPECT_EQ(after.writes_dropped, Status().writes_dropped);
}

TEST_F(Com, ConfigurationFailuresShowOneBoxAndKeepTheHandle) {
    EXPECT_EQ(1, Choose(10, 115200, 3)); // three data bits: refused by the port
    ASSERT_EQ(1u, ShownErrors().size());
    EXPECT_EQ("COM10: SetCommState failed", ShownErrors()[0]); // names the port
    COM_STATUS s = Status();
    EXPECT_TRUE(s.handle_held);
    EXPECT_EQ(COM_STATE_CLOSED, s.state); // closed for the reopen, never marked open
    EXPECT_EQ(COM_OPEN_FAILURE::NOT_SET_UP, s.open_failure);
    EXPECT_EQ("", ReadString(1, 100));
    // The same pick again is tried again, not taken as done.
    EXPECT_EQ(1, Choose(10, 115200, 3));
    EXPECT_EQ(2u, ShownErrors().size());

    // A port that does not exist or is busy: 1 and no box; picked again once
    // it is free, it opens.
    ShownErrors().clear();
    ASSERT_TRUE(TESTBENCH_MapBusy(5));
    EXPECT_EQ(1, Choose(5));
    EXPECT_EQ(COM_OPEN_FAILURE::IN_USE, COM_GetOpenFailure());
    EXPECT_EQ(uint32_t{ERROR_ACCESS_DENIED}, Status().last_open_error);
    EXPECT_EQ(1, Choose(5));
    ASSERT_TRUE(TESTBENCH_MapPair(5, 6));
    EXPECT_EQ(0, Choose(5));
    EXPECT_TRUE(Status().handle_held);
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());
    EXPECT_EQ(1, Choose(77));
    EXPECT_EQ(COM_OPEN_FAILURE::GONE, COM_GetOpenFailure());
    EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, Status().last_open_error);
    EXPECT_TRUE(ShownErrors().empty());
    EXPECT_FALSE(Status().handle_held);

    EXPECT_EQ(0, Choose(10));
    EXPECT_EQ(COM_STATE_OPEN, Status().state);
}

std::atomic<int> g_nested_calls{0};
void NestingHandler(const char* text) {
    ++g_nested_calls;
    RecordError(text);
    COM_ShowError("raised while the box is up");
}

TEST_F(Com, AnErrorWhileABoxIsUpIsDropped) {
    COM_SetErrorHandler(NestingHandler);
    COM_ShowError("outer");
    EXPECT_EQ(1, g_nested_calls.load());
    ASSERT_EQ(1u, ShownErrors().size());
    EXPECT_EQ("outer", ShownErrors()[0]);

    // From another thread, while one box is up.
    static HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static HANDLE shown = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    COM_SetErrorHandler([](const char* text) {
        RecordError(text);
        SetEvent(shown);
        WaitForSingleObject(release, 5000);
    });
    std::thread ui([] { COM_ShowError("first"); });
    WaitForSingleObject(shown, 5000);
    COM_ShowError("second");
    SetEvent(release);
    ui.join();
    ASSERT_EQ(2u, ShownErrors().size());
    EXPECT_EQ("first", ShownErrors()[1]);

    // Once the box is gone the next error shows again.
    COM_SetErrorHandler(RecordError);
    COM_ShowError("later");
    EXPECT_EQ(3u, ShownErrors().size());
}

TEST_F(Com, UnpluggedAdapterFailsReadsAndWritesWithoutHangingAndComesBack) {
    // Mid-read.
    const COM_STATUS before = Status();
    auto read = PendingRead(3000);
    Sleep(300);
    ASSERT_TRUE(TESTBENCH_Unplug(10, 11));
    const auto [got, took] = read.get();
    EXPECT_EQ(0u, got);
    EXPECT_LT(took, 3000u + 1000u);
    std::printf("read pending at unplug ended after %llu ms\n", took);

    ULONGLONG t0 = Now();
    EXPECT_EQ("", ReadString(4, 200));
    WriteString("gone");
    EXPECT_LT(Now() - t0, 2000u);
    EXPECT_TRUE(Status().lost);
    EXPECT_FALSE(Status().handle_held);

    // Polled as the worker polls, the port is opened again once the same
    // port is back, and bytes pass both ways; tries come at a bounded rate
    // and show nothing.
    for (int i = 0; i < 10; ++i) {
        WriteString("?");
        ReadString(4, 100);
    }
    ASSERT_TRUE(TESTBENCH_MapPair(10, 11));
    Peer back(11);
    ASSERT_TRUE(back.ok());
    back.SetTimeout(50);
    t0 = Now();
    std::string heard;
    while (heard.empty() && Now() - t0 < 10000) {
        WriteString("poll");
        ReadString(4, 100);
        heard = back.Receive(4);
    }
    std::printf("polls reached the port again %llu ms after it came back\n", Now() - t0);
    EXPECT_EQ("poll", heard);
    back.Send("ok");
    EXPECT_EQ("ok", ReadString(2, 1000));
    const COM_STATUS after = Status();
    EXPECT_FALSE(after.lost);
    EXPECT_EQ(before.losses + 1, after.losses);
    EXPECT_EQ(before.reopens + 1, after.reopens);
    EXPECT_LE(after.reopen_tries - before.reopen_tries,
              (Now() - t0 + 2000) / COM_REOPEN_INTERVAL_MS + 1);
    EXPECT_EQ(115200u, after.port_baud_rate);
    EXPECT_TRUE(ShownErrors().empty());
    ASSERT_TRUE(TESTBENCH_Unplug(10, 11));

    // Mid-write: the peer reads nothing, so the cable fills up and writes
    // stay pending when it is pulled.
    ASSERT_TRUE(TESTBENCH_MapPair(12, 13));
    Peer peer(13);
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(0, Choose(12));
    static uint8_t lots[64 * 1024];
    t0 = Now();
    COM_Write(lots, sizeof lots);
    std::thread unplug([] { TESTBENCH_Unplug(12, 13); });
    COM_Write(lots, sizeof lots);
    unplug.join();
    COM_Write(lots, sizeof lots);
    EXPECT_EQ("", ReadString(4, 200));
    EXPECT_LT(Now() - t0, 10000u);
    // The writes the pulled cable lost are not lost silently.
    const COM_STATUS s = Status();
    EXPECT_GT(s.writes_dropped + s.writes_refused, 0u);
}

// Opens of chosen ports fail with a chosen error, as a driver's would; other
// ports open as usual.
namespace failing_open {

std::atomic<DWORD> g_errors[COM_MAX_PORTS + 1] = {}; // by COMn; set by the test thread

HANDLE WINAPI Open(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    const int32_t port = COM_PortOfName(path, COM_PATH_SIZE);
    const DWORD error = port >= 0 && port < COM_MAX_PORTS ? g_errors[port + 1].load() : 0;
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path, access, share, security, disposition, flags, template_file);
}

void Install(int port, DWORD error) {
    g_errors[port].store(error);
    COM_SetOpenCall(Open);
}

void Remove() {
    for (std::atomic<DWORD>& error : g_errors) {
        error.store(0);
    }
    COM_SetOpenCall(nullptr);
}

} // namespace failing_open

// Reads and writes as the worker makes them while it polls, for ms.
void PollFor(ULONGLONG ms) {
    const ULONGLONG t0 = Now();
    while (Now() - t0 < ms) {
        WriteString("?");
        ReadString(4, 100);
    }
}

TEST_F(Com, ALostPortWhoseOpenBlocksHasOneOpenAtATimeAndComesBackWhenNoticed) {
    ASSERT_TRUE(TESTBENCH_MapPair(14, 15));
    ASSERT_EQ(0, Choose(14));
    ASSERT_TRUE(TESTBENCH_Unplug(14, 15));
    for (int i = 0; i < 10 && !Status().lost; ++i) {
        WriteString("?");
        ReadString(4, 100);
    }
    ASSERT_TRUE(Status().lost);
    EXPECT_EQ(COM_OPEN_FAILURE::GONE, COM_GetOpenFailure());

    // Back, but its open blocks for longer than many retries: one open of
    // it is under way at a time, retries and tries of the port included.
    blocking_open::Install({14});
    ASSERT_TRUE(TESTBENCH_MapPair(14, 15));
    COM_STATUS before = Status();
    PollFor(6 * COM_REOPEN_INTERVAL_MS);
    EXPECT_EQ(COM_OPEN_FAILURE::TOO_SLOW, COM_TryPort(13));
    COM_STATUS s = Status();
    EXPECT_EQ(1, blocking_open::Reached(14).load());
    EXPECT_EQ(before.opens_still_blocked + 1, s.opens_still_blocked);
    EXPECT_GE(s.opens_refused - before.opens_refused, 3u);
    EXPECT_EQ(COM_OPEN_FAILURE::TOO_SLOW, COM_GetOpenFailure());
    EXPECT_TRUE(s.lost);
    // Once it returns, the next due retry opens the port.
    blocking_open::LetGoAll();
    PollFor(3 * COM_REOPEN_INTERVAL_MS);
    s = Status();
    EXPECT_FALSE(s.lost);
    EXPECT_EQ(before.reopens + 1, s.reopens);
    EXPECT_EQ(before.opens_still_blocked, s.opens_still_blocked);
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());

    // Lost again, and its opens fail as the device is not there: a notice
    // that the port has arrived brings the next read's open forward.
    ASSERT_TRUE(TESTBENCH_Unplug(14, 15));
    ASSERT_TRUE(TESTBENCH_MapPair(14, 15));
    failing_open::Install(14, ERROR_FILE_NOT_FOUND);
    for (int i = 0; i < 10 && !Status().lost; ++i) {
        WriteString("?");
        ReadString(4, 100);
    }
    ASSERT_TRUE(Status().lost);
    before = Status();
    while (Status().reopen_tries == before.reopen_tries) {
        ReadString(4, 50);
    }
    EXPECT_EQ(COM_OPEN_FAILURE::GONE, COM_GetOpenFailure());
    EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, Status().last_open_error);
    // Well within the retry interval of that try.
    failing_open::Remove();
    COM_NotePortArrived(13);
    EXPECT_EQ("", ReadString(4, 50));
    s = Status();
    EXPECT_FALSE(s.lost);
    EXPECT_EQ(before.reopens + 1, s.reopens);
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(Com, ScanListsExactlyThePortsThatOpen) {
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapPair(3, 4));
    ASSERT_TRUE(TESTBENCH_MapPair(10, 11));
    ASSERT_TRUE(TESTBENCH_MapBusy(5));
    int32_t ports[COM_MAX_PORTS] = {};
    ASSERT_EQ(4, COM_ScanPorts(ports));
    EXPECT_EQ(2, ports[0]);
    EXPECT_EQ(3, ports[1]);
    EXPECT_EQ(9, ports[2]);
    EXPECT_EQ(10, ports[3]);

    // Scanning again without closing finds the same ports, not fewer.
    int32_t again[COM_MAX_PORTS] = {};
    EXPECT_EQ(4, COM_ScanPorts(again));
    EXPECT_EQ(10, again[3]);
    COM_CloseScanHandles();

    ASSERT_TRUE(TESTBENCH_Unmap(11));
    EXPECT_EQ(3, COM_ScanPorts(ports));
    COM_CloseScanHandles();
    COM_CloseScanHandles(); // nothing left to close

    // A port whose open blocks is left out after the bound, and choosing it
    // fails after the bound, with no box; neither waits for the open, and
    // the choice starts none beside the scan's, still blocked.
    const COM_STATUS before = Status();
    blocking_open::Install({4});
    ULONGLONG t0 = Now();
    ASSERT_EQ(2, COM_ScanPorts(ports));
    std::printf("scan with one blocked open: %llu ms\n", Now() - t0);
    EXPECT_EQ(2, ports[0]);
    EXPECT_EQ(9, ports[1]);
    COM_CloseScanHandles();
    t0 = Now();
    EXPECT_EQ(1, Choose(4));
    std::printf("choosing a port whose open blocks: %llu ms\n", Now() - t0);
    EXPECT_FALSE(Status().handle_held);
    EXPECT_EQ(before.opens_too_slow + 2, Status().opens_too_slow);
    EXPECT_EQ(before.opens_refused + 1, Status().opens_refused);
    EXPECT_EQ(1, blocking_open::Reached(4).load());
    EXPECT_EQ(COM_OPEN_FAILURE::TOO_SLOW, COM_GetOpenFailure());
    EXPECT_TRUE(ShownErrors().empty());
    // Once its opens return the port can be chosen: the same pick opens it.
    blocking_open::LetGoAll();
    EXPECT_EQ(0, Choose(4));
    EXPECT_TRUE(Status().handle_held);
    EXPECT_EQ(before.opens_still_blocked, Status().opens_still_blocked);
}

TEST_F(Com, TryingAPortTellsWhyItDoesNotOpenAndLeavesThePortInUseAlone) {
    ASSERT_TRUE(TESTBENCH_MapPair(30, 31));
    ASSERT_TRUE(TESTBENCH_MapBusy(32));
    enum class SET_UP { BENCH, BLOCKED, ERROR_CODE };
    struct CASE {
        const char* name;
        int port; // COMn
        SET_UP set_up;
        DWORD error;
        COM_OPEN_FAILURE expected;
    };
    const CASE cases[] = {
        {"a cable's end", 30, SET_UP::BENCH, 0, COM_OPEN_FAILURE::NONE},
        {"held by another program", 32, SET_UP::BENCH, 0, COM_OPEN_FAILURE::IN_USE},
        {"no such port", 33, SET_UP::BENCH, 0, COM_OPEN_FAILURE::GONE},
        {"an open that blocks", 30, SET_UP::BLOCKED, 0, COM_OPEN_FAILURE::TOO_SLOW},
        {"a sharing violation", 30, SET_UP::ERROR_CODE, ERROR_SHARING_VIOLATION,
         COM_OPEN_FAILURE::IN_USE},
        {"a device that did not answer in time", 30, SET_UP::ERROR_CODE, ERROR_SEM_TIMEOUT,
         COM_OPEN_FAILURE::TOO_SLOW},
        {"a device not connected", 30, SET_UP::ERROR_CODE, ERROR_DEVICE_NOT_CONNECTED,
         COM_OPEN_FAILURE::GONE},
    };
    const COM_STATUS before = Status();
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.set_up == SET_UP::BLOCKED) {
            blocking_open::Install({c.port});
        } else if (c.set_up == SET_UP::ERROR_CODE) {
            failing_open::Install(c.port, c.error);
        }
        const ULONGLONG t0 = Now();
        EXPECT_EQ(c.expected, COM_TryPort(c.port - 1));
        EXPECT_LT(Now() - t0, COM_OPEN_BOUND_MS + 500u);
        blocking_open::LetGoAll();
        failing_open::Remove();
    }
    // The port in use stays as it was, and the tries are no opens of it.
    const COM_STATUS after = Status();
    EXPECT_EQ(before.opens, after.opens);
    EXPECT_EQ(before.state, after.state);
    EXPECT_TRUE(after.handle_held);
    EXPECT_EQ(before.open_failure, after.open_failure);
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(Com, DeviceListIsReadWithoutOpeningAPort) {
    blocking_open::Install({});
    const COM_STATUS before = Status();
    COM_DEVICE devices[COM_MAX_DEVICES];
    EXPECT_EQ(0, COM_ReadDevices(devices, COM_MAX_DEVICES)); // Wine's list is empty
    int reached = 0;
    for (int port = 1; port <= COM_MAX_PORTS; ++port) {
        reached += blocking_open::Reached(port).load();
    }
    blocking_open::LetGoAll();
    EXPECT_EQ(0, reached);
    EXPECT_EQ(before.opens, Status().opens);
}

TEST_F(Com, PortNamesAsTheRegistryAndTheSettingsSpellThem) {
    struct CASE {
        const char* name;
        size_t size;
        int32_t port;
    };
    const CASE cases[] = {
        {"COM1", 5, 0},        {"com12", 6, 11},
        {"\\\\.\\COM3", 9, 2}, {"\\\\.\\\\\\.\\COM256", 15, 255},
        {"COM12", 4, 0}, // cut at its size
        {"COM", 4, -1},        {"COM0", 5, -1},
        {"COM03", 6, -1},      {"COM3 ", 6, -1},
        {"LPT1", 5, -1},       {"COM1234567", 11, -1},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(c.port, COM_PortOfName(c.name, c.size)) << c.name;
    }
}

// A driver slow to let go of reads it was told to drop: reads are the
// platform's own, but one that was cancelled or aborted by a close reaches the
// layer only late_ms after the cancel, queued to the reading thread as an APC,
// so that it runs there in an alertable wait, as a completion does.
namespace late {

// What Wine reports for a read aborted by a close (Windows: operation aborted).
constexpr DWORD kHandlesClosed = 676;

struct Read {
    LPOVERLAPPED ov = nullptr;
    LPOVERLAPPED_COMPLETION_ROUTINE done = nullptr;
    HANDLE reader = nullptr;
    ULONGLONG cancelled_at = 0;
};

struct Completion {
    LPOVERLAPPED_COMPLETION_ROUTINE done;
    DWORD error;
    DWORD count;
    LPOVERLAPPED ov;
};

DWORD g_late_ms = 0;       // set by the test thread while no read runs
std::vector<Read> g_reads; // the test thread only: calls and completions run there
std::vector<std::thread> g_couriers;

void CALLBACK Deliver(ULONG_PTR argument) {
    const Completion* c = reinterpret_cast<const Completion*>(argument);
    c->done(c->error, c->count, c->ov);
    delete c;
}

void CALLBACK Relay(DWORD error, DWORD count, LPOVERLAPPED ov) {
    const auto it =
        std::find_if(g_reads.begin(), g_reads.end(), [ov](const Read& r) { return r.ov == ov; });
    const Read read = *it;
    g_reads.erase(it);
    const bool dropped =
        read.cancelled_at != 0 || error == ERROR_OPERATION_ABORTED || error == kHandlesClosed;
    if (!dropped) {
        CloseHandle(read.reader);
        read.done(error, count, ov);
        return;
    }
    const ULONGLONG due = (read.cancelled_at != 0 ? read.cancelled_at : Now()) + g_late_ms;
    Completion* c = new Completion{read.done, error, count, ov};
    g_couriers.emplace_back([read, due, c] {
        const ULONGLONG now = Now();
        Sleep(due > now ? static_cast<DWORD>(due - now) : 0);
        QueueUserAPC(Deliver, read.reader, reinterpret_cast<ULONG_PTR>(c));
        CloseHandle(read.reader);
    });
}

BOOL WINAPI Start(HANDLE file, LPVOID buffer, DWORD count, LPOVERLAPPED ov,
                  LPOVERLAPPED_COMPLETION_ROUTINE done) {
    const HANDLE reader = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
    g_reads.push_back(Read{ov, done, reader, 0});
    return ReadFileEx(file, buffer, count, ov, Relay);
}

BOOL WINAPI Cancel(HANDLE file, LPOVERLAPPED ov) {
    for (Read& r : g_reads) {
        if (r.ov == ov) {
            r.cancelled_at = Now();
        }
    }
    return CancelIoEx(file, ov);
}

void Install(DWORD late_ms) {
    g_late_ms = late_ms;
    COM_SetReadCalls(Start, Cancel);
}

// Every late completion delivered, and the real calls back.
void Remove() {
    for (std::thread& t : g_couriers) {
        t.join();
    }
    g_couriers.clear();
    SleepEx(0, TRUE);
    COM_SetReadCalls(nullptr, nullptr);
}

// Takes every read slot: reads that wait for bytes that never come (a zero
// time-out waits for the whole count) are cancelled at their deadline, and
// their completions are all still to come when the last one is given up.
void TakeEverySlot() {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ("", ReadString(5, 0));
    }
}

} // namespace late

TEST_F(Com, ReadsOutlastCancelledReadsThatLetGoLate) {
    ASSERT_TRUE(TESTBENCH_MapPair(20, 21));
    ASSERT_TRUE(TESTBENCH_MapPair(22, 23));
    Peer old_peer(21);
    Peer peer(23);
    ASSERT_TRUE(old_peer.ok() && peer.ok());
    ASSERT_EQ(0, Choose(20));
    // Later than four such reads take, so that none of theirs comes meanwhile.
    late::Install(3000);

    // All slots held, then another port chosen; the completions become due
    // while the caller sleeps without letting them run, as the worker's sleep
    // between polls does. The next read on the new port still works.
    late::TakeEverySlot();
    ASSERT_EQ(0, Choose(22));
    Sleep(3500);
    peer.Send("new");
    EXPECT_EQ("new", ReadString(3, 1000));
    peer.Send("again");
    EXPECT_EQ("again", ReadString(5, 1000));

    // All slots held and no completion due yet: a read waits for the first
    // slot to be let go and still gets its bytes within its time-out.
    late::TakeEverySlot();
    const COM_STATUS before = Status();
    peer.Send("soon");
    ULONGLONG took = 0;
    EXPECT_EQ("soon", TimedRead(4, 2000, &took));
    EXPECT_LT(took, 2000u);
    const COM_STATUS after = Status();
    EXPECT_EQ(before.read_slot_waits + 1, after.read_slot_waits);
    EXPECT_EQ(before.reads_without_slot, after.reads_without_slot);
    late::Remove();
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(Com, AfterCloseNothingIsTransferred) {
    ASSERT_TRUE(TESTBENCH_MapPair(3, 4));
    Peer peer(4);
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(0, Choose(3, 19200));
    WriteString("open");
    EXPECT_EQ("open", peer.Receive(4));

    COM_Close();
    EXPECT_EQ(COM_STATE_CLOSED, Status().state);
    EXPECT_FALSE(Status().handle_held);
    peer.Send("late");
    ULONGLONG took = 0;
    EXPECT_EQ("", TimedRead(4, 1000, &took));
    EXPECT_LT(took, 100u);
    WriteString("never");
    EXPECT_EQ("", peer.Receive(5));
    EXPECT_TRUE(ShownErrors().empty());
}

} // namespace
