// Reception under every fault the emulator injects: the host thread stays alive, every record that
// arrived intact is published, a disturbance costs at most the record it hit and the next one,
// and only a hang-up ends reading with -1.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EmulatorRun.h"

using namespace emulatorrun;

namespace {

struct FaultCase {
    const char* name;
    fastraksim::FaultSettings faults;
    bool hangUp;
};

fastraksim::FaultSettings faults(void (*set)(fastraksim::FaultSettings&)) {
    fastraksim::FaultSettings f;
    set(f);
    return f;
}

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class DeviceUnderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DeviceUnderFaults, IntactRecordsArePublishedAndReadingGoesOn) {
    const FaultCase& c = GetParam();
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = 115200;
    options.seed = 11;
    options.receivers = {true, true, false, false};
    fastraksim::FastrakSim sim(options);
    fastraksim::SceneParams scene;
    scene.centre = fastraksim::Pose{14, -3, 6, 20, 10, -5};
    scene.period = 1.3;
    sim.setMotion(1, fastraksim::makeScene("circle", scene));
    scene.centre = fastraksim::Pose{9, 5, 2, -60, 15, 40};
    sim.setMotion(2, fastraksim::makeScene("eight", scene));
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    // Faults begin once set-up is over, so the commands themselves arrive whole.
    fastraksim::FaultSettings settings = c.faults;
    const double setUpSeconds = 3.5;
    if (settings.silenceAt >= 0) settings.silenceAt += setUpSeconds;
    if (settings.hangUpAt >= 0) settings.hangUpAt += setUpSeconds;
    std::thread arm([&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(setUpSeconds));
        sim.setFaults(settings);
    });
    const HostRun run = runHost(sim, 115200, {}, 3.5);
    arm.join();
    sim.stop();
    ASSERT_TRUE(run.setUp) << run.log;

    // Reading ends with -1 only on the hang-up, with its line, and is never given up otherwise.
    ASSERT_FALSE(run.results.empty());
    for (size_t i = 0; i + 1 < run.results.size(); ++i) EXPECT_EQ(run.results[i], 1) << "call " << i;
    EXPECT_EQ(run.results.back(), c.hangUp ? -1 : 1);
    EXPECT_EQ(run.log.find("Reading error occured.") != std::string::npos, c.hangUp);

    // What went out on the line, in order: records (some hit by a fault) and bursts of noise.
    std::vector<fastraksim::LogEntry> stream;
    for (const auto& e : sim.log()) {
        if (e.kind == fastraksim::LogEntry::Kind::Record || e.kind == fastraksim::LogEntry::Kind::Noise ||
            e.kind == fastraksim::LogEntry::Kind::LongRun) {
            stream.push_back(e);
        }
    }
    std::sort(stream.begin(), stream.end(), [](const auto& a, const auto& b) { return a.time < b.time; });

    size_t protectedRecords = 0, disturbances = 0;
    for (int station = 1; station <= 2; ++station) {
        const std::vector<Values> poses = trackerPoses(run, static_cast<uint32_t>(station));
        ASSERT_FALSE(poses.empty()) << "station " << station;
        // Every published pose is a record the line carried for that station digit, in order. A
        // record whose bytes a fault changed may carry any values, even ones no float can hold.
        auto carried = [&](const fastraksim::LogEntry& e, const Values& pose) {
            if (!isBinaryRecord(e) || e.bytes[1] != static_cast<char>('0' + station)) return false;
            return !e.original.empty() || samePose(expectedFromWire(e.bytes), pose);
        };
        std::vector<size_t> matchedAt;
        size_t next = 0;
        for (size_t i = 0; i < poses.size(); ++i) {
            while (next < stream.size() && !carried(stream[next], poses[i])) ++next;
            ASSERT_LT(next, stream.size()) << "station " << station << ": published pose " << i << " was never sent";
            matchedAt.push_back(next++);
        }
        // Up to the last record read, an intact record that follows an intact record is published.
        for (size_t k = 1; k <= matchedAt.back(); ++k) {
            const auto& e = stream[k];
            if (e.station != station || e.kind != fastraksim::LogEntry::Kind::Record) continue;
            const auto& before = stream[k - 1];
            const bool intact = e.original.empty() && isBinaryRecord(e);
            const bool afterIntact = before.kind == fastraksim::LogEntry::Kind::Record && before.original.empty() &&
                                     isBinaryRecord(before);
            if (!intact || !afterIntact) {
                ++disturbances;
                continue;
            }
            ++protectedRecords;
            EXPECT_TRUE(std::binary_search(matchedAt.begin(), matchedAt.end(), k))
                << c.name << ": station " << station << " lost an intact record at " << k << " after "
                << fastraksim::kindName(before.kind) << " " << before.note;
        }
    }
    EXPECT_GT(protectedRecords, 100u);
    if (!c.hangUp && c.faults.silenceAt < 0) {
        EXPECT_GT(disturbances, 5u) << "the fault never struck";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceUnderFaults,
    ::testing::Values(
        FaultCase{"Noise", faults([](fastraksim::FaultSettings& f) { f.noiseRate = 0.1; }), false},
        FaultCase{"CorruptedBytes", faults([](fastraksim::FaultSettings& f) { f.corruptRate = 0.1; }), false},
        FaultCase{"DroppedBytes", faults([](fastraksim::FaultSettings& f) { f.dropRate = 0.1; }), false},
        FaultCase{"LinesWithoutEnd", faults([](fastraksim::FaultSettings& f) { f.longRunRate = 0.05; }), false},
        FaultCase{"Silence", faults([](fastraksim::FaultSettings& f) {
                      f.silenceAt = 0.8;
                      f.silenceFor = 1.3;
                  }),
                  false},
        FaultCase{"HangUp", faults([](fastraksim::FaultSettings& f) { f.hangUpAt = 1.5; }), true}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

}  // namespace
