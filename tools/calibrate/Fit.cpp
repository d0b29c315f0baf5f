// Least-squares fits of the position offset and the attitude correction, with the degree chosen
// by cross-validation and the result measured on pairs kept out of the fit.
#include "Fit.h"

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>

namespace calibrate {

namespace {

using distortion::CorrectionModel;
using distortion::Polynomial;
using Vec = std::array<double, 3>;

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

Eigen::Matrix3d matrixOf(const double pose[6]) {
    const std::array<double, 9> m = distortion::attitude(pose[3], pose[4], pose[5]);
    Eigen::Matrix3d out;
    out << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
    return out;
}

// The angle in degrees of the rotation that takes one attitude to the other.
double angleBetween(const double a[6], const double b[6]) {
    const Eigen::AngleAxisd turn(matrixOf(a).transpose() * matrixOf(b));
    return std::fabs(turn.angle()) * 57.29577951308232;
}

double distance(const double a[6], const double b[6]) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

ErrorStats statsOf(std::vector<double> values) {
    ErrorStats s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values) sum += v * v;
    s.rms = std::sqrt(sum / values.size());
    // Nearest rank: the smallest value that at least 95% of the errors do not exceed.
    const size_t rank = static_cast<size_t>(std::ceil(0.95 * values.size()));
    s.p95 = values[std::max<size_t>(rank, 1) - 1];
    s.max = values.back();
    return s;
}

// What the fit aims at for one pair: the position offset and the attitude correction as a
// rotation vector (radians), both in the module's axes.
struct Target {
    Vec offset, turn;
};

Target targetOf(const Pair& p) {
    Target t;
    for (int i = 0; i < 3; ++i) t.offset[i] = p.truth[i] - p.reported[i];
    const Eigen::AngleAxisd turn(matrixOf(p.truth) * matrixOf(p.reported).transpose());
    const Eigen::Vector3d w = turn.angle() * turn.axis();
    t.turn = {w.x(), w.y(), w.z()};
    return t;
}

// Least squares over the monomials of the normalised positions `u` of the pairs in `rows`.
bool solve(const std::vector<Vec>& u, const std::vector<Vec>& y, const std::vector<size_t>& rows, int degree,
           Polynomial& out) {
    const auto terms = distortion::monomials(degree);
    Eigen::MatrixXd a(rows.size(), terms.size());
    Eigen::MatrixXd b(rows.size(), 3);
    for (size_t r = 0; r < rows.size(); ++r) {
        const Vec& p = u[rows[r]];
        for (size_t t = 0; t < terms.size(); ++t)
            a(r, t) = std::pow(p[0], terms[t][0]) * std::pow(p[1], terms[t][1]) * std::pow(p[2], terms[t][2]);
        for (int k = 0; k < 3; ++k) b(r, k) = y[rows[r]][k];
    }
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(a);
    // The columns are monomials of values in -1..1: a pivot this small relative to the largest
    // means the points cannot tell two terms apart.
    qr.setThreshold(1e-9);
    if (qr.rank() < static_cast<Eigen::Index>(terms.size())) return false;
    const Eigen::MatrixXd x = qr.solve(b);
    out.degree = degree;
    out.terms = terms;
    for (int k = 0; k < 3; ++k) {
        out.coefficients[k].resize(terms.size());
        for (size_t t = 0; t < terms.size(); ++t) out.coefficients[k][t] = x(t, k);
    }
    return true;
}

// Cross-validated RMS of the residual norm for one degree; negative when a fold cannot be fitted.
double crossValidate(const std::vector<Vec>& u, const std::vector<Vec>& y, const std::vector<size_t>& rows, int degree,
                     int folds) {
    double sum = 0;
    size_t count = 0;
    for (int f = 0; f < folds; ++f) {
        std::vector<size_t> train, test;
        for (size_t i = 0; i < rows.size(); ++i) (static_cast<int>(i % folds) == f ? test : train).push_back(rows[i]);
        Polynomial poly;
        if (train.size() < 2 * termCount(degree) || !solve(u, y, train, degree, poly)) return -1;
        for (size_t row : test) {
            double predicted[3];
            CorrectionModel::evaluate(poly, u[row].data(), predicted);
            for (int k = 0; k < 3; ++k) sum += (predicted[k] - y[row][k]) * (predicted[k] - y[row][k]);
            ++count;
        }
    }
    return std::sqrt(sum / count);
}

// The degree with the lowest cross-validated error, or the one asked for.
bool chooseAndSolve(const std::vector<Vec>& u, const std::vector<Vec>& y, const std::vector<size_t>& rows,
                    const FitOptions& options, std::vector<double>& scores, Polynomial& out) {
    int degree = options.degree;
    if (degree == 0) {
        double best = -1;
        scores.assign(options.maxDegree + 1, -1.0);
        for (int d = 1; d <= options.maxDegree; ++d) {
            scores[d] = crossValidate(u, y, rows, d, options.folds);
            if (scores[d] >= 0 && (best < 0 || scores[d] < best)) best = scores[d], degree = d;
        }
        if (degree == 0) return false;
    }
    return solve(u, y, rows, degree, out);
}

}  // namespace

