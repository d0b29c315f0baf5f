// The tracker block of the configuration summary, line by line, and the stream state it leaves.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "TrackerTestSupport.h"
#include "support/CaptureStdout.h"

using trackertest::CoutFormatGuard;
using trackertest::deviceProcessor;
using trackertest::Options;
using Lines = std::vector<std::string>;

namespace {

const std::string kInfo = "CFastrak: INFO: ";
const std::string kCont = "CFastrak: INFO:                       :";
const std::string kCave = "CFastrak: INFO: CAVE COORDINATES      : Used";
const std::string kOrderHeading = "CFastrak: INFO: TRACKER ORDER         : <Real tra> -> <Output tra>";

Lines summaryOf(CTraCommonH& processor, bool withCaveLine = true) {
    testsupport::CaptureStdout capture;
    EXPECT_TRUE(processor.printSummary(withCaveLine));
    return testsupport::splitLines(capture.finish());
}

void apply(CTraCommonH& processor, Options& options) { ASSERT_TRUE(trackertest::parse(processor, options).result); }

}  // namespace

TEST(TrackerSummary, NothingConfigured) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    EXPECT_EQ(summaryOf(*processor), (Lines{kCave, kOrderHeading, kCont + " 1->1 2->2"}));

    processor->trackerBase = 3;
    processor->caveCoordinates = false;
    EXPECT_EQ(summaryOf(*processor),
              (Lines{"CFastrak: INFO: CAVE COORDINATES      : Unused", kOrderHeading, kCont + " 1->4 2->5"}));
    EXPECT_EQ(summaryOf(*processor, false), (Lines{kOrderHeading, kCont + " 1->4 2->5"}));
    processor->trackerBase = UINT32_MAX;  // a 32-bit sum, as in the controller summary
    EXPECT_EQ(summaryOf(*processor, false), (Lines{kOrderHeading, kCont + " 1->0 2->1"}));

    // The order line is written even when no station has an output.
    processor->stations[0].outputNumber = 0;
    processor->stations[1].outputNumber = 0;
    EXPECT_EQ(summaryOf(*processor, false), (Lines{kOrderHeading, kCont}));
}

TEST(TrackerSummary, TransmitterRotationPrintsRotationAndTransformBlocks) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "transmitterrotation", {"0", "1", "0", "90"});
    apply(*processor, options);
    const Lines expected = {
        kCave,
        kInfo + "TRANSMITTER ROTATION  : [0][0]: 0.000 [0][1]: 0.000 [0][2]:-1.000",
        kCont + " [1][0]: 0.000 [1][1]: 1.000 [1][2]: 0.000",
        kCont + " [2][0]: 1.000 [2][1]: 0.000 [2][2]: 0.000",
        "",
        kInfo + "TRANSMITTER TRANSFORM : [0][0]: 0.000 [0][1]: 0.000 [0][2]:-1.000",
        kCont + " [1][0]: 0.000 [1][1]: 1.000 [1][2]: 0.000",
        kCont + " [2][0]: 1.000 [2][1]: 0.000 [2][2]: 0.000",
        "",
        kOrderHeading,
        kCont + " 1->1 2->2",
    };
    EXPECT_EQ(summaryOf(*processor), expected);
    // Fixed notation with 3 decimals stays set; the width does not.
    EXPECT_EQ(std::cout.flags() & std::ios::floatfield, std::ios::fixed);
    EXPECT_EQ(std::cout.precision(), 3);
    EXPECT_EQ(std::cout.width(), 0);
}

TEST(TrackerSummary, NegativeResiduesAndWideValues) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "transmitterrotationmatrix", {"-0.0000001", "12.5", "-123.4567", "0", "1", "0", "0", "0", "1"});
    apply(*processor, options);
    const Lines lines = summaryOf(*processor, false);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], kInfo + "TRANSMITTER ROTATION  : [0][0]:-0.000 [0][1]:12.500 [0][2]:-123.457");
}

