// The per-record path: device conversion, calibration and the transmitter and sensor transforms.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "TrackerTestSupport.h"
#include "calib/CCalibH.h"
#include "support/CaptureStdout.h"
#include "tracker/TrackerTransform.h"

namespace {

struct Line {
    std::string keyword;
    std::initializer_list<std::string> args;
};

// A device-like processor with the given option lines applied; they must all be accepted.
std::unique_ptr<CTraCommonH> processorWith(std::initializer_list<Line> lines) {
    auto processor = trackertest::deviceProcessor();
    testsupport::ConfigBuilder config;
    uint32_t number = 1;
    for (const Line& line : lines) config.add(number++, line.keyword, line.args);
    const auto run = trackertest::parse(*processor, config);
    EXPECT_TRUE(run.result);
    for (uint32_t i = 0; i < config.get()->lineCount; ++i) EXPECT_EQ(config.line(i).used, 1) << i;
    return processor;
}

Pose pose(float x, float y, float z, float azimuth, float elevation, float roll) {
    return Pose{x, y, z, azimuth, elevation, roll};
}

void expectPose(const Pose& actual, const Pose& expected, float positionTolerance = 1e-5f,
                float angleTolerance = 1e-4f) {
    EXPECT_NEAR(actual.x, expected.x, positionTolerance);
    EXPECT_NEAR(actual.y, expected.y, positionTolerance);
    EXPECT_NEAR(actual.z, expected.z, positionTolerance);
    EXPECT_NEAR(actual.azimuth, expected.azimuth, angleTolerance);
    EXPECT_NEAR(actual.elevation, expected.elevation, angleTolerance);
    EXPECT_NEAR(actual.roll, expected.roll, angleTolerance);
}

}  // namespace

TEST(DeviceConversion, InchesToFeetWithAndWithoutCaveAxes) {
    Pose cave = pose(12, 24, 36, 10, 20, 30);
    convertDevicePose(cave, true);
    EXPECT_EQ(cave.x, 2.0f);
    EXPECT_EQ(cave.y, -3.0f);
    EXPECT_EQ(cave.z, -1.0f);
    EXPECT_EQ(cave.azimuth, -10.0f);
    EXPECT_EQ(cave.elevation, 20.0f);
    EXPECT_EQ(cave.roll, -30.0f);

    Pose plain = pose(12, 24, 36, 10, 20, 30);
    convertDevicePose(plain, false);
    EXPECT_EQ(plain.x, 1.0f);
    EXPECT_EQ(plain.y, 2.0f);
    EXPECT_EQ(plain.z, 3.0f);
    EXPECT_EQ(plain.azimuth, 10.0f);
    EXPECT_EQ(plain.elevation, 20.0f);
    EXPECT_EQ(plain.roll, 30.0f);

    // The factor is the float nearest 1/12, not a division.
    Pose odd = pose(7, 0, 0, 0, 0, 0);
    convertDevicePose(odd, false);
    EXPECT_EQ(odd.x, 7.0f * 0.083333336f);
}

TEST(ProcessPose, WithoutTransformsThePoseIsLeftAsItIs) {
    auto processor = processorWith({});
    Pose sample = pose(2, -3, -1, -10, 20, -30);
    ASSERT_TRUE(processor->processPose(1, sample));
    EXPECT_EQ(sample.x, 2.0f);
    EXPECT_EQ(sample.y, -3.0f);
    EXPECT_EQ(sample.z, -1.0f);
    EXPECT_EQ(sample.azimuth, -10.0f);
    EXPECT_EQ(sample.elevation, 20.0f);
    EXPECT_EQ(sample.roll, -30.0f);
}

TEST(ProcessPose, TransmitterRotationsAndOffset) {
    {
        auto processor = processorWith({{"transmitterrotation", {"0", "1", "0", "90"}}});
        Pose sample = pose(1, 0, 0, 0, 0, 0);
        ASSERT_TRUE(processor->processPose(1, sample));
        expectPose(sample, pose(0, 0, -1, 90, 0, 0));
    }
    {
        auto processor = processorWith({{"transmitterrotation", {"0", "0", "1", "90"}}});
        Pose sample = pose(1, 0, 0, 0, 0, 0);
        ASSERT_TRUE(processor->processPose(2, sample));
        expectPose(sample, pose(0, 1, 0, 0, 0, 90));
    }
    {
        auto processor = processorWith({{"transmitteroffset", {"1", "2", "3"}}});
        Pose sample = pose(0.5f, -1, 4, 12, -34, 56);
        ASSERT_TRUE(processor->processPose(1, sample));
        expectPose(sample, pose(1.5f, 1, 7, 12, -34, 56));
    }
    {
        auto processor = processorWith({{"transmitterrotationmatrix", {"0", "1", "0", "-1", "0", "0", "0", "0", "1"}}});
        Pose sample = pose(1, 2, 3, 0, 0, 0);
        ASSERT_TRUE(processor->processPose(1, sample));
        expectPose(sample, pose(-2, 1, 3, 0, 0, 90));
    }
}

