// Network-order words and the saturating fixed-point conversion of the host records.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/win32.h"

namespace storage {

// Scales of the fixed-point fields: the stored integer is the real divided by the scale.
constexpr double kPoseScale = 0.00001;
constexpr double kPoseUnitsPerReal = 100000.0;
constexpr double kValuatorScale = 0.001;
constexpr double kValuatorUnitsPerReal = 1000.0;

inline uint32_t toNet(uint32_t value) { return htonl(value); }
inline uint32_t fromNet(uint32_t value) { return ntohl(value); }

// Signed fields go through their bit pattern, so no value is out of range for a conversion.
inline int32_t toNetSigned(int32_t value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    bits = htonl(bits);
    int32_t result = 0;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// The byte swap is its own inverse.
inline int32_t fromNetSigned(int32_t value) { return toNetSigned(value); }

// value * units truncated toward zero. The product of a float and a power of ten this small is
// exact in double. Out-of-range products saturate and NaN gives 0: casting them would be undefined.
inline int32_t toFixed(float value, double unitsPerReal) {
    const double product = static_cast<double>(value) * unitsPerReal;
    if (std::isnan(product)) return 0;
    if (product >= 2147483647.0) return INT32_MAX;
    if (product <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(product);
}

// The stored integer back as a single-precision real.
inline float fromFixed(int32_t units, double scale) { return static_cast<float>(static_cast<double>(units) * scale); }

}  // namespace storage
