// CRS232H on real pseudo-terminals: settings restored on close, speed, reads, hang-ups, exclusive open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/PtyPair.h"
#include "SerialLineSetup.h"

using testsupport::CaptureStdout;
using testsupport::PtyPair;
using testsupport::splitLines;

namespace {

Logger ownerLogger() {
    Logger logger;
    logger.setDefaults();
    logger.setName("Owner");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    return logger;
}

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()) << pty.error(); }

    termios slaveLine() {
        termios line{};
        EXPECT_EQ(tcgetattr(pty.slaveFd(), &line), 0);
        return line;
    }

    PtyPair pty;
    Logger owner = ownerLogger();
};

}  // namespace

TEST_F(SerialPty, CloseRestoresTheLineExactlyAndThePendingCopyBecomesTheSavedOne) {
    const termios before = slaveLine();
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    PortAttribute found;
    ASSERT_TRUE(port.fetchAttribute(&found));
    EXPECT_EQ(found.dcb.BaudRate, 38400u);  // a fresh pseudo-terminal's speed
    EXPECT_EQ(found.dcb.fBinary, 0u);       // and its cooked line discipline

    configureLikeTheDevice(port, 115200);
    const termios configured = slaveLine();
    EXPECT_EQ(cfgetospeed(&configured), static_cast<speed_t>(B115200));
    EXPECT_EQ(configured.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(configured.c_oflag & OPOST, 0u);
    EXPECT_EQ(configured.c_iflag & ICRNL, 0u);

    CaptureStdout capture;
    EXPECT_TRUE(port.closePort());
    EXPECT_FALSE(port.closePort());  // already closed: false, and silent
    EXPECT_EQ(capture.finish(), "");
    EXPECT_TRUE(sameLine(slaveLine(), before));
    PortAttribute pending;
    ASSERT_TRUE(port.fetchAttribute(&pending));
    EXPECT_EQ(std::memcmp(&pending, &found, sizeof pending), 0);
}

TEST_F(SerialPty, BaudRateReachesTheLineOnlyWhenApplied) {
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    ASSERT_TRUE(port.setBaudRate(115200));
    termios line = slaveLine();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B38400));
    PortAttribute pending;
    ASSERT_TRUE(port.fetchAttribute(&pending));
    EXPECT_EQ(pending.dcb.BaudRate, 115200u);
    ASSERT_TRUE(port.setAttribute());
    line = slaveLine();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    PortAttribute read;
    ASSERT_TRUE(port.getAttribute(&read));
    EXPECT_EQ(read.dcb.BaudRate, 115200u);
}

TEST_F(SerialPty, HangUpFailsReadsAndWritesInsteadOfLookingLikeSilence) {
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 38400);
    pty.hangUp();
    char byte = 0;
    CaptureStdout capture;
    EXPECT_EQ(port.readPort(&byte, 1), -1);
    EXPECT_EQ(port.readPort(&byte, 1), -1);  // stays failed, never a run of empty reads
    EXPECT_EQ(port.writePort("c", 1), 0u);
    EXPECT_FALSE(port.closePort());  // the line cannot take its old settings back
    const auto lines = splitLines(capture.finish());
    const std::string name = pty.slavePath();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Owner: ERROR: CRS232H: Reading from " + name + ": Input/output error");
    EXPECT_EQ(lines[1], lines[0]);
    EXPECT_EQ(lines[2], "Owner: ERROR: CRS232H: Writing to " + name + ": Input/output error");
    EXPECT_EQ(lines[3], "Owner: ERROR: CRS232H: Setting attribute(DCB) to " + name + ": Input/output error");
}

TEST_F(SerialPty, ALongestNameOpensThePort) {
    std::string name = pty.slavePath();
    name.insert(0, CRS232H::kMaxNameLength - name.size(), '/');  // extra slashes name the same path
    ASSERT_EQ(name.size(), 255u);
    CRS232H port(&owner);
    EXPECT_TRUE(port.openPort(name.c_str()));
    EXPECT_EQ(port.writePort("f", 1), 1u);
}

TEST_F(SerialPty, OpeningAgainReleasesThePortFirst) {
    const termios before = slaveLine();
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 9600);
    // The same port again: the first handle is closed and the line restored, not leaked and held.
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    PortAttribute found;
    ASSERT_TRUE(port.fetchAttribute(&found));
    EXPECT_EQ(found.dcb.BaudRate, 38400u);
    EXPECT_EQ(found.dcb.fBinary, 0u);
    ASSERT_TRUE(port.closePort());
    EXPECT_TRUE(sameLine(slaveLine(), before));
}

TEST_F(SerialPty, TheOpenIsExclusiveUntilClosed) {
    CRS232H first(&owner);
    ASSERT_TRUE(first.openPort(pty.slavePath().c_str()));
    {
        CRS232H second(&owner);
        CaptureStdout capture;
        EXPECT_FALSE(second.openPort(pty.slavePath().c_str()));
        const auto lines = splitLines(capture.finish());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "Owner: ERROR: CRS232H: Opening port " + pty.slavePath() + ": Device or resource busy");
    }
    ASSERT_TRUE(first.closePort());
    CRS232H third(&owner);
    EXPECT_TRUE(third.openPort(pty.slavePath().c_str()));
}

// Other programs that open the tty directly are kept out by TIOCEXCL. Root passes TIOCEXCL, so the
// check runs in a child that has given up root.
TEST_F(SerialPty, OtherOpenersAreRefusedWhileThePortIsOpen) {
    uid_t user = getuid();
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user 'nobody' to drop to";
        user = nobody->pw_uid;
        ASSERT_EQ(fchmod(pty.slaveFd(), 0666), 0) << std::strerror(errno);  // so only exclusivity can refuse
    }
    // 0: opened; an errno value: refused; 255: could not drop privileges.
    auto openAs = [&](uid_t uid) {
        const pid_t child = fork();
        if (child == 0) {
            if (uid != getuid() && (setgid(65534) != 0 || setuid(uid) != 0)) _exit(255);
            const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : (errno & 0x7f));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
    };
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    const int whileOpen = openAs(user);
    if (whileOpen == 255) GTEST_SKIP() << "could not drop root privileges in a child";
    EXPECT_EQ(whileOpen, EBUSY);
    ASSERT_TRUE(port.closePort());
    EXPECT_EQ(openAs(user), 0);  // closing gave the tty back
}

// Another program reading the same port (`stty -F PORT raw; cat PORT`): its settings would make a
// read of the line wait for a byte (VMIN 1), and it takes the bytes. A read still ends within its
// timeout, so the device sees the host's run flag.
TEST_F(SerialPty, AnotherReaderOfThePortCannotHoldARead) {
    CRS232H port(&owner);
    ASSERT_TRUE(port.openPort(pty.slavePath().c_str()));
    configureLikeTheDevice(port, 115200);
    char byte = 0;
    ASSERT_TRUE(pty.write("a"));
    ASSERT_EQ(port.readPort(&byte, 1), 1);
    termios raw = slaveLine();
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &raw), 0);  // the test's own descriptor is the other reader
    std::atomic<int32_t> got{99};
    std::thread reader([&] { got = port.readPort(&byte, 1); });
    for (int i = 0; i < 300 && got == 99; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool ended = got != 99;
    if (!ended) pty.write("b");  // release the read that hangs
    reader.join();
    EXPECT_TRUE(ended) << "the read waited for a byte beyond its 1000 ms timeout";
    EXPECT_EQ(got.load(), ended ? 0 : 1);
}
