// Per-record tracker arithmetic: device units to feet and CAVE axes, and the pose transforms.
#pragma once

#include "tracker/Matrix4.h"
#include "tracker/Pose.h"

// The float nearest 1/12: inches to feet.
constexpr float kInchesToFeet = 0.083333336f;

// Positions from inches to feet; with caveCoordinates the axes become CAVE axes
// (x = Y, y = -Z, z = -X; azimuth and roll negated).
void convertDevicePose(Pose& pose, bool caveCoordinates);

// Orientation matrix Ry(azimuth) * Rx(elevation) * Rz(roll) in column-vector form, y up.
// Its columns are the sensor's own axes in the output frame.
void orientationMatrix(double azimuthDegrees, double elevationDegrees, double rollDegrees, double (&result)[3][3]);

// New angles from S3 * M^T * T3, where T3 and S3 are the rotation blocks of the transmitter
// and sensor transforms.
void transformOrientation(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor);

// Position through the transmitter transform, angles through transformOrientation, then the
// sensor offset (row 3 of the sensor transform, in the sensor's own axes) turned by the new
// angles, then the station's translation added unrotated.
void transformPose(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor, const float (&translation)[3]);