TEST(ProcessPose, SensorOffsetTurnsWithTheStationsAzimuth) {
    auto processor = processorWith({{"sensoroffset", {"1", "0", "0", "1"}}});
    Pose turned = pose(1, 2, 3, 90, 0, 0);
    ASSERT_TRUE(processor->processPose(1, turned));
    expectPose(turned, pose(2, 2, 3, 90, 0, 0));

    Pose straight = pose(1, 2, 3, 0, 0, 0);
    ASSERT_TRUE(processor->processPose(1, straight));
    expectPose(straight, pose(1, 2, 4, 0, 0, 0));

    // Station 2 has no sensor inputs: its pose passes untouched.
    Pose other = pose(1, 2, 3, 90, 0, 0);
    ASSERT_TRUE(processor->processPose(2, other));
    EXPECT_EQ(other.x, 1.0f);
    EXPECT_EQ(other.z, 3.0f);
    EXPECT_EQ(other.azimuth, 90.0f);
}

TEST(ProcessPose, SensorRotationAndTranslation) {
    auto processor =
        processorWith({{"sensorrotation", {"1", "0", "1", "0", "90"}}, {"sensortranslation", {"2", "0.5", "0", "0"}}});
    Pose rotated = pose(1, 2, 3, 0, 0, 0);
    ASSERT_TRUE(processor->processPose(1, rotated));
    expectPose(rotated, pose(1, 2, 3, 90, 0, 0));

    Pose shifted = pose(1, 2, 3, 10, 20, 30);
    ASSERT_TRUE(processor->processPose(2, shifted));
    expectPose(shifted, pose(1.5f, 2, 3, 10, 20, 30));
    // The translation is added unrotated, whatever the orientation.
    Pose shiftedTurned = pose(1, 2, 3, 90, 45, 0);
    ASSERT_TRUE(processor->processPose(2, shiftedTurned));
    expectPose(shiftedTurned, pose(1.5f, 2, 3, 90, 45, 0));
}

// With cavecoord off the angles are the tracker's own (azimuth about z, elevation about y, roll
// about x; z down), and a transform must keep them in that form.
TEST(ProcessPose, TrackerAxesKeepTheTrackersAngles) {
    struct Case {
        std::string keyword;
        std::vector<std::string> args;
        Pose input, expected;
    };
    const Case cases[] = {
        // A turn about the vertical z adds to the azimuth.
        {"transmitterrotation", {"0", "0", "1", "90"}, pose(1, 0, 0, 10, 20, 30), pose(0, 1, 0, 100, 20, 30)},
        {"transmitterrotation", {"1", "0", "0", "90"}, pose(0, 1, 0, 0, 0, 0), pose(0, 0, 1, 0, 0, 90)},
        // About the receiver's own x: a roll.
        {"sensorrotation", {"1", "1", "0", "0", "90"}, pose(1, 2, 3, 10, 20, 30), pose(1, 2, 3, 10, 20, 120)},
        // Along the receiver's x, which azimuth 90 turns onto y.
        {"sensoroffset", {"1", "1", "0", "0"}, pose(1, 2, 3, 90, 0, 0), pose(1, 3, 3, 90, 0, 0)},
        {"transmitteroffset", {"1", "2", "3"}, pose(0, 0, 0, 12, -34, 56), pose(1, 2, 3, 12, -34, 56)},
    };
    for (const Case& c : cases) {
        std::string line = c.keyword;
        for (const std::string& arg : c.args) line += " " + arg;
        SCOPED_TRACE(line);
        auto processor = trackertest::deviceProcessor();
        trackertest::Options options;
        options.add(1, "cavecoord", {"off"});
        options.add(2, c.keyword, c.args);
        ASSERT_TRUE(trackertest::parse(*processor, options).result);
        ASSERT_FALSE(processor->caveCoordinates);
        Pose sample = c.input;
        ASSERT_TRUE(processor->processPose(1, sample));
        expectPose(sample, c.expected);
    }
}

// The CAVE switch only relabels the axes (x = Y, y = -Z, z = -X): the same transforms given in
// matching axes must describe the same receiver either way.
TEST(ProcessPose, CaveAndTrackerAxesAgreeOnTheReceiver) {
    const auto configure = [](bool cave) {
        // Arguments around a vector given in the tracker's axes, relabelled for CAVE axes.
        const auto args = [cave](const char* head, float x, float y, float z, const char* tail) {
            std::vector<std::string> result;
            if (*head != '\0') result.emplace_back(head);
            for (float value : {cave ? y : x, cave ? -z : y, cave ? -x : z}) result.push_back(std::to_string(value));
            if (*tail != '\0') result.emplace_back(tail);
            return result;
        };
        auto processor = trackertest::deviceProcessor();
        trackertest::Options options;
        options.add(1, "cavecoord", {cave ? "on" : "off"});
        options.add(2, "transmitterrotation", args("", 0.3f, -0.5f, 0.8f, "37"));
        options.add(3, "transmitteroffset", args("", 1, -2, 0.5f, ""));
        options.add(4, "sensorrotation", args("1", -0.2f, 0.9f, 0.4f, "-65"));
        options.add(5, "sensoroffset", args("1", 0.25f, 0.5f, -0.75f, ""));
        options.add(6, "sensortranslation", args("1", 0.1f, 0.2f, 0.3f, ""));
        EXPECT_TRUE(trackertest::parse(*processor, options).result);
        return processor;
    };
    const auto cave = configure(true), tracker = configure(false);
    for (const Pose& raw :
         {pose(12, 24, 36, 10, 20, 30), pose(-30, 5, -8, -150, -60, 170), pose(0, 0, 0, 95, 45, -5)}) {
        Pose viaCave = raw, viaTracker = raw;
        convertDevicePose(viaCave, true);
        convertDevicePose(viaTracker, false);
        ASSERT_TRUE(cave->processPose(1, viaCave));
        ASSERT_TRUE(tracker->processPose(1, viaTracker));
        const Pose relabelled{viaTracker.y,        -viaTracker.z,        -viaTracker.x,
                              -viaTracker.azimuth, viaTracker.elevation, -viaTracker.roll};
        expectPose(viaCave, relabelled, 1e-4f, 1e-3f);
    }
}

