// fastrak-calibrate: fits a distortion correction to measured pose pairs, checks a model against
// pairs, and turns an emulator log into pairs.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Fit.h"
#include "ParseCommandLine.h"

using calibrate::ErrorReport;
using calibrate::ErrorStats;

namespace {

constexpr double kCentimetresPerFoot = 30.48;

int fail(const std::string& message) {
    std::cerr << "fastrak-calibrate: " << message << "\n";
    return 1;
}

// "1 pair", "2 pairs".
std::string pairCount(size_t n) { return std::to_string(n) + (n == 1 ? " pair" : " pairs"); }

bool readPairsFile(const std::string& path, std::vector<calibrate::Pair>& pairs, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open the file";
        return false;
    }
    if (!calibrate::readPairs(in, pairs, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

void printRow(const char* what, const ErrorStats& s, double factor, const char* unit) {
    std::printf("  %-16s %9.3f %9.3f %9.3f  %s\n", what, s.rms * factor, s.p95 * factor, s.max * factor, unit);
}

void printReport(const ErrorReport& r) {
    std::printf("  %-16s %9s %9s %9s\n", "", "RMS", "95%", "max");
    printRow("position before", r.positionBefore, kCentimetresPerFoot, "cm");
    printRow("position after", r.positionAfter, kCentimetresPerFoot, "cm");
    printRow("angle before", r.angleBefore, 1, "degrees");
    printRow("angle after", r.angleAfter, 1, "degrees");
    if (r.positionAfter.rms > r.positionBefore.rms || r.angleAfter.rms > r.angleBefore.rms)
        std::printf(
            "warning: the correction makes these pairs worse; check that the pairs match and lie in the "
            "measured volume\n");
}

std::string scores(const std::vector<double>& list, double factor) {
    std::ostringstream out;
    for (size_t d = 1; d < list.size(); ++d) {
        if (list[d] < 0) continue;
        out << " " << d << ":" << list[d] * factor;
    }
    return out.str();
}

// The emulator's record pose (tracker axes, inches) in the module's axes and feet.
void toModule(const nlohmann::json& pose, bool cave, double out[6]) {
    const double f = 1.0 / 12.0;
    const double x = pose[0].get<double>(), y = pose[1].get<double>(), z = pose[2].get<double>();
    const double a = pose[3].get<double>(), e = pose[4].get<double>(), r = pose[5].get<double>();
    if (cave) {
        const double values[6] = {y * f, -z * f, -x * f, -a, e, -r};
        std::copy(values, values + 6, out);
    } else {
        const double values[6] = {x * f, y * f, z * f, a, e, r};
        std::copy(values, values + 6, out);
    }
}

int fromLog(const std::string& path, int station, bool cave, const std::string& output) {
    std::ifstream in(path);
    if (!in) return fail(path + ": cannot open the file");
    std::ofstream file;
    if (!output.empty()) {
        file.open(output);
        if (!file) return fail(output + ": cannot write the file");
    }
    std::ostream& out = output.empty() ? std::cout : file;
    out << "# reported x,y,z,azimuth,elevation,roll, true x,y,z,azimuth,elevation,roll (feet, degrees, "
        << (cave ? "CAVE axes" : "tracker axes") << ")\n";
    std::string line, last;
    size_t number = 0, written = 0;
    while (std::getline(in, line)) {
        ++number;
        nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_discarded()) return fail(path + ": line " + std::to_string(number) + " is not JSON");
        if (entry.value("type", "") != "record" || !entry.contains("true_pose")) continue;
        if (entry.value("station", 0) != station) continue;
        double reported[6], truth[6];
        try {
            toModule(entry["pose"], cave, reported);
            toModule(entry["true_pose"], cave, truth);
        } catch (const std::exception&) {
            return fail(path + ": line " + std::to_string(number) + ": a pose is not six numbers");
        }
        char text[256];
        std::snprintf(text, sizeof text, "%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g,%.7g", reported[0],
                      reported[1], reported[2], reported[3], reported[4], reported[5], truth[0], truth[1], truth[2],
                      truth[3], truth[4], truth[5]);
        // A receiver held still gives the same pair record after record: keep one.
        if (last == text) continue;
        last = text;
        out << text << "\n";
        ++written;
    }
    if (written == 0) return fail(path + ": no records with a true pose (was the emulator run with --distortion?)");
    std::cerr << "fastrak-calibrate: " << pairCount(written) << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "fastrak-calibrate: fits a correction for magnetic field distortion to pairs of (reported, true) poses\n"
        "and writes it as a model file for the fastrak_distortion calibration library.\n"
        "Pairs are CSV lines of twelve numbers: the reported x,y,z,azimuth,elevation,roll and the true ones,\n"
        "in feet and degrees, in the module's axes before its transmitter and sensor transforms."};
    app.require_subcommand(1);

    calibrate::FitOptions options;
    std::string pairsPath, modelPath;
    CLI::App* fitCommand = app.add_subcommand("fit", "fit a model; report its error on held-out pairs");
    fitCommand->add_option("pairs", pairsPath, "CSV file of pairs")->required();
    fitCommand->add_option("-o,--output", modelPath, "model file to write (JSON)")->required();
    fitCommand->add_option("--degree", options.degree, "polynomial degree 1-6 (default: chosen by cross-validation)")
        ->check(CLI::Range(1, distortion::kMaxDegree));
    fitCommand->add_option("--max-degree", options.maxDegree, "highest degree cross-validation tries")
        ->check(CLI::Range(1, distortion::kMaxDegree))
        ->capture_default_str();
    fitCommand->add_option("--holdout", options.holdout, "share of the pairs kept out of the fit to measure it")
        ->capture_default_str();
    fitCommand->add_option("--seed", options.seed, "which pairs are held out")->capture_default_str();

    std::string checkModel, checkPairs;
    CLI::App* checkCommand = app.add_subcommand("check", "report a model's error on pairs it was not fitted to");
    checkCommand->add_option("model", checkModel, "model file")->required();
    checkCommand->add_option("pairs", checkPairs, "CSV file of pairs")->required();

    std::string logPath, logOutput;
    int station = 1;
    bool trackerAxes = false;
    CLI::App* logCommand = app.add_subcommand("from-log", "pairs from a fastrak-sim --distortion --log file");
    logCommand->add_option("log", logPath, "the emulator's JSON-lines log")->required();
    logCommand->add_option("-o,--output", logOutput, "CSV file to write (default: standard output)");
    logCommand->add_option("--station", station, "the station whose records become pairs")
        ->check(CLI::Range(1, 4))
        ->capture_default_str();
    logCommand->add_flag("--tracker-axes", trackerAxes, "the module runs with the CAVE option off");

    app.set_version_flag("--version", std::string("fastrak-calibrate ") + FASTRAK_VERSION);
    if (const auto status = fastraktools::parseCommandLine(app, argc, argv, "fastrak-calibrate")) return *status;

    if (*logCommand) return fromLog(logPath, station, !trackerAxes, logOutput);

    std::string error;
    std::vector<calibrate::Pair> pairs;
    if (*checkCommand) {
        distortion::CorrectionModel model;
        if (!distortion::CorrectionModel::load(checkModel, model, error)) return fail(checkModel + ": " + error);
        if (!readPairsFile(checkPairs, pairs, error)) return fail(error);
        if (pairs.empty()) return fail(checkPairs + ": no pairs");
        std::printf("%s\n", pairCount(pairs.size()).c_str());
        printReport(calibrate::measure(model, pairs));
        return 0;
    }

    if (!readPairsFile(pairsPath, pairs, error)) return fail(error);
    calibrate::FitResult result;
    if (!calibrate::fit(pairs, options, result, error)) return fail(pairsPath + ": " + error);
    std::ofstream out(modelPath);
    if (!(out << result.model.toJson())) return fail(modelPath + ": cannot write the file");
    std::printf("%s: %zu fitted, %zu held out\n", pairCount(pairs.size()).c_str(), result.training, result.heldOut);
    std::printf("degree: position %d, orientation %d%s\n", result.model.position.degree,
                result.model.orientation.degree, result.chosenByCrossValidation ? " (cross-validated)" : "");
    if (result.chosenByCrossValidation) {
        std::printf("cross-validated RMS by degree: position (cm)%s; angle (degrees)%s\n",
                    scores(result.positionScores, kCentimetresPerFoot).c_str(),
                    scores(result.angleScores, 57.29577951308232).c_str());
    }
    std::printf("error on the held-out pairs:\n");
    printReport(result.heldOutReport);
    std::printf("model written to %s\n", modelPath.c_str());
    return 0;
}
