// fastrak-calibrate's fit on pairs from the emulator's distortion field: the held-out error falls as
// promised, and inputs that cannot give a trustworthy model are refused with a reason.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Distortion.h"
#include "Fit.h"

namespace {

// A receiver somewhere in a lab volume on the module's working side of the transmitter (tracker
// axes, inches: -y; z down) at any attitude, as the module would see it and as it truly is.
std::vector<calibrate::Pair> roomPairs(const fastraksim::DistortionParams& field, size_t count, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> x(-30, 30), y(-56, -12), z(-24, 30), turn(-180, 180), tilt(-80, 80);
    auto toModule = [](const fastraksim::Pose& p, double out[6]) {
        const double f = 1.0 / 12.0;
        const double v[6] = {p.y * f, -p.z * f, -p.x * f, -p.azimuth, p.elevation, -p.roll};
        std::copy(v, v + 6, out);
    };
    std::vector<calibrate::Pair> pairs;
    for (size_t i = 0; i < count; ++i) {
        fastraksim::Pose truth;
        truth.x = x(random), truth.y = y(random), truth.z = z(random);
        truth.azimuth = turn(random), truth.elevation = tilt(random), truth.roll = turn(random);
        calibrate::Pair pair;
        toModule(fastraksim::distort(field, truth), pair.reported);
        toModule(truth, pair.truth);
        pairs.push_back(pair);
    }
    return pairs;
}

fastraksim::DistortionParams roomPreset() {
    fastraksim::DistortionParams field;
    std::string error;
    EXPECT_TRUE(fastraksim::parseDistortion("room", field, error)) << error;
    return field;
}

TEST(Fit, PresetFieldHeldOutErrorFallsTenfoldInPositionAndHalvesInAngle) {
    struct Case {
        int degree;  // 0: chosen by cross-validation
        size_t pairs;
    };
    for (const Case c : {Case{0, 400}, Case{4, 250}}) {
        calibrate::FitOptions options;
        options.degree = c.degree;
        calibrate::FitResult result;
        std::string error;
        ASSERT_TRUE(calibrate::fit(roomPairs(roomPreset(), c.pairs, 7), options, result, error)) << error;
        const calibrate::ErrorReport& r = result.heldOutReport;
        SCOPED_TRACE("degree " + std::to_string(c.degree) + ", position RMS " + std::to_string(r.positionBefore.rms) +
                     " -> " + std::to_string(r.positionAfter.rms) + " ft, angle RMS " +
                     std::to_string(r.angleBefore.rms) + " -> " + std::to_string(r.angleAfter.rms) + " deg");
        EXPECT_EQ(r.count, result.heldOut);
        EXPECT_GT(r.positionBefore.rms, 0.1);  // the preset really distorts: over 3 cm RMS
        EXPECT_LE(r.positionAfter.rms * 10, r.positionBefore.rms);
        EXPECT_LE(r.angleAfter.rms * 2, r.angleBefore.rms);
        EXPECT_LE(r.positionAfter.p95, r.positionAfter.max);
        if (c.degree != 0) {
            EXPECT_EQ(result.model.position.degree, c.degree);
        }

        // What the plug-in reads back corrects exactly as the fitted model does.
        distortion::CorrectionModel reread;
        ASSERT_TRUE(distortion::CorrectionModel::fromJson(result.model.toJson(), reread, error)) << error;
        const calibrate::ErrorReport again = calibrate::measure(reread, roomPairs(roomPreset(), 50, 99));
        const calibrate::ErrorReport original = calibrate::measure(result.model, roomPairs(roomPreset(), 50, 99));
        EXPECT_NEAR(again.positionAfter.max, original.positionAfter.max, 1e-12);
        EXPECT_NEAR(again.angleAfter.max, original.angleAfter.max, 1e-9);
    }
}

TEST(Fit, InputThatCannotGiveATrustworthyModelIsRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<calibrate::Pair> pairs;
        int degree;
        const char* reason;
    };
    std::vector<calibrate::Pair> plane = roomPairs(roomPreset(), 200, 3);
    for (auto& p : plane) p.reported[1] = 0.5;  // every reported point at one height
    std::vector<calibrate::Pair> line = plane;
    for (auto& p : line) p.reported[2] = 2.0;
    std::vector<calibrate::Pair> notANumber = roomPairs(roomPreset(), 200, 4);
    notANumber[17].truth[4] = nan;
    const Case cases[] = {
        {"too few", roomPairs(roomPreset(), 12, 5), 0, "too few pairs"},
        {"too few for the degree", roomPairs(roomPreset(), 60, 5), 5, "too few pairs"},
        {"plane", plane, 0, "lie on a plane"},
        {"line", line, 3, "lie on a line"},
        {"NaN", notANumber, 0, "pair 18 holds a value that is not a finite number"},
        {"degree too high", roomPairs(roomPreset(), 200, 6), 7, "degree must be from 1 to 6"},
    };
    for (const Case& c : cases) {
        calibrate::FitOptions options;
        options.degree = c.degree;
        calibrate::FitResult result;
        std::string error;
        EXPECT_FALSE(calibrate::fit(c.pairs, options, result, error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Fit, PairsFileIsReadOrRefusedWithItsLine) {
    const std::string row = "1,2,3,4,5,6,1.1,2.1,3.1,4.1,5.1,6.1";
    struct Case {
        std::string text;
        size_t pairs;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"rx,ry,rz,ra,re,rr,tx,ty,tz,ta,te,tr\n# comment\n\n" + row + "\n" + row + "\n", 2, ""},
        {row + "\r\n" + row, 2, ""},
        {row + "\n1,2,3\n", 0, "line 2: expected 12 numbers"},
        {row + "\n" + row + ",7\n", 0, "line 2: expected 12 numbers"},
        {row + "\n1,2,3,4,5,6,1,2,3,4,5,x\n", 0, "line 2: column 12 ('x') is not a number"},
        {"1,2,nan,4,5,6,1,2,3,4,5,6\n", 0, "line 1: column 3 is not a finite number"},
        {"header\nheader\n", 0, "line 2: column 1 ('header') is not a number"},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        std::vector<calibrate::Pair> pairs;
        std::string error;
        const bool ok = calibrate::readPairs(in, pairs, error);
        EXPECT_EQ(ok, std::string(c.error).empty()) << c.text;
        if (ok) {
            ASSERT_EQ(pairs.size(), c.pairs) << c.text;
            EXPECT_DOUBLE_EQ(pairs[0].reported[2], 3);
            EXPECT_DOUBLE_EQ(pairs[0].truth[5], 6.1);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

}  // namespace