TEST(ProcessPose, AStationOutsideTheTableIsRefusedUntouched) {
    auto processor = processorWith({{"transmitteroffset", {"1", "2", "3"}}});
    Pose sample = pose(1, 2, 3, 4, 5, 6);
    EXPECT_FALSE(processor->processPose(0, sample));
    EXPECT_FALSE(processor->processPose(5, sample));
    EXPECT_EQ(sample.x, 1.0f);
    EXPECT_EQ(sample.roll, 6.0f);
}

// Mended fault: an offset whose components cancel was taken for "no offset" and dropped.
TEST(ProcessPose, TransmitterOffsetWhoseComponentsCancelIsApplied) {
    auto processor = processorWith({{"transmitteroffset", {"1", "-1", "0"}}});
    EXPECT_TRUE(processor->transmitterOffsetSet);
    Pose sample = pose(0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(processor->processPose(1, sample));
    expectPose(sample, pose(1, -1, 0, 0, 0, 0));

    // 12 -12 0 inches cancel as well once scaled.
    auto inches = processorWith({{"transmitteroffset", {"12", "-12", "0", "inches"}}});
    Pose scaled = pose(0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(inches->processPose(1, scaled));
    expectPose(scaled, pose(1, -1, 0, 0, 0, 0));
}

TEST(ProcessPose, CalibrationRunsBeforeTheTransforms) {
    auto processor =
        processorWith({{"calibration", {SHIFT_PLUGIN_PATH, "0.25"}}, {"transmitterrotation", {"0", "0", "1", "90"}}});
    ASSERT_NE(processor->calib, nullptr);
    ASSERT_TRUE(processor->calib->init(processor->calibArgs, static_cast<int32_t>(processor->numCalibArgs)));
    // x 1 -> 1.25 and roll 0 -> 10 by the library, then the 90 degree turn about z.
    Pose sample = pose(1, 0, 0, 0, 0, 0);
    ASSERT_TRUE(processor->processPose(1, sample));
    expectPose(sample, pose(0, 1.25f, 0, 0, 0, 100));
    EXPECT_TRUE(processor->calib->exit());
}

TEST(ProcessPose, CalibrationAloneChangesThePoseInPlace) {
    auto processor = processorWith({{"calib", {SHIFT_PLUGIN_PATH, "-2"}}});
    ASSERT_TRUE(processor->calib->init(processor->calibArgs, static_cast<int32_t>(processor->numCalibArgs)));
    Pose sample = pose(1, 2, 3, 4, 5, 6);
    ASSERT_TRUE(processor->processPose(1, sample));
    EXPECT_EQ(sample.x, -1.0f);
    EXPECT_EQ(sample.y, 2.0f);
    EXPECT_EQ(sample.roll, 16.0f);
}

TEST(ProcessPose, ALibraryWithoutEvaluateFailsEveryRecord) {
    auto processor = processorWith({{"calibration", {NO_EVALUATE_PLUGIN_PATH}}});
    ASSERT_NE(processor->calib, nullptr);
    ASSERT_TRUE(processor->calib->init(processor->calibArgs, 0));
    for (int record = 0; record < 3; ++record) {
        Pose sample = pose(1, 2, 3, 4, 5, 6);
        EXPECT_FALSE(processor->processPose(1, sample));
        EXPECT_EQ(sample.x, 1.0f);
        EXPECT_EQ(sample.roll, 6.0f);
    }
}

TEST(TransformPose, IdentityTransformsGiveTheAnglesBack) {
    const float none[3] = {0, 0, 0};
    for (AngleForm form : {AngleForm::Cave, AngleForm::Tracker})
        for (float azimuth : {-179.0f, -90.0f, 0.0f, 45.0f, 179.5f})
            for (float elevation : {-80.0f, 0.0f, 33.0f})
                for (float roll : {-170.0f, 0.0f, 120.0f}) {
                    Pose sample = pose(1, 2, 3, azimuth, elevation, roll);
                    transformPose(sample, identityMatrix(), identityMatrix(), none, form);
                    expectPose(sample, pose(1, 2, 3, azimuth, elevation, roll));
                }
}
