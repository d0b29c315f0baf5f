// The POSIX serial shim against Win32 rules: port names, DCB on termios, COMMTIMEOUTS, hang-ups.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/SerialPath.h"
#include "platform/win32.h"
#include "support/PtyPair.h"

using testsupport::PtyPair;

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SerialShim : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        port = CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &found), 0);
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE && port != nullptr) CloseHandle(port);
    }

    DCB currentDcb() {
        DCB dcb;
        EXPECT_TRUE(GetCommState(port, &dcb));
        return dcb;
    }

    void makeBinary() {
        DCB dcb = currentDcb();
        dcb.fBinary = 1;
        ASSERT_TRUE(SetCommState(port, &dcb));
    }

    void setTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }

    termios slaveLine() {
        termios line{};
        EXPECT_EQ(tcgetattr(pty.slaveFd(), &line), 0);
        return line;
    }

    PtyPair pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    termios found{};
};

}  // namespace

TEST(SerialName, ComPortsMapAsWineDoesPathsStayAndOtherNamesLiveUnderDev) {
    EXPECT_EQ(platform::serialDevicePath("com1"), "/dev/ttyS0");
    EXPECT_EQ(platform::serialDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(platform::serialDevicePath("Com3"), "/dev/ttyS2");
    EXPECT_EQ(platform::serialDevicePath("\\\\.\\COM10"), "/dev/ttyS9");
    EXPECT_EQ(platform::serialDevicePath("com0"), "/dev/com0");  // there is no COM0
    EXPECT_EQ(platform::serialDevicePath("com"), "/dev/com");
    EXPECT_EQ(platform::serialDevicePath("com1x"), "/dev/com1x");
    EXPECT_EQ(platform::serialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(platform::serialDevicePath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(platform::serialDevicePath("serial/by-id/x"), "serial/by-id/x");
    EXPECT_EQ(platform::serialDevicePath(""), "");
}

TEST(SerialHandles, UnknownHandlesAndParametersAreRefused) {
    DCB dcb;
    COMMTIMEOUTS timeouts{};
    DWORD count = 7;
    char byte = 0;
    const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234));
    EXPECT_FALSE(GetCommState(bogus, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(nullptr, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(SetCommTimeouts(INVALID_HANDLE_VALUE, &timeouts));
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateFileA("/nonexistent/tty", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SerialShim, ASecondCloseOfTheSameHandleFails) {
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    char byte = 'x';
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(port, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    port = INVALID_HANDLE_VALUE;
}

TEST_F(SerialShim, DcbSettingsReachTheLineAndReadBack) {
    DCB dcb = currentDcb();
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x05;
    dcb.XoffChar = 0x06;
    ASSERT_TRUE(SetCommState(port, &dcb));

    const termios line = slaveLine();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B57600));
    EXPECT_NE(line.c_cflag & CSTOPB, 0u);
    EXPECT_NE(line.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(line.c_cc[VSTART], 0x05);
    EXPECT_EQ(line.c_cc[VSTOP], 0x06);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

    const DCB back = currentDcb();
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.fBinary, 1u);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.XonChar, 0x05);
    EXPECT_EQ(back.XoffChar, 0x06);
}

// Either half of the Win32 hardware handshake asks for it: CTS watched on output, or RTS driven
// by the input buffer. termios has the two only together.
TEST_F(SerialShim, EitherHalfOfTheHardwareHandshakeTurnsItOn) {
    struct Case {
        DWORD ctsFlow;
        DWORD rtsControl;
        bool handshake;
    };
    for (const Case& c : {Case{1, RTS_CONTROL_ENABLE, true}, Case{0, RTS_CONTROL_HANDSHAKE, true},
                          Case{0, RTS_CONTROL_ENABLE, false}, Case{0, RTS_CONTROL_DISABLE, false}}) {
        SCOPED_TRACE(std::to_string(c.ctsFlow) + " " + std::to_string(c.rtsControl));
        DCB dcb = currentDcb();
        dcb.fOutxCtsFlow = c.ctsFlow;
        dcb.fRtsControl = c.rtsControl;
        ASSERT_TRUE(SetCommState(port, &dcb));
        EXPECT_EQ((slaveLine().c_cflag & CRTSCTS) != 0, c.handshake);
    }
}

TEST_F(SerialShim, ADcbReadAtOpenPutsTheLineBackBitForBit) {
    const DCB atOpen = currentDcb();
    DCB raw = atOpen;
    raw.fBinary = 1;
    raw.BaudRate = 9600;
    raw.fOutX = 0;
    ASSERT_TRUE(SetCommState(port, &raw));
    DCB again = atOpen;
    ASSERT_TRUE(SetCommState(port, &again));
    const termios line = slaveLine();
    EXPECT_EQ(line.c_iflag, found.c_iflag);
    EXPECT_EQ(line.c_oflag, found.c_oflag);
    EXPECT_EQ(line.c_cflag, found.c_cflag);
    EXPECT_EQ(line.c_lflag, found.c_lflag);
    EXPECT_EQ(std::memcmp(line.c_cc, found.c_cc, sizeof line.c_cc), 0);
}

TEST_F(SerialShim, InvalidDcbsAreRefusedAndLeaveTheLineAlone) {
    const DCB good = currentDcb();
    const auto refused = [&](DCB dcb) {
        const BOOL result = SetCommState(port, &dcb);
        return result == FALSE && GetLastError() == ERROR_INVALID_PARAMETER;
    };
    DCB dcb = good;
    dcb.ByteSize = 9;
    EXPECT_TRUE(refused(dcb));
    dcb = good;
    dcb.Parity = 7;
    EXPECT_TRUE(refused(dcb));
    dcb = good;
    dcb.BaudRate = 12345;
    EXPECT_TRUE(refused(dcb));
    dcb = good;
    dcb.StopBits = ONE5STOPBITS;  // only with five data bits
    EXPECT_TRUE(refused(dcb));
    dcb = good;
    dcb.fOutX = 1;
    dcb.XonChar = dcb.XoffChar = 0x11;
    EXPECT_TRUE(refused(dcb));
    const termios line = slaveLine();
    EXPECT_EQ(line.c_cflag, found.c_cflag);
    EXPECT_EQ(line.c_lflag, found.c_lflag);
    EXPECT_EQ(cfgetospeed(&line), cfgetospeed(&found));
}

TEST_F(SerialShim, TimeoutsAreKeptPerHandleAndTheAllMaxTripleIsRefused) {
    COMMTIMEOUTS set{10, 20, 30, 40, 50};
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    COMMTIMEOUTS got{};
    ASSERT_TRUE(GetCommTimeouts(port, &got));
    EXPECT_EQ(std::memcmp(&set, &got, sizeof set), 0);
    COMMTIMEOUTS bad{kMaxDword, kMaxDword, kMaxDword, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommTimeouts(port, &got));
    EXPECT_EQ(std::memcmp(&set, &got, sizeof set), 0);
}

TEST_F(SerialShim, ReadTimeoutRulesOfWin32) {
    makeBinary();
    char buffer[16] = {};
    DWORD count = 99;

    // Interval MAXDWORD with no total: return at once with what is there.
    setTimeouts(kMaxDword, 0, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_LT(secondsSince(start), 1.0);
    ASSERT_TRUE(pty.write("abc"));
    std::string got;
    for (int i = 0; i < 200 && got.size() < 3; ++i) {  // the pty hands bytes over asynchronously
        ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
        got.append(buffer, count);
        if (got.size() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(got, "abc");

    // A total timeout: a short read returns what arrived once the total has passed.
    setTimeouts(0, 10, 500);  // 10 ms per byte asked for, plus 500 ms
    ASSERT_TRUE(pty.write("xy"));
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, 10, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "xy");
    EXPECT_GT(secondsSince(start), 0.3);

    // All bytes there: no waiting for the total.
    setTimeouts(0, 0, 60000);
    ASSERT_TRUE(pty.write("1234"));
    ASSERT_TRUE(ReadFile(port, buffer, 4, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "1234");

    // MAXDWORD interval and multiplier: wait for the first byte only, then return what is there.
    setTimeouts(kMaxDword, kMaxDword, 60000);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.write("Q");
    });
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    late.join();
    EXPECT_EQ(std::string(buffer, count), "Q");
    setTimeouts(kMaxDword, kMaxDword, 200);
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u);

    // Interval timeout alone: after the first bytes, a gap ends the read.
    setTimeouts(50, 0, 0);
    ASSERT_TRUE(pty.write("ij"));
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "ij");

    // No timeouts at all: a single byte blocks until it comes.
    setTimeouts(0, 0, 0);
    ASSERT_TRUE(pty.write("z"));
    ASSERT_TRUE(ReadFile(port, buffer, 1, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "z");
}

TEST_F(SerialShim, ACookedLineStillHonoursTheTimeouts) {
    setTimeouts(0, 0, 200);
    char buffer[8] = {};
    DWORD count = 99;
    ASSERT_TRUE(ReadFile(port, buffer, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(pty.write("ok\n"));
    ASSERT_TRUE(ReadFile(port, buffer, 3, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "ok\n");
}

TEST_F(SerialShim, AHangUpFailsEveryKindOfRead) {
    makeBinary();
    char byte = 0;
    DWORD count = 99;
    // A read that already has its wait programmed sees the hang-up as an immediate 0 from read().
    setTimeouts(0, 0, 1000);
    ASSERT_TRUE(pty.write("a"));
    ASSERT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
    ASSERT_EQ(count, 1u);
    for (const COMMTIMEOUTS& timeouts : {COMMTIMEOUTS{0, 0, 1000, 0, 0}, COMMTIMEOUTS{kMaxDword, 0, 0, 0, 0},
                                         COMMTIMEOUTS{0, 0, 0, 0, 0}, COMMTIMEOUTS{20, 0, 500, 0, 0}}) {
        COMMTIMEOUTS copy = timeouts;
        ASSERT_TRUE(SetCommTimeouts(port, &copy));
        if (pty.masterFd() >= 0) pty.hangUp();
        EXPECT_FALSE(ReadFile(port, &byte, 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED) << timeouts.ReadIntervalTimeout;
        EXPECT_EQ(count, 0u);
    }
    char buffer[4];
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(port, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialShim, BytesReadBeforeAHangUpInOneReadAreReturnedAndTheNextReadFails) {
    makeBinary();
    setTimeouts(0, 0, 10000);
    std::thread cut([&] {
        pty.write("abc");
        // Hang up once the read has taken the bytes off the line.
        int waiting = 1;
        for (int i = 0; i < 500 && waiting > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (ioctl(pty.slaveFd(), FIONREAD, &waiting) != 0) waiting = 0;
        }
        pty.hangUp();
    });
    char buffer[10] = {};
    DWORD count = 0;
    const BOOL result = ReadFile(port, buffer, sizeof buffer, &count, nullptr);
    cut.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(std::string(buffer, count), "abc");
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(count, 0u);
}

TEST_F(SerialShim, AReadWaitingWhenTheLineHangsUpFailsWithoutWaitingOutItsTimeout) {
    makeBinary();
    setTimeouts(0, 0, 20000);
    char byte = 0;
    DWORD count = 0;
    std::thread cut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty.hangUp();
    });
    const auto start = std::chrono::steady_clock::now();
    const BOOL result = ReadFile(port, &byte, 1, &count, nullptr);
    const DWORD error = GetLastError();
    cut.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(secondsSince(start), 15.0);
}

TEST_F(SerialShim, ClosingPutsBackTheReadTimingOfTheLastSettings) {
    makeBinary();
    const termios applied = slaveLine();
    setTimeouts(0, 0, 300);
    char bytes[2] = {};
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, bytes, 2, &count, nullptr));
    ASSERT_NE(applied.c_cc[VMIN], 0);
    EXPECT_EQ(slaveLine().c_cc[VMIN], 0);  // the read programmed its own timing
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    const termios closed = slaveLine();
    EXPECT_EQ(closed.c_cc[VMIN], applied.c_cc[VMIN]);
    EXPECT_EQ(closed.c_cc[VTIME], applied.c_cc[VTIME]);
}

TEST_F(SerialShim, WritesGoOutWhole) {
    makeBinary();
    std::string big(3000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    DWORD count = 0;
    std::string received;
    std::thread reader([&] { received = pty.read(big.size(), 20000); });
    ASSERT_TRUE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &count, nullptr));
    reader.join();
    EXPECT_EQ(count, big.size());
    EXPECT_EQ(received, big);
}
