// Vectors, attitude matrices and the alignment frame the emulated tracker reports in.
#pragma once

#include <array>

namespace fastraksim {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

// Row-major 3x3 matrix.
using Mat3 = std::array<std::array<double, 3>, 3>;

Vec3 operator+(const Vec3& a, const Vec3& b);
Vec3 operator-(const Vec3& a, const Vec3& b);
Vec3 operator*(double s, const Vec3& a);
double dot(const Vec3& a, const Vec3& b);
Vec3 cross(const Vec3& a, const Vec3& b);
double norm(const Vec3& a);

Mat3 identity();
Mat3 multiply(const Mat3& a, const Mat3& b);
Mat3 transpose(const Mat3& a);
Vec3 multiply(const Mat3& m, const Vec3& v);

// Attitude R = Rz(azimuth) * Ry(elevation) * Rx(roll); angles in degrees. Columns are the
// receiver's axes in the transmitter frame.
Mat3 attitude(double azimuthDeg, double elevationDeg, double rollDeg);

// Inverse of attitude(): azimuth and roll in -180..180, elevation in -90..90.
void anglesOf(const Mat3& r, double& azimuthDeg, double& elevationDeg, double& rollDeg);

// A reporting frame: reported position = basisᵀ (p - origin), reported attitude = basisᵀ R.
struct Frame {
    Vec3 origin;
    Mat3 basis = identity();  // columns x̂ ŷ ẑ of the frame, in transmitter coordinates
    bool isIdentity = true;
};

// The frame given by an origin, a point on its +X axis and a point on its +Y side, all expressed
// in the frame `base`; the result is expressed in transmitter coordinates. False when the points
// do not span a plane.
bool composeAlignment(const Frame& base, const Vec3& o, const Vec3& xPoint, const Vec3& yPoint, Frame& out);

}  // namespace fastraksim
