// Device conversion, orientation matrices and the transmitter and sensor transforms of a pose.
#include "tracker/TrackerTransform.h"

#include <cmath>

void convertDevicePose(Pose& pose, bool caveCoordinates) {
    const float deviceX = pose.x, deviceY = pose.y, deviceZ = pose.z;
    if (caveCoordinates) {
        pose.x = deviceY * kInchesToFeet;
        pose.y = deviceZ * -kInchesToFeet;
        pose.z = deviceX * -kInchesToFeet;
        pose.azimuth = -pose.azimuth;
        pose.roll = -pose.roll;
    } else {
        pose.x = deviceX * kInchesToFeet;
        pose.y = deviceY * kInchesToFeet;
        pose.z = deviceZ * kInchesToFeet;
    }
}

void orientationMatrix(AngleForm form, double azimuthDegrees, double elevationDegrees, double rollDegrees,
                       double (&result)[3][3]) {
    const double toRadians = kDegreesToRadians;
    const double a = azimuthDegrees * toRadians, e = elevationDegrees * toRadians, r = rollDegrees * toRadians;
    const double sA = std::sin(a), cA = std::cos(a);
    const double sE = std::sin(e), cE = std::cos(e);
    const double sR = std::sin(r), cR = std::cos(r);
    if (form == AngleForm::Cave) {
        result[0][0] = cA * cR + sA * sE * sR;
        result[0][1] = sA * sE * cR - cA * sR;
        result[0][2] = sA * cE;
        result[1][0] = cE * sR;
        result[1][1] = cE * cR;
        result[1][2] = -sE;
        result[2][0] = cA * sE * sR - sA * cR;
        result[2][1] = cA * sE * cR + sA * sR;
        result[2][2] = cA * cE;
    } else {
        result[0][0] = cA * cE;
        result[0][1] = cA * sE * sR - sA * cR;
        result[0][2] = cA * sE * cR + sA * sR;
        result[1][0] = sA * cE;
        result[1][1] = sA * sE * sR + cA * cR;
        result[1][2] = sA * sE * cR - cA * sR;
        result[2][0] = -sE;
        result[2][1] = cE * sR;
        result[2][2] = cE * cR;
    }
}

void transformOrientation(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor, AngleForm form) {
    double m[3][3];
    orientationMatrix(form, pose.azimuth, pose.elevation, pose.roll, m);

    // sensorTimesMt = S3 * M^T; q = sensorTimesMt * T3.
    double sensorTimesMt[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            sensorTimesMt[i][j] = sensor.m[i][0] * m[j][0] + sensor.m[i][1] * m[j][1] + sensor.m[i][2] * m[j][2];
    double q[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            q[i][j] = sensorTimesMt[i][0] * transmitter.m[0][j] + sensorTimesMt[i][1] * transmitter.m[1][j] +
                      sensorTimesMt[i][2] * transmitter.m[2][j];

    // q is the new M in row-vector form (its transpose): q[i][j] = M[j][i].
    const double toDegrees = kRadiansToDegrees;
    double azimuth, elevation, roll;
    if (form == AngleForm::Cave) {
        azimuth = std::atan2(-q[2][0], q[2][2]) * -toDegrees;
        elevation = std::atan2(-q[2][1], std::sqrt(q[2][2] * q[2][2] + q[2][0] * q[2][0])) * toDegrees;
        roll = std::atan2(q[0][1], q[1][1]) * toDegrees;
    } else {
        azimuth = std::atan2(q[0][1], q[0][0]) * toDegrees;
        elevation = std::atan2(-q[0][2], std::sqrt(q[0][0] * q[0][0] + q[0][1] * q[0][1])) * toDegrees;
        roll = std::atan2(q[1][2], q[2][2]) * toDegrees;
    }
    pose.azimuth = static_cast<float>(azimuth);
    pose.elevation = static_cast<float>(elevation);
    pose.roll = static_cast<float>(roll);
}

void transformPose(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor, const float (&translation)[3],
                   AngleForm form) {
    double position[3];
    for (int j = 0; j < 3; ++j)
        position[j] = static_cast<double>(pose.x) * transmitter.m[0][j] +
                      static_cast<double>(pose.y) * transmitter.m[1][j] +
                      static_cast<double>(pose.z) * transmitter.m[2][j] + transmitter.m[3][j];

    transformOrientation(pose, transmitter, sensor, form);

    double turned[3][3];
    orientationMatrix(form, pose.azimuth, pose.elevation, pose.roll, turned);
    const double sx = sensor.m[3][0], sy = sensor.m[3][1], sz = sensor.m[3][2];
    for (int i = 0; i < 3; ++i)
        position[i] += turned[i][0] * sx + turned[i][1] * sy + turned[i][2] * sz + translation[i];

    pose.x = static_cast<float>(position[0]);
    pose.y = static_cast<float>(position[1]);
    pose.z = static_cast<float>(position[2]);
}
