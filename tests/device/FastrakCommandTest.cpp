// The tracker's command protocol on a real pseudo-terminal: exact bytes, waits, lines and failures.
#include <gtest/gtest.h>

#include <termios.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../serial/SyscallHooks.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/PtyPair.h"

using testsupport::CaptureStdout;
using testsupport::PtyPair;
using testsupport::splitLines;

// The device's test hook: attach a port and set station flags as set-up would.
struct FastrakTestAccess {
    static void attachPort(CFastrak& device, CRS232H* port) { device.serialPort = port; }
    static void setStylus(CFastrak& device, int station, bool on) { device.stylusStation[station - 1] = on; }
};

namespace {

std::mutex waitsLock;
std::vector<uint32_t> recordedWaits;

void recordWait(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(waitsLock);
    recordedWaits.push_back(milliseconds);
}

const char kAlignmentBytes[] =
    "R1\rR2\rR3\rR4\r"
    "A1,0,0,0,0,0,-200,200,0,0\rA2,0,0,0,0,0,-200,200,0,0\r"
    "A3,0,0,0,0,0,-200,200,0,0\rA4,0,0,0,0,0,-200,200,0,0\r";

class FastrakCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        previousSleeper = platform::setSleeper(&recordWait);
        recordedWaits.clear();
        logger.setDefaults();
        logger.setName("Lab");
        logger.showDate = logger.showTime = logger.showThreadId = 0;
        logger.debugLevel = 1;
        ASSERT_EQ(tcgetattr(pty.slaveFd(), &lineBefore), 0);
        device = new CFastrak(nullptr, &logger);
        port = new CRS232H(&logger);
        ASSERT_TRUE(port->openPort(pty.slavePath().c_str()));
        // As set-up leaves the line: binary, 8N1, no software flow control, 1 s read timeout.
        PortAttribute attribute;
        ASSERT_TRUE(port->fetchAttribute(&attribute));
        attribute.dcb.fBinary = 1;
        attribute.dcb.ByteSize = 8;
        attribute.dcb.StopBits = ONESTOPBIT;
        attribute.dcb.fOutX = 0;
        attribute.dcb.fInX = 0;
        attribute.timeouts = COMMTIMEOUTS{0, 0, 1000, 0, 0};
        ASSERT_TRUE(port->storeAttribute(&attribute));
        ASSERT_TRUE(port->setBaudRate(38400));
        ASSERT_TRUE(port->setAttribute());
        FastrakTestAccess::attachPort(*device, port);
    }

    void TearDown() override {
        delete device;
        platform::setSleeper(previousSleeper);
    }

    std::vector<uint32_t> waits() {
        std::lock_guard<std::mutex> hold(waitsLock);
        return recordedWaits;
    }

    // Exactly these bytes arrived at the tracker's end, and nothing after them.
    void expectSent(const std::string& expected) {
        EXPECT_EQ(pty.read(expected.size(), 5000), expected);
        EXPECT_EQ(pty.readAll(50), "");
    }

    std::string writeFailure() const {
        return "Lab: ERROR: CRS232H: Writing to " + pty.slavePath() + ": The device is not connected.";
    }

    PtyPair pty;
    Logger logger;
    termios lineBefore{};
    CFastrak* device = nullptr;
    CRS232H* port = nullptr;
    platform::SleepFunction previousSleeper = nullptr;
};

}  // namespace

