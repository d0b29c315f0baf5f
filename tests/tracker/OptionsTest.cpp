// The tracker option lines: each diagnostic, units, letter case, failures, order, CAVE, calibration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TrackerTestSupport.h"
#include "calib/CCalibH.h"
#include "config/OptionDiagnostics.h"
#include "support/CaptureStdout.h"

using trackertest::deviceProcessor;
using trackertest::diagnostic;
using trackertest::Options;
using trackertest::parse;

namespace {

std::vector<std::string> repeated(std::vector<std::string> head, int count, const std::string& value = "1") {
    for (int i = 0; i < count; ++i) head.push_back(value);
    return head;
}

struct BadLine {
    std::string keyword;
    std::vector<std::string> args;
    std::string problem;
    std::string label;
};

}  // namespace

TEST(TrackerOptions, EveryRowReportsItsProblemsOnce) {
    const std::string offset = "TransmitterOffset at line ", rotation = "TransmitterRotation at line ",
                      matrix = "TransmitterRotationMatrix at line ", sensorOffset = "SensorOffset at line ",
                      translation = "SensorTranslation at line ", sensorRotation = "SensorRotation at line ",
                      sensorMatrix = "SensorRotationMatrix at line ", calibration = "Calibration at line ",
                      cave = "CAVECoord at line ";
    const std::vector<BadLine> cases = {
        {"transmitteroffset", {"1", "2"}, problem::kIncomplete, offset},
        {"transmitteroffset", {"1", "2", "3", "feet", "x"}, problem::kTooManyArgs, offset},
        {"transmitteroffset", {"1", "abc", "3"}, problem::kInvalidArg, offset},
        {"transmitteroffset", {"1", "2", "3", "yards"}, problem::kInvalidString, offset},
        {"transmitterrotation", {"0", "1", "0"}, problem::kIncomplete, rotation},
        {"transmitterrotation", {"0", "1", "0", "90", "1"}, problem::kTooManyArgs, rotation},
        {"transmitterrotation", {"0", "y", "0", "90"}, problem::kInvalidArg, rotation},
        {"transmitterrotation", {"0", "1", "0", "ninety"}, problem::kInvalidArg, rotation},
        {"transmitterrotationmatrix", repeated({}, 8), problem::kIncomplete, matrix},
        {"transmitterrotationmatrix", repeated({}, 10), problem::kTooManyArgs, matrix},
        {"transmitterrotationmatrix", repeated({"1", "0", "0", "0", "x"}, 4), problem::kInvalidArg, matrix},
        {"sensoroffset", {}, problem::kIncomplete, sensorOffset},
        {"sensoroffset", {"2"}, problem::kIncomplete, sensorOffset},
        {"sensoroffset", {"9"}, problem::kInvalidTrackerId, sensorOffset},  // the station comes first
        {"sensoroffset", {"5", "0", "0", "1"}, problem::kInvalidTrackerId, sensorOffset},
        {"sensoroffset", {"0", "0", "0", "1"}, problem::kInvalidTrackerId, sensorOffset},
        {"sensoroffset", {"-1", "0", "0", "1"}, problem::kInvalidTrackerId, sensorOffset},
        {"sensoroffset", {"2", "0", "0", "10", "km"}, problem::kInvalidUnit, sensorOffset},
        {"sensoroffset", {"2", "0", "0", "1", "cm", "x"}, problem::kTooManyArgs, sensorOffset},
        {"sensoroffset", {"2", "a", "0", "0"}, problem::kInvalidArg, sensorOffset},
        {"sensortranslation", {}, problem::kIncomplete, translation},
        {"sensortranslation", {"3", "1"}, problem::kIncomplete, translation},
        {"sensortranslation", {"2", "0", "0", "1", "furlong"}, problem::kInvalidUnit, translation},
        {"sensortranslation", {"0x5", "0", "0", "1"}, problem::kInvalidTrackerId, translation},
        {"sensorrotation", {}, problem::kIncomplete, sensorRotation},
        {"sensorrotation", {"1", "0", "1", "0"}, problem::kIncomplete, sensorRotation},
        {"sensorrotation", {"1", "0", "1", "0", "90", "1"}, problem::kTooManyArgs, sensorRotation},
        {"sensorrotation", {"5", "0", "1", "0", "90"}, problem::kInvalidTrackerId, sensorRotation},
        {"sensorrotation", {"1", "0", "1", "0", "x"}, problem::kInvalidArg, sensorRotation},
        {"sensorrotationmatrix", {}, problem::kIncomplete, sensorMatrix},
        {"sensorrotationmatrix", repeated({"1"}, 8), problem::kIncomplete, sensorMatrix},
        {"sensorrotationmatrix", repeated({"1"}, 10), problem::kTooManyArgs, sensorMatrix},
        {"sensorrotationmatrix", repeated({"0"}, 9), problem::kInvalidTrackerId, sensorMatrix},
        {"sensorrotationmatrix", repeated(repeated({"1"}, 8), 1, "q"), problem::kInvalidArg, sensorMatrix},
        {"calibration", {}, problem::kIncomplete, calibration},
        {"calib", repeated({"lib"}, 11), problem::kTooManyArgs, calibration},
        {"cavecoord", {}, problem::kIncomplete, cave},
        {"cavecoordinates", {"yes", "no"}, problem::kTooManyArgs, cave},
        {"cavecoord", {"maybe"}, problem::kInvalidString, cave},
        // Finite as written, infinite once converted to feet.
        {"transmitteroffset", {"3e38", "0", "0", "m"}, problem::kInvalidArg, offset},
        {"sensoroffset", {"1", "0", "2e38", "0", "m"}, problem::kInvalidArg, sensorOffset},
        {"sensortranslation", {"2", "0", "0", "-2e38", "meters"}, problem::kInvalidArg, translation},
    };
    for (const BadLine& bad : cases) {
        SCOPED_TRACE(bad.keyword + " with " + std::to_string(bad.args.size()) + " arguments");
        auto processor = deviceProcessor();
        Options options;
        options.add(42, bad.keyword, bad.args);
        const auto run = parse(*processor, options);
        EXPECT_FALSE(run.result);
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_EQ(run.lines[0], diagnostic(bad.problem, bad.label, 42));
        EXPECT_EQ(options.line(0).used, 0);
        EXPECT_FALSE(processor->transmitterOffsetSet || processor->transmitterRotationSet);
        EXPECT_EQ(processor->calib, nullptr);
        EXPECT_TRUE(processor->caveCoordinates);
        for (uint32_t n = 0; n < 4; ++n) {
            const StationEntry& entry = processor->stations[n];
            EXPECT_FALSE(entry.offsetSet || entry.rotationSet || entry.translationSet);
        }
    }
}

