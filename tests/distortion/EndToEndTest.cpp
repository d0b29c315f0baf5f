// End to end: the emulator with its room distortion, the module loaded as a host loads it and read
// by the test acting as the host. A grid captured through the module is fitted; a second run with
// fastrak_distortion on the calibration line publishes poses within the stated accuracy of the truth.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DeviceSession.h"
#include "FastrakSim.h"
#include "RoomSupport.h"
#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/ModuleLoader.h"

using namespace std::chrono_literals;
using roomtest::Pose6;
using roomtest::toModule;

namespace {

// A receiver visiting the room grid, `dwell` seconds at each point, over and over.
class Grid : public fastraksim::Motion {
public:
    explicit Grid(double dwell) : dwell_(dwell) {}
    fastraksim::Sample at(double t) const override {
        fastraksim::Sample s;
        s.pose = roomtest::gridPoint(static_cast<int>(static_cast<long>(t / dwell_) % 125));
        return s;
    }

private:
    double dwell_;
};

// A path through the same volume that never rests on the grid: each coordinate swings at its own
// rate.
class Sweep : public fastraksim::Motion {
public:
    fastraksim::Sample at(double t) const override {
        fastraksim::Sample s;
        s.pose.x = 24 * std::sin(1.3 * t);
        s.pose.y = -34 + 18 * std::sin(2.1 * t + 1);
        s.pose.z = 20 * std::sin(2.9 * t + 2);
        s.pose.azimuth = 150 * std::sin(0.7 * t);
        s.pose.elevation = 60 * std::sin(1.1 * t);
        s.pose.roll = 150 * std::sin(0.9 * t + 0.5);
        return s;
    }
};

struct Capture {
    std::vector<Pose6> published;            // station 1's poses in storage, in order
    std::vector<fastraksim::LogEntry> sent;  // the emulator's records
};

// One run of `seconds` with the room distortion, reading as a host does; `calibration` holds the
// calibration line's words (none: no correction).
Capture runModule(fastraksim::MotionPtr motion, const std::vector<std::string>& calibration, double seconds) {
    Capture run;
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = 115200;
    options.receivers = {true, false, false, false};
    std::string error;
    EXPECT_TRUE(fastraksim::parseDistortion("room", options.distortion, error)) << error;
    fastraksim::FastrakSim sim(options);
    sim.setMotion(1, motion);
    if (!sim.start(error)) {
        ADD_FAILURE() << error;
        return run;
    }
    testsupport::ModuleLoader module(FASTRAK_MODULE_PATH);
    EXPECT_TRUE(module.loaded()) << module.error();
    testsupport::ConfigBuilder config("room");
    config.add(1, "port", {sim.slavePath()});
    config.add(2, "baud", {"115200"});
    config.add(3, "sensors", {"1", "0", "0", "0"});
    if (!calibration.empty()) config.add(4, "calibration", {calibration.at(0), calibration.at(1)});
    fastrakhost::DeviceSession session(module, config.get());
    testsupport::CaptureStdout summary;
    const bool started = session.setUp() == 1;
    const std::string text = summary.finish();
    EXPECT_TRUE(started) << text;
    EXPECT_EQ(text.find("fastrak_distortion:"), std::string::npos) << text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (started && std::chrono::steady_clock::now() < until) {
        UpdateMask mask{};
        if (session.receive(mask) != 1) {
            ADD_FAILURE() << "recvData failed";
            break;
        }
        session.collect(
            mask,
            [&](uint32_t n, const TrackerRecord& r) {
                if (n == 1) run.published.push_back(roomtest::published(r));
            },
            [](uint32_t, const ControllerRecord&) {});
    }
    EXPECT_TRUE(session.release());
    sim.stop();
    for (const auto& e : sim.entries(fastraksim::LogEntry::Kind::Record)) {
        if (e.bytes.size() == 29 && e.hasTruePose) run.sent.push_back(e);
    }
    return run;
}

bool near(const Pose6& a, const Pose6& b, double positionTolerance, double angleTolerance) {
    for (int i = 0; i < 6; ++i) {
        double d = std::fabs(a[i] - b[i]);
        if (i >= 3) d = std::fmin(d, 360 - d);
        if (d > (i < 3 ? positionTolerance : angleTolerance)) return false;
    }
    return true;
}

// Pairs each published pose with the record it came from: the first record, in order, that the
// module's output of its reported pose (passed through `model` when there is one) matches.
// `raw` gets the same records' uncorrected poses against the truth.
std::vector<calibrate::Pair> pairsOf(const Capture& run, const distortion::CorrectionModel* model,
                                     std::vector<calibrate::Pair>* raw = nullptr) {
    std::vector<calibrate::Pair> pairs;
    size_t next = 0;
    for (const Pose6& p : run.published) {
        for (; next < run.sent.size(); ++next) {
            Pose6 expected = toModule(run.sent[next].pose);
            if (model != nullptr) model->correct(expected.data());
            if (near(expected, p, 1e-4, 2e-3)) break;
        }
        if (next == run.sent.size()) {
            ADD_FAILURE() << "published pose " << pairs.size() << " is no record the emulator sent next";
            break;
        }
        const Pose6 truth = toModule(run.sent[next].truePose);
        pairs.push_back(roomtest::pairOf(p, truth));
        if (raw != nullptr) raw->push_back(roomtest::pairOf(toModule(run.sent[next].pose), truth));
        ++next;
    }
    return pairs;
}

TEST(DistortionEndToEnd, GridFittedThroughTheModuleCorrectsItsPosesToTheStatedAccuracy) {
    // 1. The grid, captured through the module without correction.
    const Capture grid = runModule(std::make_shared<Grid>(0.03), {}, 4.5);
    const std::vector<calibrate::Pair> gridPairs = pairsOf(grid, nullptr);
    ASSERT_GE(gridPairs.size(), 120u);

    // 2. The fit, as fastrak-calibrate does it, written where the library reads it.
    calibrate::FitResult fitted;
    std::string error;
    ASSERT_TRUE(calibrate::fit(gridPairs, calibrate::FitOptions{}, fitted, error)) << error;
    std::filesystem::create_directories(DISTORTION_SCRATCH_DIR);
    const std::string modelPath = std::string(DISTORTION_SCRATCH_DIR) + "/room.json";
    std::ofstream(modelPath) << fitted.model.toJson();

    // 3. A new path through the room, with the library on the calibration line.
    const Capture corrected = runModule(std::make_shared<Sweep>(), {DISTORTION_PLUGIN_PATH, modelPath}, 3.0);
    std::vector<calibrate::Pair> raw;
    const std::vector<calibrate::Pair> checked = pairsOf(corrected, &fitted.model, &raw);
    ASSERT_GE(checked.size(), 200u);
    // measure()'s "before" figures: of what the module published, and of what the tracker sent.
    const calibrate::ErrorReport r = calibrate::measure(fitted.model, checked);
    const calibrate::ErrorReport sent = calibrate::measure(fitted.model, raw);
    std::printf(
        "room distortion, %zu poses: position RMS %.2f cm (max %.2f) uncorrected, %.3f cm (max %.3f) "
        "published; angle RMS %.2f deg (max %.2f) uncorrected, %.3f deg (max %.3f) published\n",
        checked.size(), sent.positionBefore.rms * 30.48, sent.positionBefore.max * 30.48, r.positionBefore.rms * 30.48,
        r.positionBefore.max * 30.48, sent.angleBefore.rms, sent.angleBefore.max, r.angleBefore.rms, r.angleBefore.max);
    EXPECT_GT(sent.positionBefore.rms, 5 / 30.48);  // the run really was distorted
    roomtest::expectStatedAccuracy(r);
}

}  // namespace
