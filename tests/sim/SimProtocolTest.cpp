// The emulator's commands as the next records show them, the exact record bytes, and the reset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "SimFixture.h"

namespace simtest {
namespace {

// Little-endian bytes of a single-precision value, built without relying on the host's order.
std::string le(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}

const std::string kBinaryPose = le(1.5f) + le(-2.25f) + le(3.0f) + le(90.0f) + le(-45.0f) + le(180.0f);
const std::string kAsciiPose = "   1.50  -2.25   3.00  90.00 -45.00 180.00";

class SimRecords : public SimFixture {
protected:
    void SetUp() override {
        startSim();
        sim->setMotion(1, stillAt(1.5, -2.25, 3.0, 90, -45, 180));
    }
};

TEST_F(SimRecords, FormatAndOutputListShapeEachRecord) {
    // Power-up: ASCII, list 2,4,1 -> 47 bytes.
    EXPECT_EQ(point(47), "01 " + kAsciiPose + "\r\n");

    command("f");
    const std::string binary = point(29);
    ASSERT_EQ(binary.size(), 29u);
    EXPECT_EQ(binary, "01 " + kBinaryPose + "\r\n");
    EXPECT_EQ(binary.substr(3, 4), std::string("\x00\x00\xc0\x3f", 4));  // 1.5, least significant byte first

    command("O1,2,4,16,1\r");
    EXPECT_EQ(point(31), "01 " + kBinaryPose + " 0\r\n");

    command("O1,16,1\r");
    EXPECT_EQ(point(7), "01  0\r\n");

    command("O1,0,4,0,2,1\r");
    EXPECT_EQ(point(31), "01  " + kBinaryPose.substr(12) + " " + kBinaryPose.substr(0, 12) + "\r\n");

    command("F");
    command("O1,2,4,16,1\r");
    EXPECT_EQ(point(48), "01 " + kAsciiPose + "0\r\n");

    command("O1,52,54,1\r");
    EXPECT_EQ(point(89), "01   1.500000E+00 -2.250000E+00  3.000000E+00  9.000000E+01 -4.500000E+01  1.800000E+02\r\n");

    // A list without item 1 has no line end at all.
    command("O1,2\r");
    EXPECT_EQ(point(24), "01    1.50  -2.25   3.00");
}

TEST_F(SimRecords, UnparsableCommandsGetErrorRecordsAndChangeNothing) {
    const struct {
        const char* input;
        int code;
    } cases[] = {
        {"Z1,2\r", -99},   {"h1,0,0,1\r", -99}, {"H\r", -1},          {"O1\r", -1},
        {"O1,2,,1\r", -1}, {"H1,a,0,0\r", -2},  {"Hx,1,0,0\r", -2},   {"H5,1,0,0\r", -3},
        {"O1,3,1\r", -3},  {"e1,2\r", -3},      {"H1,1,0,0,0\r", -3}, {"A1,0,0,0,0,0,0,1,0,0\r", -3},
        {"l1,7\r", -3},    {"l2,1\r", -3},      {"O1,1e10,1\r", -3},  {"O1,-1e300,1\r", -3},
    };
    for (const auto& c : cases) {
        driver->send(c.input);
        std::string text(c.input);
        text.pop_back();
        const std::string expected = "2 E*ERROR* " + text + " " + std::to_string(c.code) + "\r\n";
        EXPECT_EQ(driver->read(expected.size()), expected) << c.input;
    }
    // Station 2 has no receiver here, hence l2,1 above is out of range. Nothing else changed:
    EXPECT_EQ(point(47), "01 " + kAsciiPose + "\r\n");

    const auto commands = sim->entries(LogEntry::Kind::Command);
    ASSERT_GE(commands.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(commands[i].bytes, cases[i].input);
        EXPECT_EQ(commands[i].errorCode, cases[i].code) << cases[i].input;
    }
    EXPECT_EQ(sim->stats().errors, std::size(cases));
}

// A single-letter command acts at once; LF or such a letter ends a pending command as broken.
TEST_F(SimRecords, SingleLetterCommandsAreNeverSwallowed) {
    const std::string record = "01 " + kAsciiPose + "\r\n";
    const struct {
        std::string input, expected;
    } cases[] = {
        {"O1,2,4,16,1\nP", "2 E*ERROR* O1,2,4,16,1 -1\r\n" + record},
        {"H1,0P", "2 E*ERROR* H1,0 -1\r\n" + record},
        {std::string("\x01P", 2), std::string("2 E*ERROR* ") + '\x01' + " -99\r\n" + record},
        {"Z1P", "2 E*ERROR* Z1 -99\r\n" + record},
        {"\nP", record},
        {"O1,2,4,1\r\nP", record},  // CR LF ends a command as CR does
    };
    for (const auto& c : cases) {
        driver->send(c.input);
        EXPECT_EQ(driver->read(c.expected.size(), 2000ms), c.expected) << c.input;
    }
    EXPECT_EQ(sim->trackerState().stations[0].items, (std::vector<int>{2, 4, 1}));
}

TEST_F(SimFixture, ReceivedBytesKeepOnlyTheLatest) {
    auto options = quickOptions();
    options.receivedCapacity = 64;
    startSim(options);
    std::string sent;
    for (int i = 0; i < 20; ++i) sent += "H1,1,0," + std::to_string(i) + "\r";
    command(sent, 20);
    EXPECT_EQ(sim->received(), sent.substr(sent.size() - 64));
}

class SimCommands : public SimFixture {
protected:
    void SetUp() override { startSim(); }
    std::string ascii() { return point(47).substr(3, 42); }
};

TEST_F(SimCommands, HemisphereMirrorsReceiversOutsideIt) {
    sim->setMotion(1, stillAt(-10, 2, 3, 0, 0, 0));
    EXPECT_EQ(ascii().substr(0, 21), "  10.00  -2.00  -3.00");  // power-up hemisphere +X
    command("H1,-1,0,0\r");
    EXPECT_EQ(ascii().substr(0, 21), " -10.00   2.00   3.00");
    command("H1,0,0,-1\r");
    EXPECT_EQ(ascii().substr(0, 21), "  10.00  -2.00  -3.00");
    command("H1,0,0,1\r");
    EXPECT_EQ(ascii().substr(0, 21), " -10.00   2.00   3.00");
    command("H1,0,0,0\r");  // automatic: true positions
    EXPECT_EQ(ascii().substr(0, 21), " -10.00   2.00   3.00");
    // Omitted parameters keep their values: (1,0,0) then ",1," makes (1,1,0), which -10+2 leaves outside.
    command("H1,1,0,0\r");
    command("H1,,1,\r");
    EXPECT_EQ(ascii().substr(0, 21), "  10.00  -2.00  -3.00");
    // Every spelling of a number is read.
    command("H1,-1.,0.0,0E+00\r");
    EXPECT_EQ(ascii().substr(0, 21), " -10.00   2.00   3.00");
    EXPECT_EQ(sim->stats().errors, 0u);
}

TEST_F(SimCommands, AlignmentFrameTurnsPositionAndAttitude) {
    sim->setMotion(1, stillAt(10, 2, 3, 0, 0, 0));
    // The frame the module sends: new x along -Z, new y along +X.
    command("R1\r");
    command("A1,0,0,0,0,0,-200,200,0,0\r");
    EXPECT_EQ(ascii(), "  -3.00  10.00  -2.00  90.00   0.00 -90.00");
    command("R1\r");
    EXPECT_EQ(ascii(), "  10.00   2.00   3.00   0.00   0.00   0.00");
    // A quarter turn about Z.
    command("A1,0,0,0,0,1,0,-1,0,0\r");
    EXPECT_EQ(ascii(), "   2.00 -10.00   3.00 -90.00   0.00   0.00");
    // A second alignment is given in the current frame and builds on it.
    command("R1\r");
    command("A1,5,0,0,6,0,0,5,1,0\r");
    EXPECT_EQ(ascii(), "   5.00   2.00   3.00   0.00   0.00   0.00");
    command("A1,0,1,0,1,1,0,0,2,0\r");
    EXPECT_EQ(ascii(), "   5.00   1.00   3.00   0.00   0.00   0.00");
    // Alignment comes after the hemisphere mirror.
    command("R1\r");
    sim->setMotion(1, stillAt(-10, 2, 3, 30, 0, 0));
    command("A1,1,0,0,2,0,0,1,1,0\r");
    EXPECT_EQ(ascii(), "   9.00  -2.00  -3.00  30.00   0.00   0.00");
}

// Past the zenith the receiver is upside down and facing back; every frame says so the same way.
TEST_F(SimCommands, ElevationPastTheZenithIsFoldedNotClamped) {
    const struct {
        double az, el, roll;
        double wantAz, wantEl, wantRoll;
    } cases[] = {
        {30, 100, 10, -150, 80, -170}, {30, -100, 10, -150, -80, -170}, {-170, 135, 0, 10, 45, 180},
        {0, 250, 20, 180, -70, -160},  {40, 50, 60, 40, 50, 60},
    };
    auto same = [](double a, double b) { return std::fabs(std::remainder(a - b, 360.0)) < 0.011; };
    for (const char* frame : {"R1\r", "A1,0,0,0,1,0,0,0,1,0\r"}) {
        command("R1\r");
        command(frame);
        for (const auto& c : cases) {
            sim->setMotion(1, stillAt(10, 0, 0, c.az, c.el, c.roll));
            const std::string text = ascii();
            const double az = std::stod(text.substr(21, 7)), el = std::stod(text.substr(28, 7)),
                         roll = std::stod(text.substr(35, 7));
            EXPECT_TRUE(same(az, c.wantAz) && std::fabs(el - c.wantEl) < 0.011 && same(roll, c.wantRoll))
                << frame << " " << c.az << "," << c.el << "," << c.roll << " reported as " << text;
        }
    }
}

TEST_F(SimCommands, UnitsAndStatus) {
    sim->setMotion(1, stillAt(10, 2, 3, 0, 0, 0));
    command("u");
    EXPECT_EQ(ascii().substr(0, 21), "  25.40   5.08   7.62");
    driver->send("S");
    EXPECT_EQ(driver->read(8), "21S002\r\n");
    command("f");
    driver->send("S");
    EXPECT_EQ(driver->read(8), "21S003\r\n");
    command("F");
    command("U");
    EXPECT_EQ(ascii().substr(0, 21), "  10.00   2.00   3.00");
}

TEST_F(SimFixture, ContinuousOutputTakesStationsInTurn) {
    auto options = quickOptions();
    options.receivers = {true, true, true, false};
    startSim(options);
    command("C");
    ASSERT_TRUE(sim->waitForRecords(9, 5000ms));
    stopAndCollect();
    auto records = sim->entries(LogEntry::Kind::Record);
    ASSERT_GE(records.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(records[i].station, static_cast<int>(i % 3) + 1);
        EXPECT_EQ(records[i].seq, i);
        EXPECT_EQ(records[i].bytes[1], static_cast<char>('1' + i % 3));
        if (i > 0) {
            // One solution every 1/120 s, shared by the three stations.
            EXPECT_NEAR(records[i].solutionTime - records[i - 1].solutionTime, 8333333, 2);
            EXPECT_GE(records[i].time, records[i - 1].endTime);
        }
    }

    sim->clearLog();
    command("l2,0\r");
    command("C");
    ASSERT_TRUE(sim->waitForRecords(sim->stats().records + 4, 5000ms));
    stopAndCollect();
    records = sim->entries(LogEntry::Kind::Record);
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records[0].station, 1);
    EXPECT_EQ(records[1].station, 3);
    EXPECT_EQ(records[2].station, 1);
    EXPECT_EQ(records[3].station, 3);

