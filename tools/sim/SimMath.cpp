// Vectors, attitude matrices and the alignment frame the emulated tracker reports in.
#include "SimMath.h"

#include <cmath>

namespace fastraksim {

namespace {
constexpr double kDegree = 3.14159265358979323846 / 180.0;
}

Vec3 operator+(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(double s, const Vec3& a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

Mat3 identity() { return Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Mat3 multiply(const Mat3& a, const Mat3& b) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

Mat3 transpose(const Mat3& a) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[j][i];
    return r;
}

Vec3 multiply(const Mat3& m, const Vec3& v) {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z, m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

Mat3 attitude(double azimuthDeg, double elevationDeg, double rollDeg) {
    const double cA = std::cos(azimuthDeg * kDegree), sA = std::sin(azimuthDeg * kDegree);
    const double cE = std::cos(elevationDeg * kDegree), sE = std::sin(elevationDeg * kDegree);
    const double cR = std::cos(rollDeg * kDegree), sR = std::sin(rollDeg * kDegree);
    // Columns: receiver x, y, z axes.
    return Mat3{{{cA * cE, cA * sE * sR - sA * cR, cA * sE * cR + sA * sR},
                 {sA * cE, cA * cR + sA * sE * sR, sA * sE * cR - cA * sR},
                 {-sE, cE * sR, cE * cR}}};
}

void anglesOf(const Mat3& r, double& azimuthDeg, double& elevationDeg, double& rollDeg) {
    const double sE = std::fmax(-1.0, std::fmin(1.0, -r[2][0]));
    elevationDeg = std::asin(sE) / kDegree;
    if (std::fabs(sE) > 1.0 - 1e-12) {
        // Gimbal lock: only azimuth minus (or plus) roll is defined; report it all as azimuth.
        rollDeg = 0.0;
        azimuthDeg = std::atan2(-r[0][1], r[1][1]) / kDegree;
    } else {
        azimuthDeg = std::atan2(r[1][0], r[0][0]) / kDegree;
        rollDeg = std::atan2(r[2][1], r[2][2]) / kDegree;
    }
}

bool composeAlignment(const Frame& base, const Vec3& o, const Vec3& xPoint, const Vec3& yPoint, Frame& out) {
    const Vec3 xAxis = xPoint - o;
    const double xLength = norm(xAxis);
    if (xLength < 1e-9) return false;
    const Vec3 xHat = (1.0 / xLength) * xAxis;
    const Vec3 zRaw = cross(xHat, yPoint - o);
    const double zLength = norm(zRaw);
    if (zLength < 1e-9) return false;
    const Vec3 zHat = (1.0 / zLength) * zRaw;
    const Vec3 yHat = cross(zHat, xHat);
    const Mat3 local{{{xHat.x, yHat.x, zHat.x}, {xHat.y, yHat.y, zHat.y}, {xHat.z, yHat.z, zHat.z}}};
    // The points are given in the current reporting frame, so the new frame nests inside it.
    out.basis = multiply(base.basis, local);
    out.origin = base.origin + multiply(base.basis, o);
    out.isIdentity = false;
    return true;
}

}  // namespace fastraksim
