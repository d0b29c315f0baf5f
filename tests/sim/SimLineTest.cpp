// The emulated line under load: each station's share, the output buffer, a port nobody holds.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "SimFixture.h"

namespace simtest {
namespace {

using fastraksim::SimOptions;
using fastraksim::SimStats;

fastraksim::SimOptions pacedAt(unsigned baud, int stations, double latencyMs) {
    SimOptions o = quickOptions();
    o.paced = true;
    o.baud = baud;
    o.latencySeconds = latencyMs / 1000.0;
    for (int s = 0; s < 4; ++s) o.receivers[s] = s < stations;
    return o;
}

// When the line cannot carry every solution, the records that go out still take the stations in
// turn; a record's latency delays it without taking line time from the others.
TEST(SimLineShare, EveryActiveStationGetsItsShareOfWhatTheLineCarries) {
    const struct {
        unsigned baud;
        int stations;
        double latencyMs;
    } cases[] = {
        {9600, 1, 4},   {9600, 2, 4},   {9600, 4, 4},   {19200, 1, 4},   {19200, 2, 4},    {19200, 4, 4},
        {115200, 1, 4}, {115200, 2, 4}, {115200, 4, 4}, {115200, 1, 50}, {115200, 4, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " baud, " + std::to_string(c.stations) + " stations, latency " +
                     std::to_string(c.latencyMs) + " ms");
        FastrakSim sim(pacedAt(c.baud, c.stations, c.latencyMs));
        std::string error;
        ASSERT_TRUE(sim.start(error)) << error;
        PtyDriver driver(sim.slavePath(), c.baud == 9600 ? B9600 : c.baud == 19200 ? B19200 : B115200);
        driver.send("fC");
        const uint64_t wanted = static_cast<uint64_t>(std::max(24, 8 * c.stations));
        for (int round = 0; round < 200 && sim.stats().records < wanted; ++round) driver.readFor(50ms);
        driver.send("c");
        const auto records = sim.entries(LogEntry::Kind::Record);
        ASSERT_GE(records.size(), wanted);
        for (size_t i = 1; i < records.size(); ++i)
            ASSERT_EQ(records[i].station, records[i - 1].station % c.stations + 1) << "record " << i;
        // Records per second of the emulator's own clock, against what the line and the tracker allow:
        // a 29-byte record takes 290 bit times, and there are 120 solutions a second.
        const double span = static_cast<double>(records.back().solutionTime - records.front().solutionTime) / 1e9;
        const double rate = static_cast<double>(records.size() - 1) / span;
        EXPECT_GE(rate, 0.6 * std::min(120.0, c.baud / 290.0));
        EXPECT_LE(rate, 121.0);
    }
}

TEST_F(SimFixture, TheOutputBufferIsBoundedAndLosesWhatDoesNotFit) {
    startSim(pacedAt(9600, 1, 0), B9600);
    const int polls = 2000;  // 94 kB of answers, more than a minute of line time
    ASSERT_TRUE(driver->send(std::string(polls, 'P')));
    ASSERT_TRUE(sim->waitForCommands(polls, 10000ms));
    const SimStats s = sim->stats();
    EXPECT_LE(s.queuedBytes, 1024u);
    EXPECT_GT(s.overflows, static_cast<uint64_t>(polls) - 1024 / 47 - 10);
    // Every poll is answered, waiting or logged as lost.
    EXPECT_EQ(s.records + s.overflows + s.queuedBytes / 47 + (s.queuedBytes % 47 ? 1 : 0),
              static_cast<uint64_t>(polls));
    const auto lost = sim->entries(LogEntry::Kind::Dropped);
    ASSERT_EQ(lost.size(), s.overflows);
    EXPECT_EQ(lost.front().note, "record: output buffer full");
    EXPECT_EQ(lost.front().station, 1);
}

TEST_F(SimFixture, WithNoReaderTheRecordsAreLostNotKeptForTheNextOne) {
    startSim();
    command("fC", 2);
    ASSERT_TRUE(sim->waitForRecords(5, 5000ms));
    driver.reset();
    const int64_t closed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(FastrakSim::Clock::now().time_since_epoch()).count();
    EXPECT_TRUE(sim->waitUntil([](const SimStats& s) { return !s.readerPresent && s.lostNoReader >= 20; }, 3000ms));
    const int64_t reopened =
        std::chrono::duration_cast<std::chrono::nanoseconds>(FastrakSim::Clock::now().time_since_epoch()).count();
    driver = std::make_unique<PtyDriver>(sim->slavePath());
    ASSERT_TRUE(driver->isOpen());
    std::string got = driver->readFor(100ms);
    command("c");
    got += driver->readFor(100ms);

    std::string sentSince;
    size_t sentToNobody = 0;
    for (const auto& r : sim->entries(LogEntry::Kind::Record)) {
        if (r.time >= reopened) sentSince += r.bytes;
        sentToNobody += r.time > closed + 50000000 && r.time < reopened;
    }
    EXPECT_EQ(sentToNobody, 0u);
    // The new reader sees only what was sent after it opened the port.
    EXPECT_FALSE(got.empty());
    EXPECT_TRUE(got == sentSince.substr(0, got.size()))
        << got.size() << " bytes read, " << sentSince.size() << " sent since the port was opened again";
    size_t lost = 0;
    for (const auto& d : sim->entries(LogEntry::Kind::Dropped)) lost += d.note == "record: no reader";
    EXPECT_EQ(lost, sim->stats().lostNoReader);
}

// Settings the command line refuses can still reach the library: none may stop the emulator.
TEST(SimWildSettings, OutOfRangeSettingsNeitherHangNorOverflow) {
    for (double rate : {1e-11, 1e-300, std::nan(""), HUGE_VAL, -5.0, 1e12}) {
        SimOptions o = quickOptions();
        o.solutionRate = rate;
        o.latencySeconds = std::nan("");
        o.resetSeconds = std::nan("");
        FastrakSim sim(o);
        std::string error;
        ASSERT_TRUE(sim.start(error)) << error;
        PtyDriver driver(sim.slavePath());
        driver.send("CP");
        EXPECT_EQ(driver.read(47).size(), 47u) << "rate " << rate;
        sim.setSolutionRate(rate);
        sim.setLatency(1e300);
        driver.send(std::string("\x19", 1));
        EXPECT_TRUE(sim.waitUntil([](const SimStats& s) { return s.resets == 1; }, 5000ms)) << "rate " << rate;
        sim.stop();
    }
}

}  // namespace
}  // namespace simtest
