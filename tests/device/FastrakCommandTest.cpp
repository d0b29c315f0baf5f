// The tracker's command protocol on a real serial line: exact bytes, waits and lines.
#include <string>
#include <vector>

#include "FastrakCommandFixture.h"

using commandtest::FastrakCommands;
using commandtest::kAlignmentBytes;
using testsupport::CaptureStdout;
using testsupport::splitLines;

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

TEST_F(FastrakCommands, StopEndsContinuousOutputAndClosesThePort) {
    CaptureStdout capture;
    EXPECT_TRUE(device->stop());
    EXPECT_TRUE(device->stop());  // a second stop finds the port closed: nothing to send, no failure
    const auto lines = splitLines(capture.finish());
    expectSent("c");
    const std::vector<std::string> expected = {
        "Lab: DEBUG: CFastrak: \"stop\" called.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode.",
        "Lab: DEBUG: CFastrak: Stopping continuous mode done.",
        "Lab: DEBUG: CFastrak: \"stop\" called.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FastrakCommands, DestroyingTheDeviceClosesItsPort) {
    delete device;
    device = nullptr;
    CRS232H again(&logger);  // the exclusive open was released
    EXPECT_TRUE(again.openPort(pty.slavePath().c_str()));
}
