// transformPose against a separate formulation: unit quaternions in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tracker/TrackerTransform.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;

struct Quaternion {
    double w, x, y, z;
};

Quaternion multiply(const Quaternion& a, const Quaternion& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// Right-handed turn by degrees about the axis (need not be unit length).
Quaternion aboutAxis(double ax, double ay, double az, double degrees) {
    const double length = std::sqrt(ax * ax + ay * ay + az * az);
    const double half = degrees * kRad / 2;
    const double s = std::sin(half) / length;
    return {std::cos(half), ax * s, ay * s, az * s};
}

// v' = q v q*
void rotate(const Quaternion& q, const double (&v)[3], double (&out)[3]) {
    const Quaternion p{0, v[0], v[1], v[2]};
    const Quaternion conjugate{q.w, -q.x, -q.y, -q.z};
    const Quaternion r = multiply(multiply(q, p), conjugate);
    out[0] = r.x;
    out[1] = r.y;
    out[2] = r.z;
}

// Azimuth about y, elevation about x, roll about z, roll applied first.
Quaternion fromAngles(double azimuth, double elevation, double roll) {
    return multiply(multiply(aboutAxis(0, 1, 0, azimuth), aboutAxis(1, 0, 0, elevation)), aboutAxis(0, 0, 1, roll));
}

// Angles of a unit quaternion, read from the sensor's own axes in the output frame.
void toAngles(const Quaternion& q, double& azimuth, double& elevation, double& roll) {
    const double zAxis[3] = {0, 0, 1}, yAxis[3] = {0, 1, 0}, xAxis[3] = {1, 0, 0};
    double sensorZ[3], sensorX[3], sensorY[3];
    rotate(q, zAxis, sensorZ);
    rotate(q, xAxis, sensorX);
    rotate(q, yAxis, sensorY);
    azimuth = std::atan2(sensorZ[0], sensorZ[2]) / kRad;
    elevation = std::asin(std::fmax(-1.0, std::fmin(1.0, -sensorZ[1]))) / kRad;
    roll = std::atan2(sensorX[1], sensorY[1]) / kRad;
}

double angleDifference(double a, double b) {
    double difference = std::fmod(a - b, 360.0);
    if (difference > 180.0) difference -= 360.0;
    if (difference < -180.0) difference += 360.0;
    return difference;
}

}  // namespace

TEST(TransformCrossCheck, RandomPosesAgreeWithQuaternions) {
    std::mt19937 generator(20240611u);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    std::uniform_real_distribution<float> elevationAngle(-89.0f, 89.0f);
    std::uniform_real_distribution<float> position(-10.0f, 10.0f);

    int compared = 0;
    int nearLock = 0;
    for (int sample = 0; sample < 4000; ++sample) {
        const float tAxis[3] = {unit(generator), unit(generator), unit(generator)};
        const float tAngle = angle(generator);
        const float tOffset[3] = {5 * unit(generator), 5 * unit(generator), 5 * unit(generator)};
        const float sAxis[3] = {unit(generator), unit(generator), unit(generator)};
        const float sAngle = angle(generator);
        const float sOffset[3] = {2 * unit(generator), 2 * unit(generator), 2 * unit(generator)};
        const float translation[3] = {unit(generator), unit(generator), unit(generator)};
        const Pose input{position(generator), position(generator),       position(generator),
                         angle(generator),    elevationAngle(generator), angle(generator)};

        const Matrix4 transmitter = composeTransform(axisAngleMatrix(tAxis[0], tAxis[1], tAxis[2], tAngle),
                                                     offsetMatrix(tOffset[0], tOffset[1], tOffset[2]));
        const Matrix4 sensor = composeTransform(axisAngleMatrix(sAxis[0], sAxis[1], sAxis[2], sAngle),
                                                offsetMatrix(sOffset[0], sOffset[1], sOffset[2]));
        Pose actual = input;
        transformPose(actual, transmitter, sensor, translation, AngleForm::Cave);

        // Output orientation = transmitter turn, then the sensor's own, then the sensor rotation.
        const Quaternion qt = aboutAxis(tAxis[0], tAxis[1], tAxis[2], tAngle);
        const Quaternion qs = aboutAxis(sAxis[0], sAxis[1], sAxis[2], sAngle);
        const Quaternion q = multiply(multiply(qt, fromAngles(input.azimuth, input.elevation, input.roll)), qs);
        double azimuth, elevation, roll;
        toAngles(q, azimuth, elevation, roll);

        double moved[3], offsetTurned[3];
        const double p[3] = {input.x, input.y, input.z};
        const double s[3] = {sOffset[0], sOffset[1], sOffset[2]};
        rotate(qt, p, moved);
        rotate(q, s, offsetTurned);
        for (int i = 0; i < 3; ++i) {
            const double expected = moved[i] + tOffset[i] + offsetTurned[i] + translation[i];
            const float got = i == 0 ? actual.x : i == 1 ? actual.y : actual.z;
            ASSERT_NEAR(got, expected, 1e-5) << "sample " << sample << " axis " << i;
        }

        ASSERT_NEAR(actual.elevation, elevation, 1e-3) << "sample " << sample;
        // Azimuth and roll are undefined at gimbal lock and ill-conditioned close to it.
        if (std::fabs(elevation) > 85.0) {
            ++nearLock;
            continue;
        }
        ASSERT_NEAR(angleDifference(actual.azimuth, azimuth), 0.0, 1e-3) << "sample " << sample;
        ASSERT_NEAR(angleDifference(actual.roll, roll), 0.0, 1e-3) << "sample " << sample;
        EXPECT_LE(std::fabs(actual.azimuth), 180.0f);
        EXPECT_LE(std::fabs(actual.roll), 180.0f);
        ++compared;
    }
    // The check is worth something only if nearly every sample was compared.
    EXPECT_GT(compared, 3800);
    EXPECT_LT(nearLock, 200);
}