    // P answers for the active stations only.
    const std::string both = point(94);
    ASSERT_EQ(both.size(), 94u);
    EXPECT_EQ(both.substr(0, 2), "01");
    EXPECT_EQ(both.substr(47, 2), "03");
    EXPECT_FALSE(sim->trackerState().stations[1].active);
}

TEST_F(SimFixture, StylusItemAndButtonFunction) {
    startSim();
    const auto still = stillAt(1, 2, 3, 0, 0, 0);
    // Presses are given in motion time, so the emulator sees them at its own pace.
    auto pressSoon = [&](double& from, double& to) {
        from = motionNow(*sim) + 0.05;
        to = from + 0.1;
        sim->setMotion(1, fastraksim::withPresses(still, fastraksim::PressPattern{1e6, 0.1, from}));
    };
    auto secondsOf = [&](int64_t ns) {
        return std::chrono::duration<double>(std::chrono::nanoseconds(ns) - sim->startTime().time_since_epoch())
            .count();
    };

    // Function 0: the switch shows in item 16 and leaves continuous output alone.
    command("e1,0\r");
    command("O1,2,4,16,1\r");
    command("f");
    command("C");
    double from, to;
    pressSoon(from, to);
    // Wait until records from well after the press have come out.
    for (int round = 0; round < 500; ++round) {
        const auto records = sim->entries(LogEntry::Kind::Record);
        if (!records.empty() && secondsOf(records.back().solutionTime) > to + 0.05) break;
        std::this_thread::sleep_for(20ms);
    }
    bool sawPressed = false, sawAfter = false;
    for (const auto& r : sim->entries(LogEntry::Kind::Record)) {
        const double t = secondsOf(r.solutionTime);
        ASSERT_EQ(r.bytes.size(), 31u);
        const bool inside = t >= from && t < to;
        EXPECT_EQ(r.bytes[28], inside ? '1' : '0') << "at " << t;
        sawPressed = sawPressed || inside;
        sawAfter = sawAfter || t > to + 0.05;
    }
    EXPECT_TRUE(sawPressed);
    EXPECT_TRUE(sawAfter);
    EXPECT_TRUE(sim->trackerState().continuous);
    EXPECT_EQ(sim->stats().stylusEvents, 0u);

    // Function 1: a press while continuous stops it ...
    command("e1,1\r");
    pressSoon(from, to);
    ASSERT_TRUE(sim->waitUntil([](const fastraksim::SimStats& s) { return s.stylusEvents >= 1; }, 10000ms));
    EXPECT_FALSE(sim->trackerState().continuous);
    stopAndCollect();
    // ... and a press while it is off sends one record per active station, showing the press.
    const uint64_t before = sim->stats().records;
    pressSoon(from, to);
    ASSERT_TRUE(sim->waitUntil([&](const fastraksim::SimStats& s) { return s.records >= before + 1; }, 10000ms));
    EXPECT_EQ(sim->stats().stylusEvents, 2u);
    const auto records = sim->entries(LogEntry::Kind::Record);
    EXPECT_EQ(records.back().bytes[28], '1');
    const auto events = sim->entries(LogEntry::Kind::Stylus);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].note, "press stops continuous output");
    EXPECT_EQ(events[1].note, "press sends one record per active station");
}

