// Each injected fault does what it says, and the log accounts for every byte on the line.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "SimFixture.h"

namespace simtest {
namespace {

using fastraksim::FaultSettings;

bool sentKind(LogEntry::Kind k) {
    return k == LogEntry::Kind::Record || k == LogEntry::Kind::Reply || k == LogEntry::Kind::Noise ||
           k == LogEntry::Kind::LongRun;
}

std::vector<size_t> positionsIn(const std::string& note, const std::string& label) {
    std::vector<size_t> out;
    const size_t at = note.find(label);
    if (at == std::string::npos) return out;
    std::istringstream in(note.substr(at + label.size()));
    size_t p;
    while (in >> p) out.push_back(p);
    return out;
}

class SimFaults : public SimFixture {
protected:
    // Runs continuous binary output under `faults` until `records` records were sent, then
    // checks that the driver received exactly the logged items, in order.
    std::vector<LogEntry> runWith(const FaultSettings& faults, uint64_t records = 30) {
        startSim();
        sim->setFaults(faults);
        command("f");
        command("C");
        EXPECT_TRUE(sim->waitForRecords(records, 10000ms));
        const std::string got = stopAndCollect();
        std::string logged;
        const auto log = sim->log();
        for (const auto& e : log)
            if (sentKind(e.kind)) logged += e.bytes;
        EXPECT_EQ(got.size(), logged.size());
        EXPECT_TRUE(got == logged) << "the line differs from the log";
        return log;
    }
};

TEST_F(SimFaults, NoiseComesBetweenRecords) {
    FaultSettings f;
    f.noiseRate = 1.0;
    f.noiseBytes = 5;
    const auto log = runWith(f);
    size_t noise = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind != LogEntry::Kind::Noise) continue;
        ++noise;
        EXPECT_GE(log[i].bytes.size(), 1u);
        EXPECT_LE(log[i].bytes.size(), 5u);
        ASSERT_LT(i + 1, log.size());
        EXPECT_EQ(log[i + 1].kind, LogEntry::Kind::Record);  // each burst right before its record
    }
    EXPECT_EQ(noise, sim->stats().records);
    for (const auto& r : sim->entries(LogEntry::Kind::Record)) EXPECT_EQ(r.bytes.size(), 29u);
}

TEST_F(SimFaults, CorruptionChangesTheNamedBytesOnly) {
    FaultSettings f;
    f.corruptRate = 1.0;
    f.corruptBytes = 2;
    runWith(f);
    const auto records = sim->entries(LogEntry::Kind::Record);
    ASSERT_FALSE(records.empty());
    for (const auto& r : records) {
        ASSERT_EQ(r.original.size(), 29u);
        ASSERT_EQ(r.bytes.size(), 29u);
        const auto named = positionsIn(r.note, "corrupted at");
        ASSERT_EQ(named.size(), 2u) << r.note;
        std::vector<size_t> differing;
        for (size_t i = 0; i < 29; ++i)
            if (r.bytes[i] != r.original[i]) differing.push_back(i);
        EXPECT_EQ(differing, named);
    }
}

TEST_F(SimFaults, DroppedBytesAreLeftOut) {
    FaultSettings f;
    f.dropRate = 1.0;
    f.dropBytes = 3;
    runWith(f);
    const auto records = sim->entries(LogEntry::Kind::Record);
    ASSERT_FALSE(records.empty());
    for (const auto& r : records) {
        ASSERT_EQ(r.original.size(), 29u);
        ASSERT_EQ(r.bytes.size(), 26u);
        const auto named = positionsIn(r.note, "dropped at");
        ASSERT_EQ(named.size(), 3u) << r.note;
        std::string expected;
        const std::set<size_t> gone(named.begin(), named.end());
        for (size_t i = 0; i < 29; ++i)
            if (!gone.count(i)) expected.push_back(r.original[i]);
        EXPECT_EQ(r.bytes, expected);
    }
}

TEST_F(SimFaults, AnOverrunLosesOneRunOfBytes) {
    FaultSettings f;
    f.overrunRate = 1.0;
    f.overrunBytes = 6;
    runWith(f);
    const auto records = sim->entries(LogEntry::Kind::Record);
    ASSERT_FALSE(records.empty());
    for (const auto& r : records) {
        ASSERT_EQ(r.original.size(), 29u);
        const auto named = positionsIn(r.note, "overrun lost 6 at");
        ASSERT_EQ(named.size(), 1u) << r.note;
        EXPECT_EQ(r.bytes, std::string(r.original).erase(named[0], 6));
    }
}

