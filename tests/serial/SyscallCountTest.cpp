// What one single-byte read costs: the record decoder reads every byte on its own, so a read with a
// total timeout must be one read() call once the wait is programmed, whether a byte comes or not.
#include <gtest/gtest.h>

#include <string>

#include "SyscallHooks.h"
#include "platform/win32.h"
#include "support/PtyPair.h"

using testsupport::PtyPair;

TEST(SerialSyscalls, ASingleByteReadWithATotalTimeoutIsOneReadCall) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    const HANDLE port = CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fBinary = 1;
    ASSERT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts{0, 0, 300, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(pty.write("0123"));

    char byte = 0;
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));  // the first read programs VMIN/VTIME
    ASSERT_EQ(count, 1u);

    syscallhooks::resetCounts();
    std::string got;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
        ASSERT_EQ(count, 1u);
        got += byte;
    }
    ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));  // silent line: waits out the timeout
    EXPECT_EQ(count, 0u);
    const syscallhooks::Counts counts = syscallhooks::counts();
    EXPECT_EQ(got, "123");
    EXPECT_EQ(counts.read, 4);
    EXPECT_EQ(counts.poll, 0);
    EXPECT_EQ(counts.ioctl, 0);
    EXPECT_EQ(counts.tcgetattr, 0);
    EXPECT_EQ(counts.tcsetattr, 0);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(SerialSyscalls, AHangUpIsSeenAtTheFirstEmptyReadNotSpunOn) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    const HANDLE port = CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fBinary = 1;
    ASSERT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(pty.write("0"));
    char byte = 0;
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
    ASSERT_EQ(count, 1u);

    pty.hangUp();
    syscallhooks::resetCounts();
    EXPECT_FALSE(ReadFile(port, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    const syscallhooks::Counts counts = syscallhooks::counts();
    EXPECT_EQ(counts.read, 1);  // the empty read came at once
    EXPECT_EQ(counts.poll, 1);  // and one look at the line told it was a hang-up
    EXPECT_EQ(counts.tcsetattr, 0);
    CloseHandle(port);
}
