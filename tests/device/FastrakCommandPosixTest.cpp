// Command failures and line restoration that need a pseudo-terminal's own controls (hang-up,
// failing system calls, termios).
#include <termios.h>

#include <cerrno>
#include <string>
#include <vector>

#include "../serial/SyscallHooks.h"
#include "FastrakCommandFixture.h"

using commandtest::FastrakCommands;
using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_lflag == b.c_lflag && a.c_oflag == b.c_oflag &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

TEST_F(FastrakCommands, EveryCommandFailsWithItsLinesWhenTheLineIsGone) {
    FastrakTestAccess::setStylus(*device, 1, true);
    pty.hangUp();
    const std::string failedWrite = writeFailure();
    CaptureStdout capture;
    EXPECT_FALSE(device->resetDevice());
    EXPECT_FALSE(device->setAlignment());
    EXPECT_FALSE(device->setHemisphere(1, "H1,0,-1,0\r"));
    EXPECT_FALSE(device->setStylusButton(1));
    EXPECT_FALSE(device->setDataFormat(1, true, true));
    EXPECT_FALSE(device->setBinaryMode());
    EXPECT_FALSE(device->startContinuous());
    EXPECT_FALSE(device->stopContinuous());
    const auto lines = splitLines(capture.finish());
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: Resetting.",
        failedWrite,
        "Lab: ERROR: CFastrak: Resetting failed.",
        "Lab: DEBUG: CFastrak: Setting alignment.",
        failedWrite,  // a failed "R" write ends the alignment without a line of its own
        "Lab: DEBUG: CFastrak: Setting hemisphere.",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not set hemisphere.",
        "Lab: DEBUG: CFastrak: Setting hemisphere failed.",
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus Button for station 1.",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not set stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus button failed.",
        "Lab: DEBUG: CFastrak: Setting data format for station 1 (Tracker and Controller).",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not set data format.",
        "Lab: DEBUG: CFastrak: Setting data format failed.",
        "Lab: DEBUG: CFastrak: Setting BINARY mode.",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not set BINARY mode.",
        "Lab: DEBUG: CFastrak: Setting BINARY mode failed.",
        "Lab: DEBUG: CFastrak: Starting continuous mode.",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not start continuous mode.",
        "Lab: DEBUG: CFastrak: Starting continuous mode failed.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode.",
        failedWrite,
        "Lab: ERROR: CFastrak: Could not stop continuous mode.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode failed.",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(waits().empty());  // no command waits after a failure
}

TEST_F(FastrakCommands, AFailedFrameWriteAfterTheResetIsReportedAsAFailedAlignment) {
    syscallhooks::failTerminalWrite(2, EIO);  // the "R" write goes out, the "A" write fails
    CaptureStdout capture;
    EXPECT_FALSE(device->setAlignment());
    const auto lines = splitLines(capture.finish());
    syscallhooks::failTerminalWrite(0, 0);
    expectSent("R1\rR2\rR3\rR4\r");
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: Setting alignment.",
        writeFailure(),
        "Lab: ERROR: CFastrak: Could not set alignment.",
        "Lab: DEBUG: CFastrak: Setting alignment failed.",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(waits().empty());
}

TEST_F(FastrakCommands, ACommandTheLineTakesOnlyInPartFailsItsStep) {
    // Three bytes go out, then the line fails: the data format step must not count as sent.
    syscallhooks::shortenTerminalWrite(1, 3);
    syscallhooks::failTerminalWrite(2, EIO);
    CaptureStdout capture;
    EXPECT_FALSE(device->setDataFormat(2, true, false));
    const auto lines = splitLines(capture.finish());
    syscallhooks::failTerminalWrite(0, 0);
    expectSent("O2,");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Lab: ERROR: CFastrak: Could not set data format.");
    EXPECT_EQ(lines.back(), "Lab: DEBUG: CFastrak: Setting data format failed.");
}

TEST(FastrakCommandLine, StopAndDestructionPutTheLineBackAsItWas) {
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &before), 0);
    Logger logger;
    logger.setDefaults();
    for (int viaStop = 0; viaStop < 2; ++viaStop) {
        CFastrak* device = new CFastrak(nullptr, &logger);
        CRS232H* port = new CRS232H(&logger);
        ASSERT_TRUE(port->openPort(pty.slavePath().c_str()));
        ASSERT_TRUE(port->setBaudRate(115200));
        ASSERT_TRUE(port->setAttribute());
        FastrakTestAccess::attachPort(*device, port);
        termios during{};
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &during), 0);
        EXPECT_FALSE(sameLine(during, before));
        CaptureStdout quiet;
        if (viaStop) {
            EXPECT_TRUE(device->stop());
        }
        delete device;
        quiet.finish();
        termios after{};
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &after), 0);
        EXPECT_TRUE(sameLine(after, before)) << (viaStop ? "after stop" : "after destruction");
        pty.readAll(50);
    }
}