TEST(TrackerOptions, TheDiagnosticCarriesTheLoggerPrefixAndTheUnsignedLineNumber) {
    Logger logger = trackertest::plainLogger("CFastrak");
    logger.showThreadId = 1;
    CTraCommonH processor(&logger);
    processor.allocateStations(4);
    Options options;
    options.add(4000000000u, "TRANSMITTEROFFSET", {"1"});
    const auto run = parse(processor, options);
    ASSERT_EQ(run.lines.size(), 1u);
    const std::string& line = run.lines[0];
    EXPECT_EQ(line.rfind("CFastrak[", 0), 0u) << line;
    const std::string tail = "]: ERROR: Incomplete option line found for TransmitterOffset at line 4000000000.";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
}

TEST(TrackerOptions, NumbersAreReadAsStrtodReadsThem) {
    // Accepted: written zeros, signs, a leading point, trailing text after digits.
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "transmitteroffset", {"-0.0", "+.5", "2.5abc"});
    options.add(2, "sensoroffset", {"1", "0", "1e1", "-3"});
    const auto run = parse(*processor, options);
    ASSERT_TRUE(run.result);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(processor->transmitterOffset.m[0][3], 0.0f);
    EXPECT_EQ(processor->transmitterOffset.m[1][3], 0.5f);
    EXPECT_EQ(processor->transmitterOffset.m[2][3], 2.5f);
    EXPECT_EQ(processor->stations[0].offsetMatrix.m[1][3], 10.0f);
    EXPECT_EQ(processor->stations[0].offsetMatrix.m[2][3], -3.0f);

    // Refused: a word that reads as zero, and values that are not finite as floats.
    for (const char* word : {"e5", "x1", "nan", "inf", "-infinity", "1e40"}) {
        SCOPED_TRACE(word);
        auto refusing = deviceProcessor();
        Options bad;
        bad.add(9, "transmitterrotation", {"0", "1", "0", word});
        const auto refused = parse(*refusing, bad);
        EXPECT_FALSE(refused.result);
        ASSERT_EQ(refused.lines.size(), 1u);
        EXPECT_EQ(refused.lines[0], diagnostic(problem::kInvalidArg, "TransmitterRotation at line ", 9));
        EXPECT_FALSE(refusing->transmitterRotationSet);
    }
}

