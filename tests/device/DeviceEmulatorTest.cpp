// End to end: the built module, loaded as a host loads it, set up against the emulator on a pty,
// read by a host thread; every pose and press in storage is checked against what the emulator sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EmulatorRun.h"

using namespace emulatorrun;

namespace {

struct LineRun {
    unsigned baud;
    bool secondStation;
};

// Printed by name: the default printer would read the struct's padding.
void PrintTo(const LineRun& line, std::ostream* out) { *out << line.baud << (line.secondStation ? " two" : " one"); }

class DeviceOnEmulator : public ::testing::TestWithParam<LineRun> {};

TEST_P(DeviceOnEmulator, EveryPoseAndPressArrivesConverted) {
    const LineRun line = GetParam();
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = line.baud;
    options.receivers = {true, line.secondStation, false, false};
    fastraksim::FastrakSim sim(options);
    fastraksim::SceneParams scene;
    scene.centre = fastraksim::Pose{14, -3, 6, 20, 10, -5};
    scene.radius = 6;
    scene.period = 1.5;
    sim.setMotion(1, fastraksim::makeScene("circle", scene));
    if (line.secondStation) {
        scene.centre = fastraksim::Pose{10, 4, -2, -40, -20, 30};
        sim.setMotion(2, fastraksim::withPresses(fastraksim::makeScene("eight", scene), {0.5, 0.2, 0.1}));
    }
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    const Options stations =
        line.secondStation ? Options{{"stylus", {"2"}}} : Options{{"sensors", {"1", "0", "0", "0"}}};
    const HostRun run = runHost(sim, line.baud, stations, 3.0);
    sim.stop();
    ASSERT_TRUE(run.setUp) << run.log;
    EXPECT_TRUE(std::all_of(run.results.begin(), run.results.end(), [](int32_t r) { return r == 1; }));
    // The ASCII records of presses during set-up are no damage of the line.
    EXPECT_EQ(run.log.find("Damaged data on the line"), std::string::npos) << run.log;
    EXPECT_EQ(run.trackerCount, line.secondStation ? 2u : 1u);
    EXPECT_EQ(run.controllerCount, line.secondStation ? 1u : 0u);

    // Binary records only: a press before set-up ends makes the tracker send ASCII ones.
    std::vector<fastraksim::LogEntry> records;
    for (const auto& e : sim.entries(fastraksim::LogEntry::Kind::Record)) {
        if (isBinaryRecord(e)) records.push_back(e);
    }
    // Each station's published poses are its records in order, none skipped: the scene moves, so
    // every record differs from the one before it.
    for (int station = 1; station <= (line.secondStation ? 2 : 1); ++station) {
        std::vector<Values> sent;
        for (const auto& e : records) {
            if (e.station == station) sent.push_back(expectedFromWire(e.bytes));
        }
        size_t next = 0, first = 0;
        const std::vector<Values> poses = trackerPoses(run, static_cast<uint32_t>(station));
        for (size_t i = 0; i < poses.size(); ++i) {
            while (next < sent.size() && !samePose(sent[next], poses[i])) ++next;
            ASSERT_LT(next, sent.size()) << "station " << station << ": published pose " << i
                                         << " is no record the emulator sent next";
            if (i == 0) first = next;
            ++next;
        }
        EXPECT_GE(poses.size(), 20u) << "station " << station;
        EXPECT_EQ(first, 0u) << "station " << station << ": the first records were lost";
        EXPECT_EQ(next - first, poses.size()) << "station " << station << ": records were skipped";
    }

    // Stylus: the published button states are the emulator's button changes, in order.
    if (line.secondStation) {
        std::vector<bool> presses;
        for (const Published& p : run.got) {
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
                             return std::to_string(param.param.baud) +
                                    (param.param.secondStation ? "TwoStationsAndStylus" : "OneStation");
                         });

}  // namespace