TEST_F(SimFixture, ResetIsSilentThenRestoresPowerUpState) {
    auto options = quickOptions();
    options.resetSeconds = 0.2;
    startSim(options);
    command("f");
    command("O1,2,4,16,1\r");
    command("H1,-1,0,0\r");
    command("u");
    command("C");
    ASSERT_TRUE(sim->waitForRecords(3, 5000ms));
    driver->send(std::string("\x19P", 2));
    ASSERT_TRUE(sim->waitUntil([](const fastraksim::SimStats& s) { return s.resets >= 1; }, 5000ms));

    const auto state = sim->trackerState();
    EXPECT_FALSE(state.binary);
    EXPECT_FALSE(state.continuous);
    EXPECT_FALSE(state.centimetres);
    EXPECT_EQ(state.stations[0].items, (std::vector<int>{2, 4, 1}));
    EXPECT_EQ(state.stations[0].hemisphere.x, 1.0);
    EXPECT_EQ(state.stations[0].stylusFunction, 1);

    // Nothing was sent between the control-Y and the end of the restart; the P in between was ignored.
    const auto log = sim->log();
    bool inReset = false, sawIgnoredP = false;
    for (const auto& e : log) {
        if (e.kind == LogEntry::Kind::Command && e.bytes == "\x19") inReset = true;
        if (e.kind == LogEntry::Kind::ResetDone) inReset = false;
        if (inReset && e.kind == LogEntry::Kind::Record) ADD_FAILURE() << "record during reset, seq " << e.seq;
        if (inReset && e.kind == LogEntry::Kind::Command && e.bytes == "P") {
            sawIgnoredP = true;
            EXPECT_EQ(e.note, "ignored: restarting");
        }
    }
    EXPECT_TRUE(sawIgnoredP);

    driver->readFor(50ms);  // what was on the line before the reset
    sim->setMotion(1, stillAt(1.5, -2.25, 3.0, 90, -45, 180));
    EXPECT_EQ(point(47), "01 " + kAsciiPose + "\r\n");
}

