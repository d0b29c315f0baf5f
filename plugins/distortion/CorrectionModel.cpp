// The correction model: its JSON form, with every field checked on reading, and its evaluation.
#include "CorrectionModel.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace distortion {

namespace {

const char* const kFormat = "fastrak-distortion-correction";
constexpr double kDegreesPerRadian = 57.29577951308232;
const char* const kAxes[3] = {"x", "y", "z"};

using nlohmann::json;

// Thrown by the readers below with the reason; caught in fromJson.
struct Bad {
    std::string reason;
};

const json& member(const json& object, const char* name, const std::string& where) {
    const auto it = object.find(name);
    if (it == object.end()) throw Bad{where + "\"" + name + "\" is missing"};
    return *it;
}

double finite(const json& value, const std::string& what) {
    if (!value.is_number()) throw Bad{what + " is not a number"};
    const double v = value.get<double>();
    if (!std::isfinite(v)) throw Bad{what + " is not finite"};
    return v;
}

std::array<double, 3> triple(const json& object, const char* name, const std::string& where) {
    const json& value = member(object, name, where);
    const std::string what = where + "\"" + name + "\"";
    if (!value.is_array() || value.size() != 3) throw Bad{what + " must be an array of three numbers"};
    return {finite(value[0], what), finite(value[1], what), finite(value[2], what)};
}

Polynomial polynomial(const json& object, const char* name) {
    const json& value = member(object, name, "");
    const std::string where = std::string(name) + ": ";
    if (!value.is_object()) throw Bad{where + "must be an object"};
    Polynomial poly;
    const json& degree = member(value, "degree", where);
    if (!degree.is_number_integer() || degree.get<int>() < 0 || degree.get<int>() > kMaxDegree)
        throw Bad{where + "\"degree\" must be a whole number from 0 to " + std::to_string(kMaxDegree)};
    poly.degree = degree.get<int>();
    const json& terms = member(value, "terms", where);
    if (!terms.is_array() || terms.empty()) throw Bad{where + "\"terms\" must be a non-empty array"};
    for (const json& term : terms) {
        if (!term.is_array() || term.size() != 3) throw Bad{where + "every term must be three exponents"};
        std::array<int, 3> e{};
        int sum = 0;
        for (int i = 0; i < 3; ++i) {
            if (!term[i].is_number_integer() || term[i].get<int>() < 0)
                throw Bad{where + "exponents must be whole numbers >= 0"};
            e[i] = term[i].get<int>();
            sum += e[i];
        }
        if (sum > poly.degree) throw Bad{where + "a term's exponents add up to more than the degree"};
        poly.terms.push_back(e);
    }
    for (int axis = 0; axis < 3; ++axis) {
        const json& list = member(value, kAxes[axis], where);
        if (!list.is_array() || list.size() != poly.terms.size())
            throw Bad{where + "\"" + kAxes[axis] + "\" must hold one coefficient per term (" +
                      std::to_string(poly.terms.size()) + ")"};
        for (const json& c : list) poly.coefficients[axis].push_back(finite(c, where + "a coefficient"));
    }
    return poly;
}

json toJsonPolynomial(const Polynomial& poly) {
    json terms = json::array();
    for (const auto& t : poly.terms) terms.push_back({t[0], t[1], t[2]});
    json out = {{"degree", poly.degree}, {"terms", terms}};
    for (int axis = 0; axis < 3; ++axis) out[kAxes[axis]] = poly.coefficients[axis];
    return out;
}

}  // namespace

std::vector<std::array<int, 3>> monomials(int degree) {
    std::vector<std::array<int, 3>> out;
    for (int total = 0; total <= degree; ++total) {
        for (int i = total; i >= 0; --i) {
            for (int j = total - i; j >= 0; --j) out.push_back({i, j, total - i - j});
        }
    }
    return out;
}

std::array<double, 9> attitude(double azimuth, double elevation, double roll) {
    const double a = azimuth / kDegreesPerRadian, e = elevation / kDegreesPerRadian, r = roll / kDegreesPerRadian;
    const double sA = std::sin(a), cA = std::cos(a), sE = std::sin(e), cE = std::cos(e), sR = std::sin(r),
                 cR = std::cos(r);
    return {cA * cR + sA * sE * sR, sA * sE * cR - cA * sR, sA * cE, cE * sR, cE * cR, -sE,
            cA * sE * sR - sA * cR, cA * sE * cR + sA * sR, cA * cE};
}

void anglesOf(const std::array<double, 9>& m, double& azimuth, double& elevation, double& roll) {
    azimuth = std::atan2(m[2], m[8]) * kDegreesPerRadian;
    elevation = std::atan2(-m[5], std::sqrt(m[2] * m[2] + m[8] * m[8])) * kDegreesPerRadian;
    roll = std::atan2(m[3], m[4]) * kDegreesPerRadian;
}