TEST(TrackerSummary, TransmitterOffsetAlonePrintsOffsetAndTransform) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "transmitteroffset", {"1", "2.5", "-3"});
    apply(*processor, options);
    const Lines expected = {
        kCave,
        kInfo + "TRANSMITTER OFFSET    : X:1 Y:2.5 Z:-3",
        kInfo + "TRANSMITTER TRANSFORM : [0][0]: 1.000 [0][1]: 0.000 [0][2]: 0.000",
        kCont + " [1][0]: 0.000 [1][1]: 1.000 [1][2]: 0.000",
        kCont + " [2][0]: 0.000 [2][1]: 0.000 [2][2]: 1.000",
        "",
        kOrderHeading,
        kCont + " 1->1 2->2",
    };
    EXPECT_EQ(summaryOf(*processor), expected);
    // A second summary finds the stream in fixed notation: the offset now has 3 decimals.
    const Lines again = summaryOf(*processor);
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[1], kInfo + "TRANSMITTER OFFSET    : X:1.000 Y:2.500 Z:-3.000");
}

TEST(TrackerSummary, SensorBlocksOfStationsWithOutputs) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "sensoroffset", {"2", "0", "0", "10", "cm"});
    options.add(2, "sensorrotation", {"1", "0", "0", "1", "90"});
    options.add(3, "sensoroffset", {"3", "5", "5", "5"});       // station 3 has no output
    options.add(4, "sensortranslation", {"1", "1", "1", "1"});  // translations are not printed
    apply(*processor, options);
    const Lines expected = {
        kCave,
        kOrderHeading,
        kCont + " 1->1 2->2",
        kInfo + "SENSOR ROTATION       : 1 [0][0]: 0.000 [0][1]: 1.000 [0][2]: 0.000",
        kCont + " 1 [1][0]:-1.000 [1][1]: 0.000 [1][2]: 0.000",
        kCont + " 1 [2][0]: 0.000 [2][1]: 0.000 [2][2]: 1.000",
        "",
        kInfo + "SENSOR TRANSFORM      : 1 [0][0]: 0.000 [0][1]: 1.000 [0][2]: 0.000",
        kCont + " 1 [1][0]:-1.000 [1][1]: 0.000 [1][2]: 0.000",
        kCont + " 1 [2][0]: 0.000 [2][1]: 0.000 [2][2]: 1.000",
        "",
        // Written after a matrix, so with 3 decimals.
        kInfo + "SENSOR OFFSET         : 2 X:0.000 Y:0.000 Z:0.328",
        kInfo + "SENSOR TRANSFORM      : 2 [0][0]: 1.000 [0][1]: 0.000 [0][2]: 0.000",
        kCont + " 2 [1][0]: 0.000 [1][1]: 1.000 [1][2]: 0.000",
        kCont + " 2 [2][0]: 0.000 [2][1]: 0.000 [2][2]: 1.000",
        "",
    };
    EXPECT_EQ(summaryOf(*processor), expected);
}

TEST(TrackerSummary, SensorOffsetBeforeAnyMatrixUsesTheStreamsDefaults) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "sensoroffset", {"1", "0", "0", "10", "cm"});
    apply(*processor, options);
    const Lines lines = summaryOf(*processor, false);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], kInfo + "SENSOR OFFSET         : 1 X:0 Y:0 Z:0.328084");
}

TEST(TrackerSummary, CalibrationLibraryAndArguments) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "calibration", {SHIFT_PLUGIN_PATH, "first", "second arg"});
    apply(*processor, options);
    const Lines expected = {
        kCave,
        kOrderHeading,
        kCont + " 1->1 2->2",
        kInfo + "CALIBRATION LIBRARY   : name:" + SHIFT_PLUGIN_PATH,
        kCont + " arg[0]:first",
        kCont + " arg[1]:second arg",
    };
    EXPECT_EQ(summaryOf(*processor), expected);
}

TEST(TrackerSummary, ADisabledLoggerDropsOnlyTheLabels) {
    CoutFormatGuard guard;
    auto processor = deviceProcessor();
    processor->logger->enabled = 0;
    EXPECT_EQ(summaryOf(*processor), (Lines{" 1->1 2->2"}));
}
