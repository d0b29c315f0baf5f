// PoseFrame: a published attitude as a rotation matrix or a unit quaternion, the same for every output.
#pragma once

namespace fastrakhost {

// How a device's angles read (its cavecoord line): CAVE angles, the module's default, or the
// tracker's own.
enum class PoseAngles { Cave, Tracker };

// The attitude of pose (azimuth, elevation, roll in degrees at [3..5]) as a matrix whose columns
// are the receiver's x, y and z axes (the marks on the receiver) in the output axes.
void attitudeMatrix(const double pose[6], PoseAngles angles, double r[3][3]);
// The same attitude as a unit quaternion w, x, y, z with w >= 0.
void attitudeQuaternion(const double pose[6], PoseAngles angles, double q[4]);

}  // namespace fastrakhost
