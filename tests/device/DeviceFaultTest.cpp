// Reception under every fault the emulator injects: the host thread stays alive, every record whose
// own bytes arrived intact is published, nothing else is published but what a record's bytes say,
// and only a hang-up ends reading with -1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "EmulatorRun.h"

using namespace emulatorrun;

namespace {

struct FaultCase {
    const char* name;
    fastraksim::FaultSettings faults;
    bool hangUp;
    bool stylus = false;  // station 2 carries the stylus: its records are 31 bytes
};

fastraksim::FaultSettings faults(void (*set)(fastraksim::FaultSettings&)) {
    fastraksim::FaultSettings f;
    set(f);
    return f;
}

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

// The emulator with faults from the end of set-up on, the module read for `seconds`, and what it
// published checked against the emulator's log.
void readUnderFaults(const FaultCase& c, double seconds) {
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = 115200;
    options.seed = 11;
    options.receivers = {true, true, false, false};
    options.logCapacity = 2000000;  // the whole run, also a long one, is checked against the log
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
    Options lines;
    if (c.stylus) lines.push_back({"stylus", {"2"}});
    const HostRun run = runHost(sim, 115200, lines, seconds);
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

    size_t intactRecords = 0, hitRecords = 0, hitButPublished = 0, unconfirmed = 0;
    std::vector<size_t> matched[2];
    for (int station = 1; station <= 2; ++station) {
        const std::vector<Values> poses = trackerPoses(run, static_cast<uint32_t>(station));
        ASSERT_FALSE(poses.empty()) << "station " << station;
        // Every published pose is the bytes of a record the line carried under that station digit,
        // in order: a hit record is published only with the values its bytes now hold.
        auto carried = [&](const fastraksim::LogEntry& e, const Values& pose) {
            return isBinaryRecord(e) && e.bytes[1] == static_cast<char>('0' + station) &&
                   samePose(expectedFromWire(e.bytes), pose);
        };
        std::vector<size_t>& matchedAt = matched[station - 1];
        size_t next = 0;
        for (size_t i = 0; i < poses.size(); ++i) {
            for (size_t v = 0; v < 6; ++v) {
                const double bound = v < 3 ? 1000.0 / 12.0 : (v == 4 ? 90.01 : 180.01);
                EXPECT_LE(std::fabs(poses[i][v]), bound + 1e-4) << "station " << station << " pose " << i;
            }
            while (next < stream.size() && !carried(stream[next], poses[i])) ++next;
            ASSERT_LT(next, stream.size()) << "station " << station << ": published pose " << i << " was never sent";
            matchedAt.push_back(next++);
        }
    }
    auto published = [&](size_t k) {
        return std::binary_search(matched[0].begin(), matched[0].end(), k) ||
               std::binary_search(matched[1].begin(), matched[1].end(), k);
    };
    // A record found after damage is taken only once the next bytes on the line start a record; one
    // right after a taken record is in step. The scenes move, so every taken record is published.
    // Not when the record before lost bytes and, taken at its full length, ends on a CR LF in this
    // one's values: the line cannot tell that from a record with a header in its values, and both go.
    auto shadowed = [&](size_t k) {
        if (k == 0 || stream[k - 1].kind != fastraksim::LogEntry::Kind::Record) return false;
        const auto& before = stream[k - 1];
        const size_t length = before.original.size();
        if (before.bytes.size() >= length) return false;
        const std::string joined = before.bytes + stream[k].bytes;
        return joined.size() >= length && joined.compare(length - 2, 2, "\r\n") == 0;
    };
    auto provable = [&](size_t k) {
        if (shadowed(k)) return false;
        const bool inStep = k > 0 && published(k - 1);
        const bool confirmed = k + 1 < stream.size() && stream[k + 1].kind == fastraksim::LogEntry::Kind::Record &&
                               stream[k + 1].bytes.size() >= 2 && stream[k + 1].bytes[0] == '0' &&
                               stream[k + 1].bytes[1] >= '1' && stream[k + 1].bytes[1] <= '4';
        return inStep || confirmed;
    };
    for (int station = 1; station <= 2; ++station) {
        const std::vector<size_t>& matchedAt = matched[station - 1];
        // Up to the last record read, every record whose own bytes no fault hit is published,
        // whatever came before it, when the line proves it.
        for (size_t k = 0; k <= matchedAt.back(); ++k) {
            const auto& e = stream[k];
            if (e.kind != fastraksim::LogEntry::Kind::Record || e.bytes.size() < 2 ||
                e.bytes[1] != static_cast<char>('0' + station)) {
                continue;
            }
            const bool wasPublished = published(k);
            if (!e.original.empty()) {
                ++hitRecords;
                if (wasPublished) ++hitButPublished;
                continue;
            }
            ++intactRecords;
            if (!provable(k)) {
                if (!wasPublished) ++unconfirmed;
                continue;
            }
            EXPECT_TRUE(wasPublished) << c.name << ": station " << station << " lost an intact record at " << k
                                      << (k > 0 ? std::string(" after ") + fastraksim::kindName(stream[k - 1].kind) +
                                                      " " + stream[k - 1].note
                                                : std::string());
        }
    }
    EXPECT_GT(intactRecords, 100u);
    size_t bursts = 0, longRuns = 0;
    for (const auto& e : stream) {
        if (e.kind == fastraksim::LogEntry::Kind::Noise) ++bursts;
        if (e.kind == fastraksim::LogEntry::Kind::LongRun) ++longRuns;
    }
    const fastraksim::FaultSettings& f = c.faults;
    if (f.noiseRate + f.corruptRate + f.dropRate + f.overrunRate + f.longRunRate > 0) {
        EXPECT_GT(hitRecords + bursts + longRuns, 5u) << "the fault never struck";
    }
    // A long run, or a hit record that was not published, is damage the user is told about.
    if (longRuns > 0 || hitRecords > hitButPublished) {
        EXPECT_NE(run.log.find("WARNING: CFastrak: Damaged data on the line: "), std::string::npos);
    }
    uint64_t reported = 0;
    const std::string report = "Damaged data on the line: ";
    for (size_t at = run.log.find(report); at != std::string::npos; at = run.log.find(report, at + 1)) {
        reported += std::stoull(run.log.substr(at + report.size()));
    }
    std::cout << "[ counts   ] " << c.name << ", " << seconds << " s: " << intactRecords
              << " intact records, all published but " << unconfirmed << " that damage on both sides left unconfirmed; "
              << hitRecords << " hit, " << hitButPublished << " of them published with plausible values; " << reported
              << " damaged frames reported\n";
}

class DeviceUnderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DeviceUnderFaults, IntactRecordsArePublishedAndReadingGoesOn) { readUnderFaults(GetParam(), 3.5); }

