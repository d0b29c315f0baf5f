// Shared by the end-to-end correction tests: the room grid, the module's view of a tracker pose,
// a published record's values and the accuracy the correction promises.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "Fit.h"
#include "Motion.h"
#include "Storage.h"
#include "fastrak/Records.h"

namespace roomtest {

using Pose6 = std::array<double, 6>;

// Grid point k of 125: 5 x 5 x 5 on the module's default working side of the transmitter (tracker
// axes, inches: -y; z down), with a different attitude at every point.
inline fastraksim::Pose gridPoint(int k) {
    fastraksim::Pose p;
    p.x = -28 + 14 * (k % 5), p.y = -14 - 10 * ((k / 5) % 5), p.z = -24 + 12 * (k / 25);
    p.azimuth = -170 + 37 * (k % 10), p.elevation = -70 + 14 * (k % 11), p.roll = 160 - 29 * (k % 12);
    return p;
}

// The module's view of a tracker pose: feet, CAVE axes, azimuth and roll negated.
inline Pose6 toModule(const fastraksim::Pose& p) {
    const double f = 1.0 / 12.0;
    return {p.y * f, -p.z * f, -p.x * f, -p.azimuth, p.elevation, -p.roll};
}

using fastrakhost::fromNetwork;

// A record field in network byte order, as a real number (units of 1e-5).
inline double fixed(int32_t field) { return static_cast<int32_t>(fromNetwork(static_cast<uint32_t>(field))) * 1e-5; }
inline Pose6 published(const TrackerRecord& r) {
    return {fixed(r.x), fixed(r.y), fixed(r.z), fixed(r.azimuth), fixed(r.elevation), fixed(r.roll)};
}

inline calibrate::Pair pairOf(const Pose6& reported, const Pose6& truth) {
    calibrate::Pair pair;
    std::copy(reported.begin(), reported.end(), pair.reported);
    std::copy(truth.begin(), truth.end(), pair.truth);
    return pair;
}

// What docs/calibration.md promises on the emulator's room field: measure()'s "before" figures are
// those of the pairs' first poses, here what the module published.
inline void expectStatedAccuracy(const calibrate::ErrorReport& r) {
    EXPECT_LT(r.positionBefore.rms, 0.5 / 30.48);
    EXPECT_LT(r.positionBefore.max, 2.0 / 30.48);
    EXPECT_LT(r.angleBefore.rms, 0.2);
    EXPECT_LT(r.angleBefore.max, 1.0);
}

}  // namespace roomtest
