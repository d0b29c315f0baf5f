// The Matrix4 constructors: zero, identity, offset, rows, axis-angle rotation and transform.
#include "tracker/Matrix4.h"

#include <cmath>

Matrix4 zeroMatrix() {
    Matrix4 result{};
    return result;
}

Matrix4 identityMatrix() {
    Matrix4 result{};
    for (int i = 0; i < 4; ++i) result.m[i][i] = 1.0f;
    return result;
}

Matrix4 offsetMatrix(float x, float y, float z) {
    Matrix4 result{};
    result.m[0][3] = x;
    result.m[1][3] = y;
    result.m[2][3] = z;
    return result;
}

Matrix4 matrixFromRows(const float (&values)[9]) {
    Matrix4 result{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) result.m[r][c] = values[3 * r + c];
    return result;
}

Matrix4 axisAngleMatrix(float ax, float ay, float az, float angleDegrees) {
    Matrix4 result{};
    const double x = ax, y = ay, z = az;
    const double length = std::sqrt(x * x + y * y + z * z);
    if (length == 0.0) {
        for (int i = 0; i < 3; ++i) result.m[i][i] = 1.0f;
        return result;
    }
    const double ux = x / length, uy = y / length, uz = z / length;
    const double radians = static_cast<double>(angleDegrees) * static_cast<double>(kDegreesToRadians);
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    const double k = 1.0 - c;
    result.m[0][0] = static_cast<float>(k * ux * ux + c);
    result.m[0][1] = static_cast<float>(k * ux * uy + s * uz);
    result.m[0][2] = static_cast<float>(k * ux * uz - s * uy);
    result.m[1][0] = static_cast<float>(k * ux * uy - s * uz);
    result.m[1][1] = static_cast<float>(k * uy * uy + c);
    result.m[1][2] = static_cast<float>(k * uy * uz + s * ux);
    result.m[2][0] = static_cast<float>(k * ux * uz + s * uy);
    result.m[2][1] = static_cast<float>(k * uy * uz - s * ux);
    result.m[2][2] = static_cast<float>(k * uz * uz + c);
    return result;
}

Matrix4 composeTransform(const Matrix4& rotation, const Matrix4& offset) {
    Matrix4 result{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) result.m[r][c] = rotation.m[r][c];
    result.m[3][0] = offset.m[0][3];
    result.m[3][1] = offset.m[1][3];
    result.m[3][2] = offset.m[2][3];
    result.m[3][3] = 1.0f;
    return result;
}