TEST(TrackerOptions, UnitsConvertToFeet) {
    struct UnitCase {
        const char* unit;
        float feet;  // of the value 10
    };
    const UnitCase units[] = {{"feet", 10.0f},        {"FEET", 10.0f},   {"inches", 10 * 0.083333336f},
                              {"Meters", 32.808399f}, {"m", 32.808399f}, {"cm", 0.328084f}};
    for (const UnitCase& unit : units) {
        SCOPED_TRACE(unit.unit);
        auto processor = deviceProcessor();
        Options options;
        options.add(1, "transmitteroffset", {"10", "0", "0", unit.unit});
        options.add(2, "sensoroffset", {"2", "0", "0", "10", unit.unit});
        options.add(3, "sensortranslation", {"3", "0", "10", "0", unit.unit});
        ASSERT_TRUE(parse(*processor, options).result);
        EXPECT_FLOAT_EQ(processor->transmitterOffset.m[0][3], unit.feet);
        EXPECT_FLOAT_EQ(processor->stations[1].offsetMatrix.m[2][3], unit.feet);
        EXPECT_FLOAT_EQ(processor->stations[1].transform.m[3][2], unit.feet);
        EXPECT_FLOAT_EQ(processor->stations[2].translation[1], unit.feet);
    }
    auto processor = deviceProcessor();
    Options inches;
    inches.add(1, "transmitteroffset", {"12", "0", "0", "inches"});
    ASSERT_TRUE(parse(*processor, inches).result);
    EXPECT_NEAR(processor->transmitterOffset.m[0][3], 1.0f, 1e-6);
}

TEST(TrackerOptions, ValidLinesSetTheirFieldsAndAreMarkedUsed) {
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "TransmitterOffset", {"1", "2", "3"});
    options.add(2, "TRANSMITTERROTATION", {"0", "0", "0", "33"});
    options.add(3, "SensorRotationMatrix", {"2", "0", "1", "0", "-1", "0", "0", "0", "0", "1"});
    options.add(4, "sensortranslation", {"4", "1", "2", "3"});
    options.add(5, "unknownkeyword", {"1"});
    options.add(6, "sensorrotation", {"1", "0", "1", "0", "90"});
    options.add(7, "sensoroffset", {"1", "0", "0", "2"});
    const auto run = parse(*processor, options);
    ASSERT_TRUE(run.result);
    EXPECT_TRUE(run.lines.empty());
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(options.line(i).used, i == 4 ? 0 : 1) << i;

    EXPECT_TRUE(processor->transmitterOffsetSet);
    EXPECT_EQ(processor->transmitterTransform.m[3][1], 2.0f);
    // A zero axis gives the identity rotation, still marked as given.
    EXPECT_TRUE(processor->transmitterRotationSet);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(processor->transmitterRotation.m[r][c], r == c ? 1.0f : 0.0f);

    const StationEntry& two = processor->stations[1];
    EXPECT_TRUE(two.rotationSet);
    EXPECT_EQ(two.rotationMatrix.m[0][1], 1.0f);
    EXPECT_EQ(two.rotationMatrix.m[1][0], -1.0f);
    EXPECT_EQ(two.transform.m[1][0], -1.0f);

    const StationEntry& four = processor->stations[3];
    EXPECT_TRUE(four.translationSet);
    EXPECT_FALSE(four.offsetSet || four.rotationSet);
    EXPECT_EQ(four.translation[2], 3.0f);
    EXPECT_EQ(four.transform.m[3][0], 0.0f);  // a translation leaves the transform alone

    // Station 1: the rotation, then an offset that keeps it in the transform.
    const StationEntry& one = processor->stations[0];
    EXPECT_TRUE(one.rotationSet && one.offsetSet);
    EXPECT_EQ(one.transform.m[3][2], 2.0f);
    EXPECT_EQ(one.transform.m[0][2], one.rotationMatrix.m[0][2]);
    EXPECT_NEAR(one.transform.m[0][2], -1.0f, 1e-6);
}

