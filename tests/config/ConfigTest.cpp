// Option text: keyword comparison, integer reading, the shared diagnostic and the unknown-option check.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "config/CConfigH.h"
#include "config/OptionDiagnostics.h"
#include "config/OptionRecord.h"
#include "config/OptionText.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"

using testsupport::CaptureStdout;
using testsupport::ConfigBuilder;

namespace {

Logger plainLogger(const char* name) {
    Logger logger;
    logger.setDefaults();
    logger.setName(name);
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    return logger;
}

}  // namespace

TEST(OptionText, ToIntegerReadsLikeStrtolWithBaseZero) {
    EXPECT_EQ(toInteger("0x1F"), 31);
    EXPECT_EQ(toInteger("0X1f"), 31);
    EXPECT_EQ(toInteger("017"), 15);
    EXPECT_EQ(toInteger("010"), 8);
    EXPECT_EQ(toInteger("08"), 0);  // 8 is no octal digit: reading stops after the 0
    EXPECT_EQ(toInteger("9abc"), 9);
    EXPECT_EQ(toInteger("abc"), 0);
    EXPECT_EQ(toInteger(""), 0);
    EXPECT_EQ(toInteger("  42"), 42);
    EXPECT_EQ(toInteger("-7"), -7);
    EXPECT_EQ(toInteger("+3"), 3);
    EXPECT_EQ(toInteger("115200"), 115200);
    EXPECT_EQ(toInteger(nullptr), 0);
    // As on the 32-bit target, out-of-range values saturate.
    EXPECT_EQ(toInteger("99999999999"), INT_MAX);
    EXPECT_EQ(toInteger("-99999999999"), INT_MIN);
}

TEST(OptionText, CompareNoCaseOrdersAsLowerCaseUnsignedBytes) {
    EXPECT_EQ(compareNoCase("SerialPort", "serialport"), 0);
    EXPECT_EQ(compareNoCase("ALL", "all"), 0);
    EXPECT_EQ(compareNoCase("", ""), 0);
    EXPECT_EQ(compareNoCase("abc", "abd"), -1);
    EXPECT_EQ(compareNoCase("abd", "ABC"), 1);
    EXPECT_EQ(compareNoCase("ab", "abc"), -1);  // the shorter string ends first
    EXPECT_EQ(compareNoCase("abc", "ab"), 1);
    EXPECT_EQ(compareNoCase("\xE9", "z"), 1);  // bytes compare unsigned
    EXPECT_EQ(compareNoCase("[", "a"), -1);    // '[' sorts below 'a' once 'A'..'Z' are lowered
}

TEST(OptionText, ToLowerInPlaceStopsAtTheTerminator) {
    char text[] = "HeMiSpHeRe\0XY";
    toLowerInPlace(text);
    EXPECT_STREQ(text, "hemisphere");
    EXPECT_EQ(text[11], 'X');
}

TEST(OptionRecord, CountsAreBoundedByTheRecord) {
    ConfigBuilder builder;
    const uint32_t index = builder.add(3, "order", {"1", "2"});
    EXPECT_EQ(optionLineCount(*builder.get()), 1u);
    EXPECT_STREQ(optionArg(builder.line(index), 1), "2");
    EXPECT_STREQ(optionArg(builder.line(index), 2), "");
    builder.get()->lineCount = 1000;
    builder.line(index).argCount = 1000;
    EXPECT_EQ(optionLineCount(*builder.get()), 32u);
    EXPECT_EQ(optionArgCount(builder.line(index)), 64u);
}

TEST(OptionDiagnostics, OneLineWithOwnerProblemOptionNumberAndTerminator) {
    Logger logger = plainLogger("CFastrak");
    CaptureStdout capture;
    reportOptionError(logger, "CFastrak: ", problem::kInvalidSensorId, "Sensor(s) at line ", 12);
    reportOptionError(logger, "", problem::kIncomplete, "Order at line ", 4000000000u);
    reportOptionError(logger, "", problem::kSameIdTwice, "Order option at line ", 5, terminator::kIgnored);
    EXPECT_EQ(capture.finish(),
              "CFastrak: ERROR: CFastrak: Invalid sensor ID found for Sensor(s) at line 12.\n"
              "CFastrak: ERROR: Incomplete option line found for Order at line 4000000000.\n"
              "CFastrak: ERROR: Same ID found more than once in Order option at line 5. Ignored.\n");
}

TEST(CConfigH, EmptyRecordPassesSilently) {
    ConfigBuilder builder;
    Logger logger = plainLogger("CFastrak");
    CaptureStdout capture;
    EXPECT_TRUE(CConfigH::checkUnknownOptions(builder.get(), &logger));
    EXPECT_EQ(capture.finish(), "");
}

TEST(CConfigH, ReportsEveryUnusedLineInOrder) {
    ConfigBuilder builder;
    Logger logger = plainLogger("CFastrak");
    builder.add(3, "baud", {"115200"});
    builder.add(7, "Colour", {"red"});
    builder.add(9, "port", {"com1"});
    builder.add(4294967295u, "Shape");
    builder.line(0).used = 1;
    builder.line(2).used = 1;
    CaptureStdout capture;
    EXPECT_FALSE(CConfigH::checkUnknownOptions(builder.get(), &logger));
    EXPECT_EQ(capture.finish(),
              "CFastrak: ERROR: CConfigH: Unknown option \"Colour\" found at line 7.\n"
              "CFastrak: ERROR: CConfigH: Unknown option \"Shape\" found at line 4294967295.\n");
}

TEST(CConfigH, AllLinesUsedPasses) {
    ConfigBuilder builder;
    Logger logger = plainLogger("CFastrak");
    builder.add(1, "a");
    builder.add(2, "b");
    builder.line(0).used = 1;
    builder.line(1).used = 1;
    CaptureStdout capture;
    EXPECT_TRUE(CConfigH::checkUnknownOptions(builder.get(), &logger));
    EXPECT_EQ(capture.finish(), "");
}
