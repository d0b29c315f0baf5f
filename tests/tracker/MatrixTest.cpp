// Matrix constructors, the station table and the processor's construction and release.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "TrackerTestSupport.h"
#include "support/CaptureStdout.h"
#include "tracker/Matrix4.h"

namespace {

// Row vector (x, y, z) times the upper-left block.
void turn(const Matrix4& r, const float (&p)[3], float (&out)[3]) {
    for (int j = 0; j < 3; ++j) out[j] = p[0] * r.m[0][j] + p[1] * r.m[1][j] + p[2] * r.m[2][j];
}

void expectRow(const Matrix4& matrix, int row, float a, float b, float c, float d) {
    EXPECT_EQ(matrix.m[row][0], a) << "row " << row;
    EXPECT_EQ(matrix.m[row][1], b) << "row " << row;
    EXPECT_EQ(matrix.m[row][2], c) << "row " << row;
    EXPECT_EQ(matrix.m[row][3], d) << "row " << row;
}

}  // namespace

TEST(Matrix4, ZeroIdentityOffsetAndRows) {
    const Matrix4 zero = zeroMatrix();
    const Matrix4 identity = identityMatrix();
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(zero.m[r][c], 0.0f);
            EXPECT_EQ(identity.m[r][c], r == c ? 1.0f : 0.0f);
        }
    // Row-major: [r][c] sits at index 4r + c.
    EXPECT_EQ(&identity.m[2][1] - &identity.m[0][0], 9);

    const Matrix4 offset = offsetMatrix(1, 2, 3);
    expectRow(offset, 0, 0, 0, 0, 1);
    expectRow(offset, 1, 0, 0, 0, 2);
    expectRow(offset, 2, 0, 0, 0, 3);
    expectRow(offset, 3, 0, 0, 0, 0);

    const Matrix4 transform = composeTransform(identityMatrix(), offset);
    expectRow(transform, 0, 1, 0, 0, 0);
    expectRow(transform, 1, 0, 1, 0, 0);
    expectRow(transform, 2, 0, 0, 1, 0);
    expectRow(transform, 3, 1, 2, 3, 1);

    const float values[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Matrix4 rows = matrixFromRows(values);
    expectRow(rows, 0, 1, 2, 3, 0);
    expectRow(rows, 1, 4, 5, 6, 0);
    expectRow(rows, 2, 7, 8, 9, 0);
    expectRow(rows, 3, 0, 0, 0, 0);
}

TEST(Matrix4, ComposeTransformKeepsAllFourColumnsOfTheRotationRows) {
    Matrix4 rotation = zeroMatrix();
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) rotation.m[r][c] = static_cast<float>(10 * r + c);
    const Matrix4 transform = composeTransform(rotation, offsetMatrix(-1, -2, -3));
    expectRow(transform, 0, 0, 1, 2, 3);
    expectRow(transform, 2, 20, 21, 22, 23);
    expectRow(transform, 3, -1, -2, -3, 1);
}

TEST(Matrix4, AxisAngleRotations) {
    for (float angle : {0.0f, 45.0f, 90.0f, -370.0f}) {
        const Matrix4 none = axisAngleMatrix(0, 0, 0, angle);
        expectRow(none, 0, 1, 0, 0, 0);
        expectRow(none, 1, 0, 1, 0, 0);
        expectRow(none, 2, 0, 0, 1, 0);
        expectRow(none, 3, 0, 0, 0, 0);
    }
    const float unitX[3] = {1, 0, 0};
    float out[3];
    turn(axisAngleMatrix(0, 1, 0, 90), unitX, out);
    EXPECT_NEAR(out[0], 0, 1e-6);
    EXPECT_NEAR(out[1], 0, 1e-6);
    EXPECT_NEAR(out[2], -1, 1e-6);
    turn(axisAngleMatrix(0, 0, 1, 90), unitX, out);
    EXPECT_NEAR(out[0], 0, 1e-6);
    EXPECT_NEAR(out[1], 1, 1e-6);
    EXPECT_NEAR(out[2], 0, 1e-6);
    // The axis length does not matter; about x, y turns into z.
    const float unitY[3] = {0, 1, 0};
    turn(axisAngleMatrix(5, 0, 0, 90), unitY, out);
    EXPECT_NEAR(out[0], 0, 1e-6);
    EXPECT_NEAR(out[1], 0, 1e-6);
    EXPECT_NEAR(out[2], 1, 1e-6);

    // A general rotation is orthonormal, leaves its axis alone and has nothing in row/column 3.
    const Matrix4 r = axisAngleMatrix(1, 2, -2, 73);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double dot = r.m[i][0] * r.m[j][0] + r.m[i][1] * r.m[j][1] + r.m[i][2] * r.m[j][2];
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-6);
        }
    const float axis[3] = {1, 2, -2};
    turn(r, axis, out);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[i], axis[i], 1e-5);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.m[3][i], 0.0f);
        EXPECT_EQ(r.m[i][3], 0.0f);
    }
}

