// A smooth, deterministic field distortion, as metal near the tracker causes: it bends the
// reported pose more the farther the receiver is from the transmitter.
#pragma once

#include <string>

#include "Motion.h"

namespace fastraksim {

// Magnitudes are what the term reaches at `reach` inches from the transmitter (tracker axes:
// x forward, y right, z down). All zero: no distortion.
struct DistortionParams {
    double reach = 59.0;     // inches (1.5 m)
    double radial = 0;       // inches along the line from the transmitter (a weaker field reads farther)
    double floor = 0;        // inches of pull towards a steel plane below the transmitter
    double floorDepth = 40;  // inches from the transmitter down to that plane
    double floorDecay = 20;  // inches over which the pull fades above the plane
    double swirl = 0;        // inches sideways, about the vertical axis
    double tilt = 0;         // degrees of attitude error
    bool enabled() const { return radial != 0 || floor != 0 || swirl != 0 || tilt != 0; }
};

// "room" (a lab with steel in the floor and frame) or "custom", each optionally followed by
// ":key=value,..." with keys reach radial floor depth decay swirl tilt. False with a reason.
bool parseDistortion(const std::string& text, DistortionParams& out, std::string& error);

// The pose the distorted field makes the tracker see for a receiver at `truePose`.
Pose distort(const DistortionParams& params, const Pose& truePose);

}  // namespace fastraksim
