// End to end on a serial line, in both flavors (COM ports under Wine): the test sends the records
// of a distorted tracker to the loaded module, fits the grid it read back, and reads a second path
// with fastrak_distortion on the calibration line: the poses in storage are the true ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Distortion.h"
#include "RoomSupport.h"
#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/HostStorage.h"
#include "support/ModuleLoader.h"
#include "support/PtyPair.h"

using roomtest::Pose6;
using testsupport::HostStorage;
using testsupport::StorageKind;

namespace {

// Station 1's binary record of a pose (tracker axes, inches, degrees): position, angles, CR LF.
std::string record(const fastraksim::Pose& p) {
    std::string r = "01 ";
    for (double value : {p.x, p.y, p.z, p.azimuth, p.elevation, p.roll}) {
        const float f = static_cast<float>(value);
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    }
    return r + "\r\n";
}

// The module set up on the test's line as a host sets it up, one station tracking.
class Device {
public:
    Device(testsupport::PtyPair& line, const std::vector<std::string>& calibration) : line_(line) {
        config_.add(1, "port", {line.slavePath()});
        config_.add(2, "baud", {"115200"});
        config_.add(3, "sensors", {"1", "0", "0", "0"});
        if (!calibration.empty()) config_.add(4, "calibration", {calibration.at(0), calibration.at(1)});
        info_.trackerStorage = trackers_.storage();
        info_.controllerStorage = controllers_.storage();
        info_.runFlag = &runFlag_;
        if (!module_.loaded()) return;
        device_ = module_.createDev()(config_.get(), nullptr);
        testsupport::CaptureStdout summary;
        ready_ = device_ != nullptr && device_->init(&info_) == 1;
        output_ = summary.finish();
        line_.readAll(100);  // the set-up commands
        // The first record after set-up is taken once the next one starts: after these two, each
        // record is taken as it arrives.
        const std::string first = record(fastraksim::Pose{10, 2, 3, 0, 0, 0});
        UpdateMask mask{};
        ready_ = ready_ && line_.write(first + first) && device_->recvData(&mask, 0) == 1 &&
                 device_->recvData(&mask, 0) == 1;
    }
    ~Device() {
        if (device_ == nullptr) return;
        testsupport::CaptureStdout quiet;
        device_->stop();
        module_.deleteDev()(device_);
    }
    bool ready() const { return ready_; }
    const std::string& output() const { return output_; }

    // Sends the tracker's record of `reported` and returns what the module published for it.
    bool publish(const fastraksim::Pose& reported, Pose6& out) {
        if (!line_.write(record(reported))) return false;
        UpdateMask mask{};
        if (device_->recvData(&mask, 0) != 1 || (roomtest::fromNetwork(mask.trackers) & 1u) == 0) return false;
        out = roomtest::published(trackers_.trackers()[0]);
        return true;
    }

private:
    testsupport::PtyPair& line_;
    testsupport::ModuleLoader module_{FASTRAK_MODULE_PATH};
    testsupport::ConfigBuilder config_{"room"};
    HostStorage trackers_{StorageKind::Tracker};
    HostStorage controllers_{StorageKind::Controller};
    int32_t runFlag_ = 1;
    InitInfo info_{};
    CBase* device_ = nullptr;
    bool ready_ = false;
    std::string output_;
};

// What a distorted tracker reports for each true pose, sent through the device; pairs of what was
// published and the truth.
std::vector<calibrate::Pair> readThrough(Device& device, const std::vector<fastraksim::Pose>& truths) {
    fastraksim::DistortionParams room;
    std::string error;
    EXPECT_TRUE(fastraksim::parseDistortion("room", room, error)) << error;
    std::vector<calibrate::Pair> pairs;
    for (const fastraksim::Pose& truth : truths) {
        Pose6 published;
        if (!device.publish(fastraksim::distort(room, truth), published)) {
            ADD_FAILURE() << "no pose published for record " << pairs.size();
            break;
        }
        pairs.push_back(roomtest::pairOf(published, roomtest::toModule(truth)));
    }
    return pairs;
}

TEST(DistortionLine, GridReadThroughTheModuleCorrectsAnotherPathToTheStatedAccuracy) {
    testsupport::PtyPair line;
    ASSERT_TRUE(line.ok()) << line.error();

    std::vector<fastraksim::Pose> grid;
    for (int k = 0; k < 125; ++k) grid.push_back(roomtest::gridPoint(k));
    calibrate::FitResult fitted;
    {
        Device plain(line, {});
        ASSERT_TRUE(plain.ready()) << plain.output();
        const std::vector<calibrate::Pair> pairs = readThrough(plain, grid);
        ASSERT_EQ(pairs.size(), grid.size());
        std::string error;
        ASSERT_TRUE(calibrate::fit(pairs, calibrate::FitOptions{}, fitted, error)) << error;
    }
    std::filesystem::create_directories(DISTORTION_SCRATCH_DIR);
    const std::string modelPath = std::string(DISTORTION_SCRATCH_DIR) + "/line-room.json";
    std::ofstream(modelPath) << fitted.model.toJson();

    // Random poses inside the grid's volume, read with the correction on.
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> x(-28, 28), y(-54, -14), z(-24, 24), turn(-180, 180), tilt(-80, 80);
    std::vector<fastraksim::Pose> path;
    for (int i = 0; i < 150; ++i) {
        fastraksim::Pose p;
        p.x = x(random), p.y = y(random), p.z = z(random);
        p.azimuth = turn(random), p.elevation = tilt(random), p.roll = turn(random);
        path.push_back(p);
    }
    Device corrected(line, {DISTORTION_PLUGIN_PATH, modelPath});
    ASSERT_TRUE(corrected.ready()) << corrected.output();
    EXPECT_EQ(corrected.output().find("fastrak_distortion:"), std::string::npos) << corrected.output();
    const std::vector<calibrate::Pair> checked = readThrough(corrected, path);
    ASSERT_EQ(checked.size(), path.size());
    const calibrate::ErrorReport r = calibrate::measure(fitted.model, checked);
    std::printf(
        "line, %zu poses: published position RMS %.3f cm (max %.3f), angle RMS %.3f deg (max %.3f); "
        "held out of the fit: %.2f cm uncorrected\n",
        checked.size(), r.positionBefore.rms * 30.48, r.positionBefore.max * 30.48, r.angleBefore.rms,
        r.angleBefore.max, fitted.heldOutReport.positionBefore.rms * 30.48);
    EXPECT_GT(fitted.heldOutReport.positionBefore.rms, 5 / 30.48);  // the grid really was distorted
    roomtest::expectStatedAccuracy(r);
}

}  // namespace
