// Fitting a distortion correction to pairs of reported and true poses, and measuring its error.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "CorrectionModel.h"

namespace calibrate {

// One measurement: the pose the module reported and the pose the sensor truly had, both in feet and
// degrees in the module's axes (x, y, z, azimuth, elevation, roll).
struct Pair {
    double reported[6];
    double truth[6];
};

// CSV lines of twelve numbers, the reported pose then the true one. Blank lines, lines starting
// with '#' and a first line that is not numeric (a header) are skipped. False with "line N: ...".
bool readPairs(std::istream& in, std::vector<Pair>& out, std::string& error);

struct ErrorStats {
    double rms = 0, p95 = 0, max = 0;
};

// Position errors in feet, angle errors in degrees (the angle of the rotation between attitudes).
struct ErrorReport {
    size_t count = 0;
    ErrorStats positionBefore, positionAfter, angleBefore, angleAfter;
};

// The errors of the reported poses and of the corrected ones against the truth.
ErrorReport measure(const distortion::CorrectionModel& model, const std::vector<Pair>& pairs);

struct FitOptions {
    int degree = 0;     // both polynomials; 0: each chosen by cross-validation
    int maxDegree = 5;  // the highest degree cross-validation tries
    int folds = 5;
    double holdout = 0.25;  // share of the pairs kept out of the fit to measure it
    uint64_t seed = 1;      // which pairs are held out
};

struct FitResult {
    distortion::CorrectionModel model;  // fitted on the training pairs only
    size_t training = 0, heldOut = 0;
    // Cross-validated RMS per degree tried (index = degree; negative: not tried).
    std::vector<double> positionScores, angleScores;
    bool chosenByCrossValidation = false;
    ErrorReport heldOutReport;
};

// False with a one-line reason for input that cannot give a trustworthy model: too few pairs,
// values that are not finite, positions on a plane or a line, a degree out of range.
bool fit(const std::vector<Pair>& pairs, const FitOptions& options, FitResult& result, std::string& error);

// The number of coefficients of one polynomial of this degree.
size_t termCount(int degree);

}  // namespace calibrate