TEST(TrackerOptions, TheLastValidLineOfAKindWins) {
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "transmitteroffset", {"1", "2", "3"});
    options.add(2, "transmitteroffset", {"4", "5", "6"});
    options.add(3, "sensoroffset", {"1", "1", "1", "1"});
    options.add(4, "sensoroffset", {"2", "2", "2", "2"});
    options.add(5, "sensoroffset", {"1", "7", "7", "7"});
    options.add(6, "transmitterrotation", {"0", "1", "0", "90"});
    options.add(7, "transmitterrotationmatrix", {"1", "0", "0", "0", "1", "0", "0", "0", "1"});
    ASSERT_TRUE(parse(*processor, options).result);
    EXPECT_EQ(processor->transmitterOffset.m[0][3], 4.0f);
    EXPECT_EQ(processor->transmitterTransform.m[3][2], 6.0f);
    EXPECT_EQ(processor->stations[0].offsetMatrix.m[0][3], 7.0f);
    EXPECT_EQ(processor->stations[1].offsetMatrix.m[0][3], 2.0f);
    EXPECT_EQ(processor->transmitterRotation.m[0][2], 0.0f);
    EXPECT_EQ(processor->transmitterTransform.m[0][0], 1.0f);
}

TEST(TrackerOptions, AZeroTransmitterOffsetIsConsumedWithoutEffect) {
    auto processor = deviceProcessor();
    Options alone;
    alone.add(1, "transmitteroffset", {"0", "0", "0"});
    ASSERT_TRUE(parse(*processor, alone).result);
    EXPECT_EQ(alone.line(0).used, 1);
    EXPECT_FALSE(processor->transmitterOffsetSet);

    // After a real offset, a zero line is consumed and changes nothing.
    auto kept = deviceProcessor();
    Options options;
    options.add(1, "transmitteroffset", {"1", "2", "3"});
    options.add(2, "transmitteroffset", {"0", "0", "0", "m"});
    ASSERT_TRUE(parse(*kept, options).result);
    EXPECT_EQ(options.line(1).used, 1);
    EXPECT_TRUE(kept->transmitterOffsetSet);
    EXPECT_EQ(kept->transmitterOffset.m[0][3], 1.0f);
    EXPECT_EQ(kept->transmitterTransform.m[3][0], 1.0f);
    EXPECT_EQ(kept->transmitterTransform.m[3][2], 3.0f);

    // Components that cancel are an offset all the same.
    auto cancelling = deviceProcessor();
    Options cancel;
    cancel.add(1, "transmitteroffset", {"1", "-1", "0"});
    ASSERT_TRUE(parse(*cancelling, cancel).result);
    EXPECT_TRUE(cancelling->transmitterOffsetSet);
    EXPECT_EQ(cancelling->transmitterTransform.m[3][0], 1.0f);
    EXPECT_EQ(cancelling->transmitterTransform.m[3][1], -1.0f);
}

