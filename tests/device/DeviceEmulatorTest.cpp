// End to end: the built module, loaded as a host loads it, set up against the emulator on a pty,
// read by a host thread; every pose and press in storage is checked against what the emulator sent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FastrakSim.h"
#include "fastrak/fastrak.h"
#include <arpa/inet.h>
#include <pthread.h>
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/HostStorage.h"
#include "support/ModuleLoader.h"

using namespace std::chrono_literals;
using testsupport::HostStorage;
using testsupport::StorageKind;

namespace {

// The host reads its storage under the system mutex it handed to the module.
class HostLock {
public:
    explicit HostLock(HostStorage& storage) : mutex_(static_cast<pthread_mutex_t*>(storage.handle())) {
        pthread_mutex_lock(mutex_);
    }
    ~HostLock() { pthread_mutex_unlock(mutex_); }

private:
    pthread_mutex_t* mutex_;
};

struct Published {
    bool tracker;
    TrackerRecord pose;
    ControllerRecord buttons;
};

double poseValue(int32_t netField) { return static_cast<int32_t>(ntohl(static_cast<uint32_t>(netField))) * 1e-5; }

// What the module should publish for a reported pose: feet, CAVE axes, azimuth and roll negated.
std::vector<double> expectedOutput(const fastraksim::Pose& p) {
    const float toFeet = 1.0f / 12.0f;
    return {static_cast<float>(p.y) * toFeet, -static_cast<float>(p.z) * toFeet, -static_cast<float>(p.x) * toFeet,
            -p.azimuth, p.elevation, -p.roll};
}

std::vector<double> published(const TrackerRecord& r) {
    return {poseValue(r.x), poseValue(r.y), poseValue(r.z), poseValue(r.azimuth), poseValue(r.elevation), poseValue(r.roll)};
}

bool samePose(const std::vector<double>& a, const std::vector<double>& b) {
    for (size_t i = 0; i < 6; ++i) {
        const double tolerance = i < 3 ? 2e-5 : 2e-4;  // a unit of the record plus float rounding
        if (std::fabs(a[i] - b[i]) > tolerance) return false;
    }
    return true;
}

struct LineRun {
    unsigned baud;
    bool secondStation;
};

class DeviceOnEmulator : public ::testing::TestWithParam<LineRun> {};

TEST_P(DeviceOnEmulator, EveryPoseAndPressArrivesConverted) {
    const LineRun run = GetParam();
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = run.baud;
    options.receivers = {true, run.secondStation, false, false};
    fastraksim::FastrakSim sim(options);
    fastraksim::SceneParams scene;
    scene.centre = fastraksim::Pose{14, -3, 6, 20, 10, -5};
    scene.radius = 6;
    scene.period = 1.5;
    sim.setMotion(1, fastraksim::makeScene("circle", scene));
    if (run.secondStation) {
        scene.centre = fastraksim::Pose{10, 4, -2, -40, -20, 30};
        sim.setMotion(2, fastraksim::withPresses(fastraksim::makeScene("eight", scene), {0.5, 0.2, 0.1}));
    }
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;

    testsupport::ModuleLoader module(FASTRAK_MODULE_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    testsupport::ConfigBuilder config("bench");
    config.add(1, "port", {sim.slavePath()});
    config.add(2, "baud", {std::to_string(run.baud)});
    if (run.secondStation) {
        config.add(3, "stylus", {"2"});
    } else {
        config.add(3, "sensors", {"1", "0", "0", "0"});
    }
    HostStorage trackers(StorageKind::Tracker);
    HostStorage controllers(StorageKind::Controller);
    int32_t runFlag = 1;
    InitInfo info{};
    info.trackerStorage = trackers.storage();
    info.controllerStorage = controllers.storage();
    info.runFlag = &runFlag;

    CBase* device = module.createDev()(config.get(), nullptr);
    ASSERT_NE(device, nullptr);
    testsupport::CaptureStdout quiet;  // the summary
    ASSERT_EQ(device->init(&info), 1) << quiet.finish();
    quiet.finish();

    // The host's reception thread copies what each call marked, under the storage's mutex.
    std::vector<Published> got;
    std::atomic<int32_t> result{1};
    std::thread reader([&] {
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (runFlag != 0 && std::chrono::steady_clock::now() < until) {
            UpdateMask mask{};
            const int32_t r = device->recvData(&mask, 0);
            if (r != 1) {
                result = r;
                break;
            }
            const uint32_t t = ntohl(mask.trackers), c = ntohl(mask.controllers);
            for (uint32_t n = 1; n <= 32; ++n) {
                if (t & (1u << (n - 1))) {
                    HostLock hold(trackers);
                    got.push_back({true, trackers.trackers()[n - 1], ControllerRecord()});
                }
                if (c & (1u << (n - 1))) {
                    HostLock hold(controllers);
                    got.push_back({false, TrackerRecord(), controllers.controllers()[n - 1]});
                }
            }
        }
    });
    reader.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(device->stop());
    EXPECT_TRUE(module.deleteDev()(device));
    sim.stop();

    EXPECT_EQ(trackers.count(), run.secondStation ? 2u : 1u);
    EXPECT_EQ(controllers.count(), run.secondStation ? 1u : 0u);

    // Each station's published poses are its emulated records in order, none skipped: the scene
    // moves, so every record differs from the one before it.
    // Binary records only: a press before set-up ends makes the tracker send ASCII ones.
    std::vector<fastraksim::LogEntry> records;
    for (const auto& e : sim.entries(fastraksim::LogEntry::Kind::Record)) {
        if (e.bytes.size() == 29 || e.bytes.size() == 31) records.push_back(e);
    }
    for (int station = 1; station <= (run.secondStation ? 2 : 1); ++station) {
        std::vector<const fastraksim::LogEntry*> sent;
        for (const auto& e : records) {
            if (e.station == station) sent.push_back(&e);
        }
        size_t next = 0, matched = 0, first = 0;
        bool firstSet = false;
        for (const Published& p : got) {
            if (!p.tracker || ntohl(p.pose.id) != static_cast<uint32_t>(station)) continue;
            const auto value = published(p.pose);
            while (next < sent.size() && !samePose(expectedOutput(sent[next]->pose), value)) ++next;
            ASSERT_LT(next, sent.size()) << "station " << station << ": published pose " << matched
                                         << " is no record the emulator sent next";
            if (!firstSet) first = next, firstSet = true;
            ++next;
            ++matched;
        }
        EXPECT_GE(matched, 20u) << "station " << station;
        EXPECT_EQ(first, 0u) << "station " << station << ": the first records were lost";
        EXPECT_EQ(next - first, matched) << "station " << station << ": records were skipped";
    }

    // Stylus: the published button states are the emulator's button changes, in order.
    if (run.secondStation) {
        std::vector<bool> presses;
        for (const Published& p : got) {
            if (p.tracker) continue;
            EXPECT_EQ(ntohl(p.buttons.id), 1u);
            EXPECT_EQ(ntohl(p.buttons.numButtons), 1u);
            presses.push_back((p.buttons.buttons[0] & 1) != 0);
        }
        std::vector<bool> changes;
        for (const auto& e : records) {
            if (e.station == 2 && (changes.empty() || changes.back() != e.button)) changes.push_back(e.button);
        }
        ASSERT_GE(presses.size(), 4u);
        // The run ends while the emulator goes on: what was published is a prefix of its changes.
        ASSERT_LE(presses.size(), changes.size());
        EXPECT_TRUE(std::equal(presses.begin(), presses.end(), changes.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, DeviceOnEmulator,
                         ::testing::Values(LineRun{115200, true}, LineRun{9600, true}, LineRun{9600, false}),
                         [](const ::testing::TestParamInfo<LineRun>& param) {
                             return std::to_string(param.param.baud) + (param.param.secondStation ? "TwoStationsAndStylus" : "OneStation");
                         });

}  // namespace
