// The distortion field: radial stretch, pull towards a floor plane, swirl, and an attitude error.
#include "Distortion.h"

#include <cmath>
#include <cstdlib>

#include "SimMath.h"

namespace fastraksim {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool setKey(DistortionParams& p, const std::string& key, double value) {
    if (key == "reach")
        p.reach = value;
    else if (key == "radial")
        p.radial = value;
    else if (key == "floor")
        p.floor = value;
    else if (key == "depth")
        p.floorDepth = value;
    else if (key == "decay")
        p.floorDecay = value;
    else if (key == "swirl")
        p.swirl = value;
    else if (key == "tilt")
        p.tilt = value;
    else
        return false;
    return true;
}

}  // namespace

bool parseDistortion(const std::string& text, DistortionParams& out, std::string& error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    DistortionParams p;
    if (name == "room") {
        p.radial = 6.0;
        p.floor = 2.5;
        p.swirl = 2.5;
        p.tilt = 4.0;
    } else if (name != "custom") {
        error = "unknown distortion '" + name + "' (expected room or custom)";
        return false;
    }
    std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const size_t equals = item.find('=');
        char* end = nullptr;
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const double v = std::strtod(value.c_str(), &end);
        if (equals == std::string::npos || value.empty() || *end != '\0' || !std::isfinite(v)) {
            error = "distortion setting '" + item + "' is not key=number";
            return false;
        }
        if (!setKey(p, item.substr(0, equals), v)) {
            error = "unknown distortion setting '" + item.substr(0, equals) +
                    "' (expected reach, radial, floor, depth, decay, swirl or tilt)";
            return false;
        }
    }
    if (!(p.reach > 0) || !(p.floorDecay > 0)) {
        error = "distortion reach and decay must be positive";
        return false;
    }
    out = p;
    return true;
}

Pose distort(const DistortionParams& params, const Pose& truePose) {
    if (!params.enabled()) return truePose;
    const double L = params.reach;
    const Vec3 p{truePose.x, truePose.y, truePose.z};
    const double r = norm(p);
    const double q = r / L;
    // Each term vanishes at the transmitter and is smooth there: the factors of r cancel p's length.
    const Vec3 radial = (params.radial * (0.7 / L + 0.3 * r / (L * L))) * p;
    const Vec3 floor{0, 0, params.floor * q * q * std::exp((p.z - params.floorDepth) / params.floorDecay)};
    const Vec3 swirl = (params.swirl * q * std::cos(kPi * p.y / (2 * L)) / L) * cross(Vec3{0, 0, 1}, p);
    const Vec3 moved = p + radial + floor + swirl;

    // The attitude error turns about an axis that wanders smoothly with the position.
    Vec3 axis{std::cos(kPi * p.z / (2 * L)), std::sin(kPi * p.x / (2 * L)), 0.5};
    axis = (1.0 / norm(axis)) * axis;
    const double angle = params.tilt * q * q * kPi / 180.0;
    const double s = std::sin(angle), c = std::cos(angle), t = 1 - c;
    const Mat3 turn{{{t * axis.x * axis.x + c, t * axis.x * axis.y - s * axis.z, t * axis.x * axis.z + s * axis.y},
                     {t * axis.x * axis.y + s * axis.z, t * axis.y * axis.y + c, t * axis.y * axis.z - s * axis.x},
                     {t * axis.x * axis.z - s * axis.y, t * axis.y * axis.z + s * axis.x, t * axis.z * axis.z + c}}};
    Pose out;
    out.x = moved.x, out.y = moved.y, out.z = moved.z;
    anglesOf(multiply(turn, attitude(truePose.azimuth, truePose.elevation, truePose.roll)), out.azimuth, out.elevation,
             out.roll);
    return out;
}

}  // namespace fastraksim
