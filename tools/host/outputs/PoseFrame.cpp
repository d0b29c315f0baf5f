// PoseFrame: the two forms of the angles to one matrix, and the matrix to a quaternion.
#include "outputs/PoseFrame.h"

#include <cmath>
#include <cstring>

namespace fastrakhost {

void attitudeMatrix(const double pose[6], PoseAngles angles, double r[3][3]) {
    const double d = 3.14159265358979323846 / 180;
    const double cA = std::cos(pose[3] * d), sA = std::sin(pose[3] * d);
    const double cE = std::cos(pose[4] * d), sE = std::sin(pose[4] * d);
    const double cR = std::cos(pose[5] * d), sR = std::sin(pose[5] * d);
    if (angles == PoseAngles::Tracker) {
        // The tracker's own angles: Rz(azimuth) Ry(elevation) Rx(roll).
        const double t[3][3] = {{cA * cE, cA * sE * sR - sA * cR, cA * sE * cR + sA * sR},
                                {sA * cE, cA * cR + sA * sE * sR, sA * sE * cR - cA * sR},
                                {-sE, cE * sR, cE * cR}};
        std::memcpy(r, t, sizeof t);
        return;
    }
    // CAVE angles: O = Ry(azimuth) Rx(elevation) Rz(roll) holds the receiver's axes relabelled
    // (x = y, y = -z, z = -x); R = O P puts them back.
    const double o[3][3] = {{cA * cR + sA * sE * sR, sA * sE * cR - cA * sR, sA * cE},
                            {cE * sR, cE * cR, -sE},
                            {cA * sE * sR - sA * cR, cA * sE * cR + sA * sR, cA * cE}};
    for (int i = 0; i < 3; ++i) {
        r[i][0] = -o[i][2];
        r[i][1] = o[i][0];
        r[i][2] = -o[i][1];
    }
}

void attitudeQuaternion(const double pose[6], PoseAngles angles, double q[4]) {
    double r[3][3];
    attitudeMatrix(pose, angles, r);
    // From the largest of w, x, y, z, so that no small number is divided by.
    const double trace = r[0][0] + r[1][1] + r[2][2];
    if (trace > r[0][0] && trace > r[1][1] && trace > r[2][2]) {
        const double s = 2 * std::sqrt(1 + trace);
        q[0] = s / 4;
        q[1] = (r[2][1] - r[1][2]) / s;
        q[2] = (r[0][2] - r[2][0]) / s;
        q[3] = (r[1][0] - r[0][1]) / s;
    } else if (r[0][0] >= r[1][1] && r[0][0] >= r[2][2]) {
        const double s = 2 * std::sqrt(1 + r[0][0] - r[1][1] - r[2][2]);
        q[0] = (r[2][1] - r[1][2]) / s;
        q[1] = s / 4;
        q[2] = (r[0][1] + r[1][0]) / s;
        q[3] = (r[0][2] + r[2][0]) / s;
    } else if (r[1][1] >= r[2][2]) {
        const double s = 2 * std::sqrt(1 + r[1][1] - r[0][0] - r[2][2]);
        q[0] = (r[0][2] - r[2][0]) / s;
        q[1] = (r[0][1] + r[1][0]) / s;
        q[2] = s / 4;
        q[3] = (r[1][2] + r[2][1]) / s;
    } else {
        const double s = 2 * std::sqrt(1 + r[2][2] - r[0][0] - r[1][1]);
        q[0] = (r[1][0] - r[0][1]) / s;
        q[1] = (r[0][2] + r[2][0]) / s;
        q[2] = (r[1][2] + r[2][1]) / s;
        q[3] = s / 4;
    }
    // q and -q are the same attitude: one sign, so that a stream does not flip between them.
    const double sign = q[0] < 0 ? -1 : 1;
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int i = 0; i < 4; ++i) q[i] *= sign / norm;
}

}  // namespace fastrakhost
