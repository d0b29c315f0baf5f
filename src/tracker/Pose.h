// Pose: one station sample, six consecutive floats, also the calibration library's sample layout.
#pragma once

#include <cstddef>
#include <type_traits>

// Feet and degrees once converted. The calibration library receives data() and may correct the
// six values in place, so their order and width are part of its interface.
struct Pose {
    float x;
    float y;
    float z;
    float azimuth;
    float elevation;
    float roll;

    float* data() { return &x; }
    const float* data() const { return &x; }
};

static_assert(sizeof(float) == 4, "Pose values are 32-bit floats");
static_assert(sizeof(Pose) == 24, "Pose is six floats without padding");
static_assert(std::is_standard_layout<Pose>::value && std::is_trivially_copyable<Pose>::value,
              "Pose is handed to a C library as float*");
static_assert(offsetof(Pose, y) == 4 && offsetof(Pose, z) == 8 && offsetof(Pose, azimuth) == 12 &&
                  offsetof(Pose, elevation) == 16 && offsetof(Pose, roll) == 20,
              "Pose values are consecutive in x, y, z, azimuth, elevation, roll order");
