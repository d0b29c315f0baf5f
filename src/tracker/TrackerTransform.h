// Per-record tracker arithmetic: device units to feet and CAVE axes, and the pose transforms.
#pragma once

#include "tracker/Matrix4.h"
#include "tracker/Pose.h"

// The float nearest 1/12: inches to feet.
constexpr float kInchesToFeet = 0.083333336f;

// Positions from inches to feet; with caveCoordinates the axes become CAVE axes
// (x = Y, y = -Z, z = -X; azimuth and roll negated).
void convertDevicePose(Pose& pose, bool caveCoordinates);

// How a pose's angles read. CAVE axes: azimuth about y (up), elevation about x, roll about z,
// M = Ry(azimuth) * Rx(elevation) * Rz(roll). The tracker's own axes: azimuth about z (down),
// elevation about y, roll about x, M = Rz(azimuth) * Ry(elevation) * Rx(roll).
enum class AngleForm { Cave, Tracker };

// Orientation matrix M of the angles in column-vector form; its columns are the sensor's own
// axes in the output frame.
void orientationMatrix(AngleForm form, double azimuthDegrees, double elevationDegrees, double rollDegrees,
                       double (&result)[3][3]);

// New angles, in the same form, from S3 * M^T * T3, where T3 and S3 are the rotation blocks of
// the transmitter and sensor transforms.
void transformOrientation(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor, AngleForm form);

// Position through the transmitter transform, angles through transformOrientation, then the
// sensor offset (row 3 of the sensor transform, in the sensor's own axes) turned by the new
// angles, then the station's translation added unrotated.
void transformPose(Pose& pose, const Matrix4& transmitter, const Matrix4& sensor, const float (&translation)[3],
                   AngleForm form);
