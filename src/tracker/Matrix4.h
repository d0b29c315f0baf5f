// Matrix4: sixteen floats, row-major, holding an offset, a rotation or a transform.
#pragma once

#include <cstdint>

// Rotations are kept in row-vector form (a point p turns as p * R), so a transform carries its
// translation in row 3. An offset alone lives in column 3: [0][3], [1][3], [2][3].
struct Matrix4 {
    float m[4][4];
};

static_assert(sizeof(Matrix4) == 16 * sizeof(float), "Matrix4 is sixteen packed floats");

// Degrees to radians and back, as the 32-bit constants the tracker arithmetic is defined with.
constexpr float kDegreesToRadians = 0.01745329f;
constexpr float kRadiansToDegrees = 57.295776f;

Matrix4 zeroMatrix();
Matrix4 identityMatrix();
// x, y, z in column 3; everything else 0, the diagonal too.
Matrix4 offsetMatrix(float x, float y, float z);
// The nine values row by row into the upper-left block; everything else 0, [3][3] too.
Matrix4 matrixFromRows(const float (&values)[9]);
// Right-handed rotation by angleDegrees about the axis, row-vector form; a zero axis gives the
// identity block. Row 3 and column 3 stay 0.
Matrix4 axisAngleMatrix(float ax, float ay, float az, float angleDegrees);
// Rows 0-2 of the rotation (all four columns) and row 3 = (offset x, y, z, 1).
Matrix4 composeTransform(const Matrix4& rotation, const Matrix4& offset);