// The soaks' faults, every one at once.
fastraksim::FaultSettings everyFault(double corruptRate) {
    fastraksim::FaultSettings f;
    f.noiseRate = 0.01;
    f.corruptRate = corruptRate;
    f.dropRate = 0.005;
    f.overrunRate = 0.005;
    f.longRunRate = 0.002;
    f.silenceAt = 20;
    f.silenceFor = 0.5;
    f.silenceEvery = 60;
    return f;
}

// A long run with every fault at once, for the figures in docs/performance.md; it runs only when
// FASTRAK_SOAK_SECONDS gives its length.
TEST(DeviceSoak, EveryFaultAtOnce) {
    const char* length = std::getenv("FASTRAK_SOAK_SECONDS");
    if (length == nullptr) GTEST_SKIP() << "set FASTRAK_SOAK_SECONDS to run it";
    readUnderFaults(FaultCase{"Soak", everyFault(0.01), false, true}, std::atof(length));
}

// Receivers held still where a value holds "0" and a station digit (station 1: x = 11.13671875 in,
// 00 30 32 41 on the wire) and CR LF (station 2, with the stylus: x = 8.628220558166504 in,
// 31 0D 0A 41): a start inside one record and an end inside the next can frame bytes that pass
// every value check. Nothing may be published that the line did not carry as a record of that
// station, and the stylus, never pressed, must never read as pressed.
void readStillUnderFaults(const fastraksim::FaultSettings& faults, double seconds) {
    fastraksim::SimOptions options;
    options.resetSeconds = 0.05;
    options.latencySeconds = 0;
    options.baud = 115200;
    options.seed = 5;
    options.receivers = {true, true, false, false};
    options.logCapacity = 4000000;
    fastraksim::FastrakSim sim(options);
    // The module's alignment reports (-z, x, -y) of the emulator's frame; its hemisphere wants y <= 0.
    // Station 1's roll stays within +-90 degrees, so a frame started inside its x passes the checks.
    fastraksim::SceneParams scene;
    scene.centre = fastraksim::Pose{3.25, -5.5, -11.13671875, 0, 0, 40};
    sim.setMotion(1, fastraksim::makeScene("still", scene));
    scene.centre = fastraksim::Pose{-2.75, -4.25, -8.628220558166504, -40, 25, 60};
    sim.setMotion(2, fastraksim::makeScene("still", scene));
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    const double setUpSeconds = 3.5;
    fastraksim::FaultSettings settings = faults;
    if (settings.silenceAt >= 0) settings.silenceAt += setUpSeconds;
    std::thread arm([&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(setUpSeconds));
        sim.setFaults(settings);
    });
    const HostRun run = runHost(sim, 115200, {{"stylus", {"2"}}}, seconds);
    arm.join();
    sim.stop();
    ASSERT_TRUE(run.setUp) << run.log;

    std::vector<std::vector<Values>> carried(3);
    size_t records = 0, hit = 0;
    for (const auto& e : sim.entries(fastraksim::LogEntry::Kind::Record)) {
        if (!isBinaryRecord(e) || e.bytes[1] < '1' || e.bytes[1] > '2') continue;
        carried[static_cast<size_t>(e.bytes[1] - '0')].push_back(expectedFromWire(e.bytes));
        ++records;
        if (!e.original.empty()) ++hit;
        if (e.original.empty()) {
            const std::string x = e.bytes.substr(3, 4);
            ASSERT_EQ(x, e.bytes[1] == '1' ? std::string("\x00\x30\x32\x41", 4) : std::string("\x31\x0d\x0a\x41", 4))
                << "the scene no longer puts the framing bytes on the wire";
        }
    }
    size_t published = 0;
    for (uint32_t station = 1; station <= 2; ++station) {
        for (const Values& pose : trackerPoses(run, station)) {
            ++published;
            EXPECT_TRUE(std::any_of(carried[station].begin(), carried[station].end(),
                                    [&](const Values& sent) { return samePose(sent, pose); }))
                << "station " << station << ": a misframed pose was published";
        }
    }
    EXPECT_GE(published, 2u);
    for (const Published& p : run.got) {
        if (p.tracker) continue;
        EXPECT_EQ(p.buttons.buttons[0] & 1, 0) << "a press the line never had";
    }
    std::cout << "[ counts   ] still receivers, " << seconds << " s: " << records << " records, " << hit
              << " hit by a fault, " << published << " poses published, none misframed\n";
}