TEST(StationTable, AllocateAndSetStations) {
    const Logger logger = trackertest::plainLogger("CFastrak");
    CTraCommonH processor(&logger);
    EXPECT_FALSE(processor.allocateStations(0));
    EXPECT_EQ(processor.numStations, 0u);
    EXPECT_EQ(processor.stations, nullptr);
    EXPECT_FALSE(processor.setStation(1, 1, nullptr, nullptr, nullptr));  // no table yet

    ASSERT_TRUE(processor.allocateStations(4));
    const Matrix4 offset = offsetMatrix(1, 2, 3);
    const Matrix4 rotation = axisAngleMatrix(0, 1, 0, 90);
    const float translation[3] = {0.5f, 0, 0};
    ASSERT_TRUE(processor.setStation(3, 2, &offset, &rotation, &translation));
    const StationEntry& three = processor.stations[2];
    EXPECT_TRUE(three.offsetSet && three.rotationSet && three.translationSet);
    EXPECT_EQ(three.transform.m[3][0], 1.0f);
    EXPECT_EQ(three.transform.m[3][2], 3.0f);
    EXPECT_EQ(three.transform.m[0][2], rotation.m[0][2]);
    EXPECT_EQ(three.translation[0], 0.5f);

    // A station with no inputs gets its defaults back and loses its flags.
    ASSERT_TRUE(processor.setStation(3, 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(three.outputNumber, 1u);
    EXPECT_FALSE(three.offsetSet || three.rotationSet || three.translationSet);
    EXPECT_EQ(three.transform.m[3][0], 0.0f);
    EXPECT_EQ(three.transform.m[0][0], 1.0f);
    EXPECT_EQ(three.translation[0], 0.0f);

    EXPECT_FALSE(processor.setStation(5, 1, nullptr, nullptr, nullptr));
    EXPECT_FALSE(processor.setStation(0, 1, nullptr, nullptr, nullptr));

    // A new table replaces the old one with fresh entries.
    ASSERT_TRUE(processor.setStation(2, 1, &offset, nullptr, nullptr));
    ASSERT_TRUE(processor.allocateStations(4));
    EXPECT_EQ(processor.numStations, 4u);
    for (uint32_t n = 0; n < 4; ++n) {
        const StationEntry& entry = processor.stations[n];
        EXPECT_EQ(entry.outputNumber, 0u);
        EXPECT_FALSE(entry.offsetSet || entry.rotationSet || entry.translationSet);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) EXPECT_EQ(entry.transform.m[r][c], r == c ? 1.0f : 0.0f);
    }
}

TEST(StationTable, ConstructionTakesItsOwnLoggerAndStartsEmpty) {
    Logger creator = trackertest::plainLogger("CFastrak");
    creator.debugLevel = 3;
    testsupport::CaptureStdout capture;
    {
        CTraCommonH processor(&creator);
        creator.setName("changed");  // the processor's copy is its own
        EXPECT_STREQ(processor.logger->name, "CFastrak");
        EXPECT_EQ(processor.logger->objectDebugLevel, 3);
        EXPECT_TRUE(processor.ownsLogger);
        EXPECT_TRUE(processor.inputConnector);
        EXPECT_FALSE(processor.caveCoordinates || processor.transmitterOffsetSet || processor.transmitterRotationSet);
        EXPECT_EQ(processor.calib, nullptr);
        EXPECT_EQ(processor.numCalibArgs, 0u);
        EXPECT_EQ(processor.transmitterTransform.m[3][3], 1.0f);
        EXPECT_EQ(processor.transmitterOffset.m[3][3], 0.0f);
    }
    const auto lines = testsupport::splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "CFastrak: DEBUG: CTraCommonH: \"constructor\" called.");
    EXPECT_EQ(lines[1], "CFastrak: DEBUG: CTraCommonH: \"destructor\" called.");

    CTraCommonH fresh(nullptr);
    EXPECT_STREQ(fresh.logger->name, "CTraCommonH");
    EXPECT_EQ(fresh.logger->debugLevel, 0);
    EXPECT_EQ(fresh.logger->objectDebugLevel, 3);
}

// The sanitizer build checks that the library object and both argument copies are released.
TEST(StationTable, DestructionReleasesTheCalibrationAndItsArguments) {
    auto processor = trackertest::deviceProcessor();
    testsupport::ConfigBuilder config;
    config.add(3, "calibration", {SHIFT_PLUGIN_PATH, "2.5", "second"});
    const auto run = trackertest::parse(*processor, config);
    ASSERT_TRUE(run.result);
    ASSERT_NE(processor->calib, nullptr);
    ASSERT_EQ(processor->numCalibArgs, 2u);
    EXPECT_STREQ(processor->calibArgs[0], "2.5");
    EXPECT_STREQ(processor->calibArgs[1], "second");
    // The copies are the processor's own, not the host's strings.
    EXPECT_NE(processor->calibArgs[0], config.line(0).args[1]);
    processor.reset();
}