float floatAt(const std::string& bytes, size_t at) {
    uint32_t bits = 0;
    for (int i = 3; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

TEST_F(SimFixture, TheDriversSetUpSequenceIsAcceptedAndShapesTheStream) {
    auto options = quickOptions();
    options.receivers = {true, true, true, true};
    startSim(options);
    sim->setMotion(2, stillAt(10, 2, 3, 0, 0, 0));
    driver->send(std::string("\x19", 1));
    ASSERT_TRUE(sim->waitUntil([](const fastraksim::SimStats& s) { return s.resets >= 1; }, 5000ms));
    std::string alignment;
    for (char s = '1'; s <= '4'; ++s) alignment += std::string("A") + s + ",0,0,0,0,0,-200,200,0,0\r";
    ASSERT_EQ(alignment.size(), 104u);
    driver->send("R1\rR2\rR3\rR4\r");
    driver->send(alignment);
    driver->send("H1,0,0,-1\rH2,0,0,-1\rH3,0,0,1\rH4,0,0,0\r");
    driver->send("e1,0\r");
    driver->send("O1,2,4,16,1\rO2,2,4,1\rO3,2,4,1\rO4,2,4,1\r");
    driver->send("fC");
    ASSERT_TRUE(sim->waitForRecords(8, 5000ms));
    stopAndCollect();
    EXPECT_EQ(sim->stats().errors, 0u);
    const auto records = sim->entries(LogEntry::Kind::Record);
    ASSERT_GE(records.size(), 8u);
    for (const auto& r : records) EXPECT_EQ(r.bytes.size(), r.station == 1 ? 31u : 29u);
    // Station 2 at (10,2,3) lies outside -Z, is mirrored, then turned into the aligned frame.
    const std::string& second = records[1].bytes;
    ASSERT_EQ(second.substr(0, 2), "02");
    EXPECT_EQ(floatAt(second, 3), 3.0f);
    EXPECT_EQ(floatAt(second, 7), -10.0f);
    EXPECT_EQ(floatAt(second, 11), 2.0f);
    EXPECT_NEAR(floatAt(second, 15), 90.0f, 1e-4);
    EXPECT_NEAR(floatAt(second, 19), 0.0f, 1e-4);
    EXPECT_NEAR(floatAt(second, 23), -90.0f, 1e-4);
}

TEST(SimLine, PacingSpeedComesFromTheDriversSettingUnlessOverridden) {
    fastraksim::SimOptions options = quickOptions();
    options.paced = true;
    FastrakSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    EXPECT_EQ(sim.lineBaud(), 9600u);  // as the emulator set the line up
    {
        PtyDriver driver(sim.slavePath(), B38400);
        ASSERT_TRUE(driver.isOpen());
        EXPECT_EQ(sim.lineBaud(), 38400u);
        sim.setBaud(19200);
        EXPECT_EQ(sim.lineBaud(), 19200u);
        sim.setBaud(0);
        EXPECT_EQ(sim.lineBaud(), 38400u);
    }
}

// A driver at another speed than the tracker's (--baud) reads garbage and is not understood, as on
// a real line; setting the right speed brings both directions back.
TEST_F(SimFixture, ADriverAtAnotherSpeedIsGarbledBothWays) {
    fastraksim::SimOptions options = quickOptions();
    options.baud = 9600;
    startSim(options, B9600);
    auto setSpeed = [&](speed_t speed) {
        termios tio{};
        ASSERT_EQ(::tcgetattr(driver->fd(), &tio), 0);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ASSERT_EQ(::tcsetattr(driver->fd(), TCSANOW, &tio), 0);
    };
    sim->setMotion(1, stillAt(1.5, -2.25, 3.0, 90, -45, 180));
    ASSERT_TRUE(driver->send("C"));
    EXPECT_NE(driver->readFor(200ms).find("01 " + kAsciiPose + "\r\n"), std::string::npos);

    setSpeed(B115200);
    ASSERT_TRUE(driver->send("c"));  // stop continuous: not understood, so records keep coming
    driver->readFor(100ms);          // what left before the change
    const std::string garbage = driver->readFor(300ms);
    EXPECT_GT(garbage.size(), 200u);
    EXPECT_EQ(garbage.find("01 "), std::string::npos);

    setSpeed(B9600);
    EXPECT_NE(driver->readFor(300ms).find("01 " + kAsciiPose + "\r\n"), std::string::npos);
    std::vector<std::string> notes;
    for (const LogEntry& e : sim->entries(LogEntry::Kind::LineSpeed)) notes.push_back(e.note);
    EXPECT_EQ(notes,
              (std::vector<std::string>{"the driver set 115200 baud, the tracker runs at 9600: garbled both ways",
                                        "the driver's speed matches the tracker's again"}));
    bool ignored = false;
    for (const LogEntry& e : sim->entries(LogEntry::Kind::Command))
        ignored |= e.bytes == "c" && e.note == "ignored: the driver's speed differs from the tracker's";
    EXPECT_TRUE(ignored);
}

TEST(SimLine, SolutionsTheLineCannotCarryAreDropped) {
    fastraksim::SimOptions options = quickOptions();
    options.paced = true;
    options.baud = 2400;  // a 47-byte record takes 196 ms, over 23 solution cycles
    FastrakSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    PtyDriver driver(sim.slavePath(), B2400);
    driver.send("C");
    ASSERT_TRUE(sim.waitForRecords(2, 5000ms));
    const auto records = sim.entries(LogEntry::Kind::Record);
    ASSERT_GE(records.size(), 2u);
    EXPECT_GE(sim.stats().solutionsDropped, 20u);
    // The next record is a later solution, never a stale queued one.
    const int64_t gap = records[1].solutionTime - records[0].solutionTime;
    EXPECT_GE(gap, 190000000);
    EXPECT_EQ(gap % 8333333, 0);
}

}  // namespace
}  // namespace simtest