TEST(DeviceStill, NothingMisframedBesideReceiversHeldStill) {
    fastraksim::FaultSettings f;
    f.corruptRate = 0.1;
    f.overrunRate = 0.1;  // 6 bytes lost from station 1: the frame would end on station 2's CR LF
    f.overrunBytes = 6;
    readStillUnderFaults(f, 4.0);
}

// The long run of the same with every fault, for docs/performance.md; FASTRAK_SOAK_SECONDS gives
// its length.
TEST(DeviceSoak, StillReceiversEveryFaultAtOnce) {
    const char* length = std::getenv("FASTRAK_SOAK_SECONDS");
    if (length == nullptr) GTEST_SKIP() << "set FASTRAK_SOAK_SECONDS to run it";
    readStillUnderFaults(everyFault(0.02), std::atof(length));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceUnderFaults,
    ::testing::Values(
        FaultCase{"Noise", faults([](fastraksim::FaultSettings& f) { f.noiseRate = 0.1; }), false},
        FaultCase{"CorruptedBytes", faults([](fastraksim::FaultSettings& f) { f.corruptRate = 0.1; }), false},
        FaultCase{"DroppedBytes", faults([](fastraksim::FaultSettings& f) { f.dropRate = 0.1; }), false},
        FaultCase{"Overrun", faults([](fastraksim::FaultSettings& f) { f.overrunRate = 0.1; }), false},
        FaultCase{"LinesWithoutEnd", faults([](fastraksim::FaultSettings& f) { f.longRunRate = 0.05; }), false},
        FaultCase{"Silence", faults([](fastraksim::FaultSettings& f) {
                      f.silenceAt = 0.8;
                      f.silenceFor = 1.3;
                  }),
                  false},
        FaultCase{"Everything", faults([](fastraksim::FaultSettings& f) {
                      f.noiseRate = 0.05;
                      f.corruptRate = 0.05;
                      f.dropRate = 0.05;
                      f.longRunRate = 0.02;
                      f.silenceAt = 1.0;
                      f.silenceFor = 0.5;
                      f.silenceEvery = 1.5;
                  }),
                  false, true},
        FaultCase{"HangUp", faults([](fastraksim::FaultSettings& f) { f.hangUpAt = 1.5; }), true}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

}  // namespace