TEST(TrackerOptions, AfterAFailureLaterLinesAreExaminedButNotApplied) {
    auto processor = deviceProcessor();
    processor->inputConnector = false;
    Options options;
    options.add(1, "transmitteroffset", {"1"});                        // fails
    options.add(2, "sensoroffset", {"1", "0", "0", "1"});              // valid: left alone, silent
    options.add(3, "sensoroffset", {"1", "0", "zero", "1"});           // bad number: still reported
    options.add(4, "transmitteroffset", {"1", "2", "3", "yards"});     // the unit is not reached
    options.add(5, "transmitterrotation", {"0", "1", "0", "ninety"});  // nor is the angle
    options.add(6, "sensorrotationmatrix", repeated({"1"}, 9));        // valid: left alone
    options.add(7, "sensortranslation", {"3", "1", "1", "1"});         // valid: left alone
    options.add(8, "calibration", {"no-such-library-here"});           // applied anyway
    options.add(9, "order", {"2", "1"});                               // applied anyway
    options.add(10, "cavecoord", {"off"});                             // left: not an input connector
    options.add(11, "sensorrotation", {"7", "0", "1", "0", "90"});     // bad station: reported
    const auto run = parse(*processor, options);
    EXPECT_FALSE(run.result);
    // The library that cannot be loaded reports itself; pick out the option diagnostics.
    std::vector<std::string> diagnostics;
    for (const std::string& line : run.lines)
        if (line.find(" at line ") != std::string::npos) diagnostics.push_back(line);
    const std::vector<std::string> expected = {
        diagnostic(problem::kIncomplete, "TransmitterOffset at line ", 1),
        diagnostic(problem::kInvalidArg, "SensorOffset at line ", 3),
        diagnostic(problem::kInvalidTrackerId, "SensorRotation at line ", 11),
    };
    EXPECT_EQ(diagnostics, expected);
    const uint8_t used[] = {0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0};
    for (uint32_t i = 0; i < 11; ++i) EXPECT_EQ(options.line(i).used, used[i]) << "line " << i + 1;
    EXPECT_FALSE(processor->stations[0].offsetSet || processor->stations[0].rotationSet);
    EXPECT_FALSE(processor->stations[2].translationSet);
    EXPECT_FALSE(processor->transmitterOffsetSet || processor->transmitterRotationSet);
    EXPECT_NE(processor->calib, nullptr);
    EXPECT_EQ(processor->stations[1].outputNumber, 1u);
    EXPECT_EQ(processor->stations[0].outputNumber, 2u);
    EXPECT_TRUE(processor->caveCoordinates);
}

TEST(TrackerOptions, OrderOnInputAndOtherConnectors) {
    auto input = deviceProcessor();
    Options refused;
    refused.add(17, "TrackerOrder", {"2", "1"});
    auto run = parse(*input, refused);
    EXPECT_FALSE(run.result);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], "CFastrak: ERROR: Can not change the order on input connector at line 17.");
    EXPECT_EQ(refused.line(0).used, 0);
    EXPECT_EQ(input->stations[0].outputNumber, 1u);

    auto other = deviceProcessor();
    other->inputConnector = false;
    Options options;
    options.add(1, "order", {"2", "1", "9", "x"});  // beyond numOutputs: ignored unread
    run = parse(*other, options);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(options.line(0).used, 1);
    const uint32_t expected[] = {2, 1, 0, 0};
    for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(other->stations[n].outputNumber, expected[n]) << n;

    // A station named twice keeps its later place; unnamed stations lose theirs.
    Options twice;
    twice.add(2, "unitorder", {"3", "3"});
    ASSERT_TRUE(parse(*other, twice).result);
    const uint32_t afterTwice[] = {0, 0, 2, 0};
    for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(other->stations[n].outputNumber, afterTwice[n]) << n;

    // An invalid station leaves the table as it was.
    Options invalid;
    invalid.add(3, "order", {"1", "5"});
    run = parse(*other, invalid);
    EXPECT_FALSE(run.result);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], diagnostic(problem::kInvalidTrackerId, "Order at line ", 3));
    for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(other->stations[n].outputNumber, afterTwice[n]) << n;

    // No stations at all: every output goes.
    Options empty;
    empty.add(4, "order", {});
    ASSERT_TRUE(parse(*other, empty).result);
    for (uint32_t n = 0; n < 4; ++n) EXPECT_EQ(other->stations[n].outputNumber, 0u) << n;
}

TEST(TrackerOptions, CaveCoordinatesSwitch) {
    const struct {
        const char* word;
        bool cave;
    } words[] = {{"off", false}, {"NO", false}, {"yes", true}, {"On", true}};
    for (const auto& word : words) {
        auto processor = deviceProcessor();
        processor->caveCoordinates = !word.cave;
        Options options;
        options.add(1, "CAVECoordinates", {word.word});
        ASSERT_TRUE(parse(*processor, options).result) << word.word;
        EXPECT_EQ(processor->caveCoordinates, word.cave) << word.word;
        EXPECT_EQ(options.line(0).used, 1);
    }
    // On a connector that is not an input the line is someone else's: untouched and silent.
    auto other = deviceProcessor();
    other->inputConnector = false;
    Options options;
    options.add(1, "cavecoord", {"off"});
    options.add(2, "cavecoord", {"nonsense", "words"});
    const auto run = parse(*other, options);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(options.line(0).used, 0);
    EXPECT_EQ(options.line(1).used, 0);
    EXPECT_TRUE(other->caveCoordinates);
}