std::array<double, 9> rotation(const double w[3]) {
    const double angle = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    if (angle < 1e-15) return {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double x = w[0] / angle, y = w[1] / angle, z = w[2] / angle;
    const double s = std::sin(angle), c = std::cos(angle), t = 1 - c;
    return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y, t * x * y + s * z, t * y * y + c,
            t * y * z - s * x, t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

bool CorrectionModel::fromJson(const std::string& text, CorrectionModel& out, std::string& error) {
    try {
        const json doc = json::parse(text);
        if (!doc.is_object()) throw Bad{"not a JSON object"};
        const json& format = member(doc, "format", "");
        if (!format.is_string() || format.get<std::string>() != kFormat)
            throw Bad{std::string("\"format\" is not \"") + kFormat + "\""};
        const json& version = member(doc, "version", "");
        if (!version.is_number_integer() || version.get<int>() != 1) throw Bad{"\"version\" is not 1"};
        CorrectionModel model;
        const json& domain = member(doc, "domain", "");
        model.low = triple(domain, "low", "domain: ");
        model.high = triple(domain, "high", "domain: ");
        const json& normalise = member(doc, "normalise", "");
        model.centre = triple(normalise, "centre", "normalise: ");
        model.scale = triple(normalise, "scale", "normalise: ");
        for (int i = 0; i < 3; ++i) {
            if (model.low[i] > model.high[i]) throw Bad{"domain: \"low\" is above \"high\""};
            if (!(model.scale[i] > 0)) throw Bad{"normalise: \"scale\" must be positive"};
        }
        model.position = polynomial(doc, "position");
        model.orientation = polynomial(doc, "orientation");
        if (doc.contains("note") && doc["note"].is_string()) model.note = doc["note"].get<std::string>();
        out = std::move(model);
        return true;
    } catch (const Bad& bad) {
        error = bad.reason;
    } catch (const std::exception& e) {
        // The parser's message already says where the text went wrong.
        error = e.what();
    }
    return false;
}

bool CorrectionModel::load(const std::string& path, CorrectionModel& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the file";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return fromJson(text.str(), out, error);
}

std::string CorrectionModel::toJson() const {
    json doc = {
        {"format", kFormat},
        {"version", 1},
        {"units", "feet and degrees, in the module's axes before the transmitter and sensor transforms"},
        {"domain", {{"low", low}, {"high", high}}},
        {"normalise", {{"centre", centre}, {"scale", scale}}},
        {"position", toJsonPolynomial(position)},
        {"orientation", toJsonPolynomial(orientation)},
    };
    if (!note.empty()) doc["note"] = note;
    return doc.dump(2) + "\n";
}

void CorrectionModel::normalise(const double p[3], double u[3]) const {
    for (int i = 0; i < 3; ++i) u[i] = (std::min(std::max(p[i], low[i]), high[i]) - centre[i]) / scale[i];
}

void CorrectionModel::evaluate(const Polynomial& poly, const double u[3], double out[3]) {
    double powers[3][kMaxDegree + 1];
    for (int axis = 0; axis < 3; ++axis) {
        powers[axis][0] = 1;
        for (int k = 1; k <= poly.degree; ++k) powers[axis][k] = powers[axis][k - 1] * u[axis];
    }
    double sum[3] = {0, 0, 0};
    const size_t count = poly.terms.size();
    for (size_t t = 0; t < count; ++t) {
        const auto& e = poly.terms[t];
        const double m = powers[0][e[0]] * powers[1][e[1]] * powers[2][e[2]];
        sum[0] += poly.coefficients[0][t] * m;
        sum[1] += poly.coefficients[1][t] * m;
        sum[2] += poly.coefficients[2][t] * m;
    }
    out[0] = sum[0], out[1] = sum[1], out[2] = sum[2];
}

void CorrectionModel::correct(double pose[6]) const {
    double u[3], offset[3], w[3];
    normalise(pose, u);
    evaluate(position, u, offset);
    evaluate(orientation, u, w);
    const std::array<double, 9> m = attitude(pose[3], pose[4], pose[5]);
    const std::array<double, 9> c = rotation(w);
    std::array<double, 9> corrected{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            corrected[i * 3 + j] = c[i * 3] * m[j] + c[i * 3 + 1] * m[3 + j] + c[i * 3 + 2] * m[6 + j];
    }
    for (int i = 0; i < 3; ++i) pose[i] += offset[i];
    anglesOf(corrected, pose[3], pose[4], pose[5]);
}

void CorrectionModel::correct(float pose[6]) const {
    double p[6];
    for (int i = 0; i < 6; ++i) p[i] = pose[i];
    correct(p);
    for (int i = 0; i < 6; ++i) pose[i] = static_cast<float>(p[i]);
}

}  // namespace distortion