TEST_F(SimFaults, ARecordDroppedWhollyIsNotCountedAsSent) {
    startSim();
    FaultSettings f;
    f.dropRate = 1.0;
    f.dropBytes = 64;  // more than the 29 bytes there are
    sim->setFaults(f);
    command("fC", 2);
    std::vector<LogEntry> lost;
    for (int round = 0; round < 250 && lost.size() < 5; ++round) {
        std::this_thread::sleep_for(20ms);
        lost = sim->entries(LogEntry::Kind::Dropped);
    }
    command("c");
    EXPECT_EQ(sim->stats().records, 0u);
    EXPECT_EQ(sim->stats().bytesSent, 0u);
    ASSERT_GE(lost.size(), 5u);
    EXPECT_NE(lost[0].note.find("nothing left"), std::string::npos) << lost[0].note;
    EXPECT_EQ(lost[0].original.size(), 29u);
}

TEST_F(SimFaults, LongRunHasNoLineEnd) {
    FaultSettings f;
    f.longRunRate = 0.5;
    f.longRunBytes = 300;
    runWith(f, 20);
    const auto runs = sim->entries(LogEntry::Kind::LongRun);
    ASSERT_FALSE(runs.empty());
    for (const auto& r : runs) {
        ASSERT_EQ(r.bytes.size(), 300u);
        EXPECT_EQ(r.bytes[0], '0');
        EXPECT_EQ(r.bytes.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_LT(runs.size(), sim->stats().records);  // a rate, not every record
}

TEST_F(SimFaults, SilenceSendsNothingInItsWindow) {
    startSim();
    FaultSettings f;
    f.silenceAt = motionNow(*sim) + 0.1;
    f.silenceFor = 0.2;
    sim->setFaults(f);
    command("C");
    const auto startNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(sim->startTime().time_since_epoch()).count();
    const int64_t from = startNs + static_cast<int64_t>(f.silenceAt * 1e9);
    const int64_t to = from + static_cast<int64_t>(f.silenceFor * 1e9);
    ASSERT_TRUE(sim->waitUntil([](const fastraksim::SimStats& s) { return s.silent; }, 10000ms));
    ASSERT_TRUE(sim->waitUntil([](const fastraksim::SimStats& s) { return !s.silent; }, 10000ms));
    const uint64_t after = sim->stats().records;
    ASSERT_TRUE(sim->waitForRecords(after + 3, 10000ms));
    stopAndCollect();
    size_t before = 0, during = 0, later = 0;
    for (const auto& r : sim->entries(LogEntry::Kind::Record)) {
        if (r.solutionTime < from)
            ++before;
        else if (r.solutionTime < to)
            ++during;
        else
            ++later;
    }
    EXPECT_GT(before, 0u);
    EXPECT_EQ(during, 0u);
    EXPECT_GE(later, 3u);
    EXPECT_EQ(sim->entries(LogEntry::Kind::SilenceStart).size(), 1u);
    EXPECT_EQ(sim->entries(LogEntry::Kind::SilenceEnd).size(), 1u);
}

TEST_F(SimFaults, HangUpClosesTheEmulatorsSide) {
    startSim();
    command("C");
    ASSERT_TRUE(sim->waitForRecords(2, 5000ms));
    sim->hangUp();
    EXPECT_TRUE(driver->seesHangUp());
    EXPECT_TRUE(sim->stats().hungUp);
    EXPECT_EQ(sim->entries(LogEntry::Kind::HangUp).size(), 1u);
}

TEST_F(SimFaults, ScheduledHangUp) {
    startSim();
    FaultSettings f;
    f.hangUpAt = motionNow(*sim) + 0.1;
    sim->setFaults(f);
    EXPECT_TRUE(driver->seesHangUp());
    EXPECT_TRUE(sim->stats().hungUp);
}

TEST(SimFaultSeed, TheSameSeedInjectsTheSameFaults) {
    auto notes = [](uint64_t seed) {
        auto options = quickOptions();
        options.seed = seed;
        FastrakSim sim(options);
        std::string error;
        EXPECT_TRUE(sim.start(error)) << error;
        FaultSettings f;
        f.corruptRate = 0.5;
        sim.setFaults(f);
        PtyDriver driver(sim.slavePath());
        driver.send("fC");
        EXPECT_TRUE(sim.waitForRecords(20, 10000ms));
        driver.send("c");
        std::vector<std::string> out;
        for (const auto& r : sim.entries(LogEntry::Kind::Record)) out.push_back(r.note + "|" + r.bytes);
        out.resize(20);
        return out;
    };
    const auto a = notes(7);
    EXPECT_EQ(a, notes(7));
    EXPECT_NE(a, notes(8));
}

}  // namespace
}  // namespace simtest