TEST_F(FastrakCommands, ResetSendsControlYAndWaitsTwentySeconds) {
    CaptureStdout capture;
    EXPECT_TRUE(device->resetDevice());
    const auto lines = splitLines(capture.finish());
    expectSent("\x19");
    EXPECT_EQ(waits(), std::vector<uint32_t>{20000});
    const std::vector<std::string> expected = {"Lab: DEBUG: CFastrak: Resetting.", "Lab: DEBUG: CFastrak: Reset done."};
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, AlignmentResetsThenSetsTheFrameOfAllStations) {
    CaptureStdout capture;
    EXPECT_TRUE(device->setAlignment());
    const auto lines = splitLines(capture.finish());
    expectSent(kAlignmentBytes);
    EXPECT_EQ(waits(), std::vector<uint32_t>{1000});
    const std::vector<std::string> expected = {"Lab: DEBUG: CFastrak: Setting alignment.",
                                               "Lab: DEBUG: CFastrak: Setting alignment done."};
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, HemisphereCarriesTheStationDigitAndWaitsASecond) {
    const char* minusZ = "H1,0,0,-1\r";
    std::string sent;
    for (int station = 1; station <= 4; ++station) {
        EXPECT_TRUE(device->setHemisphere(station, minusZ));
        sent += pty.read(10, 5000);
    }
    EXPECT_EQ(sent, "H1,0,0,-1\rH2,0,0,-1\rH3,0,0,-1\rH4,0,0,-1\r");
    EXPECT_EQ(waits(), (std::vector<uint32_t>{1000, 1000, 1000, 1000}));

    CaptureStdout capture;
    EXPECT_TRUE(device->setHemisphere(3, "H1,1,0,0\r"));
    const auto lines = splitLines(capture.finish());
    expectSent("H3,1,0,0\r");
    const std::vector<std::string> expected = {"Lab: DEBUG: CFastrak: Setting hemisphere.",
                                               "Lab: DEBUG: CFastrak: Setting hemisphere done."};
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, StylusButtonOnlyForStylusStations) {
    FastrakTestAccess::setStylus(*device, 2, true);
    FastrakTestAccess::setStylus(*device, 4, true);
    CaptureStdout capture;
    EXPECT_TRUE(device->setStylusButton(2));
    EXPECT_FALSE(device->setStylusButton(3));  // no stylus there: nothing is sent
    EXPECT_FALSE(device->setStylusButton(0));
    EXPECT_FALSE(device->setStylusButton(5));
    EXPECT_TRUE(device->setStylusButton(4));
    const auto lines = splitLines(capture.finish());
    expectSent("e2,0\re4,0\r");
    EXPECT_TRUE(waits().empty());
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus Button for station 2.",
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus button.",
        "Lab: DEBUG: CFastrak: Setting stylus Button for station 4.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, DataFormatFollowsTheStationsFlags) {
    CaptureStdout capture;
    EXPECT_TRUE(device->setDataFormat(1, true, true));
    EXPECT_TRUE(device->setDataFormat(2, true, false));
    EXPECT_TRUE(device->setDataFormat(3, false, true));
    EXPECT_TRUE(device->setDataFormat(4, false, false));
    const auto lines = splitLines(capture.finish());
    expectSent("O1,2,4,16,1\rO2,2,4,1\rO3,16,1\rO4,2,4,1\r");
    EXPECT_TRUE(waits().empty());
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: Setting data format for station 1 (Tracker and Controller).",
        "Lab: DEBUG: CFastrak: Setting data format done.",
        "Lab: DEBUG: CFastrak: Setting data format for station 2 (Tracker).",
        "Lab: DEBUG: CFastrak: Setting data format done.",
        "Lab: DEBUG: CFastrak: Setting data format for station 3 (Controller).",
        "Lab: DEBUG: CFastrak: Setting data format done.",
        "Lab: DEBUG: CFastrak: Setting data format for station 4 (Tracker).",
        "Lab: DEBUG: CFastrak: Setting data format done.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, SingleLetterCommands) {
    CaptureStdout capture;
    EXPECT_TRUE(device->setBinaryMode());
    EXPECT_TRUE(device->startContinuous());
    EXPECT_TRUE(device->stopContinuous());
    const auto lines = splitLines(capture.finish());
    expectSent("fCc");
    EXPECT_TRUE(waits().empty());
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: Setting BINARY mode.",      "Lab: DEBUG: CFastrak: Setting BINARY mode done.",
        "Lab: DEBUG: CFastrak: Starting continuous mode.", "Lab: DEBUG: CFastrak: Starting continuous mode done.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode.", "Lab: DEBUG: CFastrak: Stopping continuous mode done.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, WithDebugOffTheStationTracesAreNotWrittenAtAll) {
    Logger quiet = logger;
    quiet.debugLevel = 0;
    CFastrak silent(nullptr, &quiet);
    FastrakTestAccess::attachPort(silent, port);
    FastrakTestAccess::setStylus(silent, 1, true);
    CaptureStdout capture;
    EXPECT_TRUE(silent.setDataFormat(2, false, false));
    EXPECT_TRUE(silent.setStylusButton(1));
    EXPECT_EQ(capture.finish(), "");
    FastrakTestAccess::attachPort(silent, nullptr);  // the fixture's device owns the port
    expectSent("O2,2,4,1\re1,0\r");
}

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

TEST_F(FastrakCommands, StopEndsContinuousOutputAndGivesTheLineBack) {
    CaptureStdout capture;
    EXPECT_TRUE(device->stop());
    EXPECT_TRUE(device->stop());  // a second stop finds the port closed: "c" fails, still true
    const auto lines = splitLines(capture.finish());
    expectSent("c");
    termios lineAfter{};
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &lineAfter), 0);
    EXPECT_EQ(lineAfter.c_lflag, lineBefore.c_lflag);
    EXPECT_EQ(lineAfter.c_iflag, lineBefore.c_iflag);
    EXPECT_EQ(cfgetospeed(&lineAfter), cfgetospeed(&lineBefore));
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: \"stop\" called.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode done.",
        "Lab: DEBUG: CFastrak: \"stop\" called.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode.",
        "Lab: ERROR: CRS232H: Writing to " + pty.slavePath() + ": The handle is invalid.",
        "Lab: ERROR: CFastrak: Could not stop continuous mode.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode failed.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, DestroyingTheDeviceClosesItsPort) {
    delete device;
    device = nullptr;
    termios lineAfter{};
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &lineAfter), 0);
    EXPECT_EQ(lineAfter.c_lflag, lineBefore.c_lflag);
    EXPECT_EQ(cfgetospeed(&lineAfter), cfgetospeed(&lineBefore));
    CRS232H again(&logger);  // the exclusive open was released
    EXPECT_TRUE(again.openPort(pty.slavePath().c_str()));
}