TEST(TrackerOptions, CalibrationLinesReplaceEachOther) {
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "calibration", {SHIFT_PLUGIN_PATH, "a", "b"});
    options.add(2, "Calib", {NO_EVALUATE_PLUGIN_PATH, "c"});
    auto run = parse(*processor, options);
    ASSERT_TRUE(run.result);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(options.line(0).used, 1);
    EXPECT_EQ(options.line(1).used, 1);
    EXPECT_STREQ(processor->calibName, NO_EVALUATE_PLUGIN_PATH);
    ASSERT_EQ(processor->numCalibArgs, 1u);
    EXPECT_STREQ(processor->calibArgs[0], "c");
    ASSERT_NE(processor->calib, nullptr);
    EXPECT_TRUE(processor->calib->isLoaded());

    // Ten further arguments are the most; the name alone is fine too.
    Options ten;
    ten.add(3, "calibration", repeated({SHIFT_PLUGIN_PATH}, 10, "arg"));
    ASSERT_TRUE(parse(*processor, ten).result);
    EXPECT_EQ(processor->numCalibArgs, 10u);
    EXPECT_STREQ(processor->calibArgs[9], "arg");
    Options bare;
    bare.add(4, "calibration", {SHIFT_PLUGIN_PATH});
    ASSERT_TRUE(parse(*processor, bare).result);
    EXPECT_EQ(processor->numCalibArgs, 0u);
    EXPECT_STREQ(processor->calibName, SHIFT_PLUGIN_PATH);
}

TEST(TrackerOptions, ALibraryThatCannotBeLoadedStillConsumesTheLine) {
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "calibration", {"/nonexistent/libnothing.so", "x"});
    const auto run = parse(*processor, options);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(options.line(0).used, 1);
    ASSERT_NE(processor->calib, nullptr);
    EXPECT_FALSE(processor->calib->isLoaded());
    // The loader's own report, under the processor's Logger name.
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0].rfind("CFastrak: ERROR: CDynamicLibH: Can not load the library ", 0), 0u) << run.lines[0];
}

// Mended fault: a name that does not fit the 256-byte name field is refused, not cut short.
TEST(TrackerOptions, ALibraryNameTooLongForItsFieldIsRefused) {
    auto processor = deviceProcessor();
    Options options;
    options.add(1, "calibration", {SHIFT_PLUGIN_PATH, "kept"});
    options.add(2, "calibration", {std::string(256, 'n')});
    const auto run = parse(*processor, options);
    EXPECT_FALSE(run.result);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], diagnostic(problem::kTooManyArgs, "Calibration at line ", 2));
    EXPECT_EQ(options.line(1).used, 0);
    // The earlier line stays in force, name and arguments alike.
    EXPECT_STREQ(processor->calibName, SHIFT_PLUGIN_PATH);
    ASSERT_EQ(processor->numCalibArgs, 1u);
    EXPECT_STREQ(processor->calibArgs[0], "kept");

    // 255 characters still fit.
    auto fits = deviceProcessor();
    Options longest;
    const std::string name = "/nonexistent/" + std::string(255 - 13, 'n');
    longest.add(3, "calibration", {name});
    ASSERT_TRUE(parse(*fits, longest).result);
    EXPECT_EQ(std::string(fits->calibName), name);
}

TEST(TrackerOptions, MissingTableOrRecordStopsAtOnce) {
    const Logger logger = trackertest::plainLogger("CFastrak");
    CTraCommonH empty(&logger);
    Options options;
    options.add(1, "transmitteroffset", {"1", "2", "3"});
    auto run = parse(empty, options);
    EXPECT_FALSE(run.result);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], "CFastrak: ERROR: CTraCommonH: lookup is Null.");
    EXPECT_EQ(options.line(0).used, 0);

    auto processor = deviceProcessor();
    testsupport::CaptureStdout capture;
    EXPECT_FALSE(processor->parseOptions(nullptr));
    EXPECT_EQ(testsupport::lastLine(capture.finish()), "CFastrak: ERROR: CTraCommonH: config is empty.");
}
