// A fitted distortion correction: polynomials in the reported position that give the position
// offset and the attitude correction, read from and written to its JSON file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace distortion {

// The highest degree a model may have; 84 terms per polynomial.
constexpr int kMaxDegree = 6;

// Exponents of x, y, z of every monomial of total degree up to `degree`, in a fixed order
// (by total degree, then by falling power of x, then of y).
std::vector<std::array<int, 3>> monomials(int degree);

// Three polynomials (one per output axis) over the same monomials of the normalised position.
struct Polynomial {
    int degree = 0;
    std::vector<std::array<int, 3>> terms;
    std::vector<double> coefficients[3];  // coefficients[axis][term]
};

// Attitude matrix (column-vector form, columns are the sensor's axes) of azimuth about y,
// elevation about x and roll about z, applied roll first; angles in degrees.
std::array<double, 9> attitude(double azimuth, double elevation, double roll);
// Its inverse: azimuth and roll in -180..180, elevation in -90..90.
void anglesOf(const std::array<double, 9>& m, double& azimuth, double& elevation, double& roll);
// The rotation of rotation vector w (radians), row-major.
std::array<double, 9> rotation(const double w[3]);

class CorrectionModel {
public:
    // Positions are clamped to [low, high] before normalising: outside the measured volume the
    // correction of its nearest edge applies instead of an extrapolated polynomial.
    std::array<double, 3> low{}, high{};
    std::array<double, 3> centre{}, scale{1, 1, 1};
    Polynomial position;     // added to the reported position (feet)
    Polynomial orientation;  // rotation vector (radians) applied before the reported attitude
    std::string note;        // free text kept in the file (how it was fitted)

    // Reads a model from JSON text or a file; false with a one-line reason.
    static bool fromJson(const std::string& text, CorrectionModel& out, std::string& error);
    static bool load(const std::string& path, CorrectionModel& out, std::string& error);
    std::string toJson() const;

    // The normalised coordinates of a reported position (clamped into the domain).
    void normalise(const double p[3], double u[3]) const;
    // The three polynomials at normalised coordinates u.
    static void evaluate(const Polynomial& poly, const double u[3], double out[3]);

    // Corrects x, y, z (feet), azimuth, elevation, roll (degrees) in place.
    void correct(double pose[6]) const;
    void correct(float pose[6]) const;
};

}  // namespace distortion
