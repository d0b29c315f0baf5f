// What the terminal system calls show: a single-byte read with a total timeout is one read() call
// once the wait is programmed (the record decoder reads every byte that way), a write the line takes
// only in part comes back short, each parity maps onto the termios flags the shim asks for, and a
// close drains the line before it restores the saved settings.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "SerialLineSetup.h"
#include "SyscallHooks.h"
#include "platform/win32.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/PtyPair.h"

using testsupport::PtyPair;

namespace {

// The slave end opened through the shim in binary mode; INVALID_HANDLE_VALUE when that fails.
HANDLE openBinary(const PtyPair& pty) {
    const HANDLE port = CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return port;
    DCB dcb;
    if (GetCommState(port, &dcb)) {
        dcb.fBinary = 1;
        if (SetCommState(port, &dcb)) return port;
    }
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

TEST(SerialSyscalls, ASingleByteReadWithATotalTimeoutIsOneReadCall) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    const HANDLE port = openBinary(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
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
    syscallhooks::Counts counts = syscallhooks::counts();
    EXPECT_EQ(got, "123");
    EXPECT_EQ(counts.read, 3);
    EXPECT_EQ(counts.poll, 0);
    EXPECT_EQ(counts.ioctl, 0);
    EXPECT_EQ(counts.tcgetattr, 0);
    EXPECT_EQ(counts.tcsetattr, 0);

    // A silent line waits out the timeout in one read; only then one probe tells silence from a
    // hang-up.
    ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    counts = syscallhooks::counts();
    EXPECT_EQ(counts.read, 4);
    EXPECT_LE(counts.poll, 1);
    EXPECT_LE(counts.tcgetattr, 1);
    EXPECT_EQ(counts.tcsetattr, 0);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(SerialSyscalls, AHangUpIsSeenAtTheFirstEmptyReadNotSpunOn) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    const HANDLE port = openBinary(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
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

// A timeout between two tenths of a second must not end in a VTIME of 0, which would spin.
TEST(SerialSyscalls, ASilentReadWithATimeoutOffTheTenthsWaitsInAtMostTwoReadCalls) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    const HANDLE port = openBinary(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    for (DWORD totalMs : {50u, 150u, 1050u}) {
        COMMTIMEOUTS timeouts{0, 0, totalMs, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        char byte = 0;
        DWORD count = 99;
        syscallhooks::resetCounts();
        ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
        EXPECT_EQ(count, 0u) << totalMs;
        EXPECT_LE(syscallhooks::counts().read, 2) << totalMs;
    }
    EXPECT_TRUE(CloseHandle(port));
}

TEST(SerialSyscalls, AWriteTheLineTakesOnlyInPartComesBackShort) {
    const std::string command = "O1,2,4,16,1\r";
    struct Case {
        int failingWrite;  // 0: the rest goes out with the next write() call
        uint32_t reported;
        std::string arrived;
    };
    for (const Case& item : {Case{2, 3, "O1,"}, Case{0, 12, command}}) {
        PtyPair pty;
        ASSERT_TRUE(pty.ok()) << pty.error();
        CRS232H port;
        ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
        configureLikeTheDevice(port, 9600);
        syscallhooks::shortenTerminalWrite(1, 3);
        if (item.failingWrite != 0) syscallhooks::failTerminalWrite(item.failingWrite, EIO);
        testsupport::CaptureStdout capture;
        const uint32_t written = port.writePort(command.data(), static_cast<uint32_t>(command.size()));
        const std::string output = capture.finish();
        syscallhooks::failTerminalWrite(0, 0);
        EXPECT_EQ(written, item.reported);
        EXPECT_EQ(pty.read(command.size(), 300), item.arrived);
        EXPECT_EQ(output.find("ERROR: CRS232H: Writing to ") != std::string::npos, item.failingWrite != 0) << output;
    }
}

// A pseudo-terminal drops PARENB from whatever it is given, so the request itself is checked.
TEST(SerialSyscalls, EachParityMapsOntoItsTermiosFlags) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    termios stale{};
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &stale), 0);
    stale.c_cflag |= PARODD | CMSPAR;  // what an earlier user may have left; the pty keeps these
    ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &stale), 0);
    const HANDLE port = openBinary(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB atOpen;
    ASSERT_TRUE(GetCommState(port, &atOpen));
    struct Case {
        BYTE parity;
        tcflag_t set;
        tcflag_t clear;
    };
    const Case cases[] = {
        {NOPARITY, 0, PARENB},
        {ODDPARITY, PARENB | PARODD, CMSPAR},
        {EVENPARITY, PARENB, PARODD | CMSPAR},
        {MARKPARITY, PARENB | PARODD | CMSPAR, 0},
        {SPACEPARITY, PARENB | CMSPAR, PARODD},
    };
    for (const Case& item : cases) {
        for (DWORD check : {0u, 1u}) {
            DCB dcb = atOpen;
            dcb.Parity = item.parity;
            dcb.fParity = check;
            ASSERT_TRUE(SetCommState(port, &dcb)) << static_cast<int>(item.parity);
            const termios line = syscallhooks::lastRequestedLine();
            EXPECT_EQ(line.c_cflag & (item.set | item.clear), item.set) << static_cast<int>(item.parity);
            EXPECT_EQ((line.c_iflag & INPCK) != 0, check == 1u) << static_cast<int>(item.parity);
        }
    }
    EXPECT_TRUE(CloseHandle(port));
}

// Closing, the port lets what was written leave the line before it puts the saved settings back,
// so a stop command goes out at the speed it was written for.
TEST(SerialSyscalls, CloseDrainsTheLineBeforeItRestoresTheSavedSettings) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    CRS232H port;
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 115200);
    syscallhooks::resetCounts();
    ASSERT_EQ(port.writePort("c", 1), 1u);
    EXPECT_TRUE(port.closePort());
    const std::string order = syscallhooks::writesDrainsAndSettings();
    EXPECT_EQ(order.substr(0, 3), "wds") << order;
    EXPECT_EQ(pty.read(1, 300), "c");
}

// The line offers a byte that the read then misses, as when another program reads the port: the
// read still ends at its timeout, and the port names the likely cause once, not at every read.
TEST(SerialSyscalls, BytesTakenByAnotherReaderAreNamed) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Logger owner;
    owner.setDefaults();
    owner.setName("Owner");
    owner.showDate = owner.showTime = owner.showThreadId = 0;
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 115200);
    PortAttribute attribute;
    ASSERT_TRUE(port.fetchAttribute(&attribute));
    attribute.timeouts.ReadTotalTimeoutConstant = 100;
    ASSERT_TRUE(port.setAttribute(&attribute));
    ASSERT_TRUE(pty.write("x"));
    char byte = 0;
    testsupport::CaptureStdout capture;
    syscallhooks::missTerminalReads(1 << 30);
    EXPECT_EQ(port.readPort(&byte, 1), 0);
    EXPECT_EQ(port.readPort(&byte, 1), 0);
    syscallhooks::missTerminalReads(0);
    EXPECT_EQ(port.readPort(&byte, 1), 1);
    const std::string name = pty.slavePath();
    EXPECT_EQ(testsupport::splitLines(capture.finish()),
              std::vector<std::string>{"Owner: WARNING: CRS232H: The line offered bytes that a read of " + name +
                                       " did not get: another program may be reading " + name});
}