size_t termCount(int degree) { return static_cast<size_t>((degree + 1) * (degree + 2) * (degree + 3) / 6); }

bool readPairs(std::istream& in, std::vector<Pair>& out, std::string& error) {
    std::string line;
    size_t number = 0;
    bool firstContent = true;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream cells(text);
        for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(trim(cell));
        if (!text.empty() && text.back() == ',') fields.push_back("");
        double values[12];
        bool numeric = fields.size() == 12;
        std::string problem;
        for (size_t i = 0; i < fields.size() && i < 12 && problem.empty(); ++i) {
            char* end = nullptr;
            values[i] = std::strtod(fields[i].c_str(), &end);
            if (fields[i].empty() || *end != '\0') {
                numeric = false;
                problem = "column " + std::to_string(i + 1) + " ('" + fields[i] + "') is not a number";
            } else if (!std::isfinite(values[i])) {
                problem = "column " + std::to_string(i + 1) + " is not a finite number";
            }
        }
        if (firstContent && !numeric && out.empty() && problem.find("finite") == std::string::npos) {
            firstContent = false;  // a header
            continue;
        }
        firstContent = false;
        if (problem.empty() && fields.size() != 12)
            problem = "expected 12 numbers (reported x y z az el roll, true x y z az el roll), found " +
                      std::to_string(fields.size()) + " fields";
        if (!problem.empty()) {
            error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        Pair p;
        std::copy(values, values + 6, p.reported);
        std::copy(values + 6, values + 12, p.truth);
        out.push_back(p);
    }
    return true;
}

ErrorReport measure(const CorrectionModel& model, const std::vector<Pair>& pairs) {
    std::vector<double> pb, pa, ab, aa;
    for (const Pair& p : pairs) {
        double corrected[6];
        std::copy(p.reported, p.reported + 6, corrected);
        model.correct(corrected);
        pb.push_back(distance(p.reported, p.truth));
        pa.push_back(distance(corrected, p.truth));
        ab.push_back(angleBetween(p.reported, p.truth));
        aa.push_back(angleBetween(corrected, p.truth));
    }
    ErrorReport r;
    r.count = pairs.size();
    r.positionBefore = statsOf(pb);
    r.positionAfter = statsOf(pa);
    r.angleBefore = statsOf(ab);
    r.angleAfter = statsOf(aa);
    return r;
}

