// The bench itself: a mapped cable carries bytes both ways through the real
// Win32 serial calls, and ports that are busy or unmapped do not open.
#include "tests/support/testbench.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

HANDLE OpenPort(int n) {
    return CreateFileA(TESTBENCH_PortPath(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

void SetTimeouts(HANDLE h) {
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 1000;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

TEST(Testbench, CableCarriesBytesBothWaysAndPortsCanBeBlocked) {
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapPair(7, 8));
    HANDLE a = OpenPort(7);
    HANDLE b = OpenPort(8);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    SetTimeouts(a);
    SetTimeouts(b);

    DWORD n = 0;
    ASSERT_TRUE(WriteFile(a, "ping", 4, &n, nullptr));
    char buf[8] = {};
    ASSERT_TRUE(ReadFile(b, buf, 4, &n, nullptr));
    EXPECT_EQ(4u, n);
    EXPECT_STREQ("ping", buf);
    ASSERT_TRUE(WriteFile(b, "\x90", 1, &n, nullptr));
    ASSERT_TRUE(ReadFile(a, buf, 1, &n, nullptr));
    EXPECT_EQ(1u, n);
    EXPECT_EQ('\x90', buf[0]);
    CloseHandle(a);
    CloseHandle(b);

    ASSERT_TRUE(TESTBENCH_MapBusy(7));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPort(7));
    ASSERT_TRUE(TESTBENCH_Unmap(8));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPort(8));
    EXPECT_TRUE(TESTBENCH_Reset());
}

TEST(Testbench, NoPortOpensAfterReset) {
    ASSERT_TRUE(TESTBENCH_Reset());
    for (int n = 1; n <= 20; ++n) {
        HANDLE h = OpenPort(n);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h) << "COM" << n;
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
}

} // namespace