bool fit(const std::vector<Pair>& pairs, const FitOptions& options, FitResult& result, std::string& error) {
    if (options.degree < 0 || options.degree > distortion::kMaxDegree || options.maxDegree < 1 ||
        options.maxDegree > distortion::kMaxDegree) {
        error = "the degree must be from 1 to " + std::to_string(distortion::kMaxDegree);
        return false;
    }
    if (!(options.holdout > 0 && options.holdout < 0.9) || options.folds < 2) {
        error = "the held-out share must be above 0 and below 0.9, and there must be at least 2 folds";
        return false;
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        for (int k = 0; k < 6; ++k) {
            if (!std::isfinite(pairs[i].reported[k]) || !std::isfinite(pairs[i].truth[k])) {
                error = "pair " + std::to_string(i + 1) + " holds a value that is not a finite number";
                return false;
            }
        }
    }
    const size_t heldOut = std::max<size_t>(1, static_cast<size_t>(std::lround(pairs.size() * options.holdout)));
    const size_t training = pairs.size() > heldOut ? pairs.size() - heldOut : 0;
    const int smallest = options.degree == 0 ? 1 : options.degree;
    // Twice as many pairs as coefficients, and never fewer than ten.
    const size_t needed = std::max<size_t>(10, 2 * termCount(smallest));
    if (training < needed) {
        error = "too few pairs: " + std::to_string(pairs.size()) + " given, " + std::to_string(heldOut) +
                " held out leaves " + std::to_string(training) + " to fit, and a degree-" + std::to_string(smallest) +
                " correction needs at least " + std::to_string(needed);
        return false;
    }

    // Spread of the reported positions: a plane or a line cannot determine a correction in 3-D.
    Eigen::MatrixXd positions(pairs.size(), 3);
    for (size_t i = 0; i < pairs.size(); ++i)
        positions.row(i) << pairs[i].reported[0], pairs[i].reported[1], pairs[i].reported[2];
    const Eigen::MatrixXd centred = positions.rowwise() - positions.colwise().mean();
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> spread(centred.transpose() * centred / pairs.size());
    const Eigen::Vector3d spreads = spread.eigenvalues().cwiseMax(0).cwiseSqrt();
    if (!(spreads(2) > 0) || spreads(0) < 1e-3 * spreads(2)) {
        std::ostringstream text;
        text << "the reported positions lie on a " << (spreads(1) < 1e-3 * spreads(2) ? "line" : "plane") << " (spread "
             << spreads(0) << " ft across it): measure points spread in all three directions";
        error = text.str();
        return false;
    }

    // Which pairs are held out: a seeded shuffle, the same on every platform.
    std::vector<size_t> order(pairs.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::mt19937_64 random(options.seed);
    for (size_t i = order.size() - 1; i > 0; --i) std::swap(order[i], order[random() % (i + 1)]);
    std::vector<size_t> rows(order.begin() + heldOut, order.end());
    std::vector<Pair> held;
    for (size_t i = 0; i < heldOut; ++i) held.push_back(pairs[order[i]]);

    CorrectionModel model;
    for (int k = 0; k < 3; ++k) {
        model.low[k] = model.high[k] = pairs[rows[0]].reported[k];
        for (size_t row : rows) {
            model.low[k] = std::min(model.low[k], pairs[row].reported[k]);
            model.high[k] = std::max(model.high[k], pairs[row].reported[k]);
        }
        model.centre[k] = (model.low[k] + model.high[k]) / 2;
        model.scale[k] = std::max((model.high[k] - model.low[k]) / 2, 1e-6);
    }
    std::vector<Vec> u(pairs.size()), offsets(pairs.size()), turns(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        model.normalise(pairs[i].reported, u[i].data());
        const Target t = targetOf(pairs[i]);
        offsets[i] = t.offset;
        turns[i] = t.turn;
    }
    if (!chooseAndSolve(u, offsets, rows, options, result.positionScores, model.position) ||
        !chooseAndSolve(u, turns, rows, options, result.angleScores, model.orientation)) {
        error =
            "the pairs cannot determine a correction of this degree (points too few or too regular for it): "
            "lower the degree or add points";
        return false;
    }
    std::ostringstream note;
    note << "fitted by fastrak-calibrate on " << rows.size() << " pairs, " << heldOut << " held out";
    model.note = note.str();
    result.model = model;
    result.training = rows.size();
    result.heldOut = heldOut;
    result.chosenByCrossValidation = options.degree == 0;
    result.heldOutReport = measure(model, held);
    return true;
}

}  // namespace calibrate
