// fastrak-host's view in-process: which station feeds each output, the table at every terminal
// width, log lines wrapped to it, the configuration summary shown once per device, and the module's
// line reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceFacts.h"
#include "devices/ModuleLines.h"
#include "devices/PoseBoard.h"
#include "HostConfig.h"
#include "view/LineWrap.h"
#include "view/SummaryFilter.h"
#include "view/TableView.h"

namespace {

using namespace fastrakhost;

DeviceSection section(const std::string& text) {
    DeviceSection device;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> words;
        std::string problem;
        EXPECT_TRUE(splitWords(line, words, problem)) << line;
        device.options.push_back({0, words.at(0), {words.begin() + 1, words.end()}});
    }
    return device;
}

TEST(HostView, StationsPortAndBaudFollowTheModulesReadingOfTheLines) {
    struct Case {
        const char* lines;
        const char* port;
        const char* baud;
        std::vector<uint32_t> trackers, styluses;
    } cases[] = {
        {"", "com1", "38400", {1, 2}, {}},
        {"port /dev/ttyUSB0\nbaud 115200\nsensors 0 1 0 1\nstylus 4\nstylus 2\n",
         "/dev/ttyUSB0",
         "115200",
         {2, 4},
         {2, 4}},
        {"SerialPort com3\nport com4\nSENSOR 0x1 0 0 1\nsensors 0 0 1 0\n", "com4", "38400", {3}, {}},
        // Lines the module refuses change nothing.
        {"sensors 1 x 0 0\nsensors 1 1 1\nstylus 5\nstylus\nport a b\nbaud\n", "com1", "38400", {1, 2}, {}},
    };
    for (const Case& c : cases) {
        const DeviceFacts facts = factsOf(section(c.lines));
        EXPECT_EQ(facts.port, c.port) << c.lines;
        EXPECT_EQ(facts.baud, c.baud) << c.lines;
        EXPECT_EQ(facts.trackerStations, c.trackers) << c.lines;
        EXPECT_EQ(facts.stylusStations, c.styluses) << c.lines;
    }
    EXPECT_TRUE(factsOf(section("")).caveAngles);
    EXPECT_FALSE(factsOf(section("CaveCoordinates YES\ncavecoord OFF\ncavecoord maybe\n")).caveAngles);
    const DeviceFacts facts = factsOf(section("sensors 0 1 0 1\nstylus 3\n"));
    EXPECT_EQ(facts.trackerStation(2), 4u);
    EXPECT_EQ(facts.stylusStation(1), 3u);
    EXPECT_EQ(facts.trackerStation(3), 0u);  // an output the sensors line does not explain
    EXPECT_EQ(sensorsLineWith(facts, {3}), "sensors 0 1 1 1");
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> all;
    for (std::string word; in >> word;) all.push_back(word);
    return all;
}

// Every width: no line wider, whole columns in the header's places, every value whole (a value
// cut at the edge would differ from the pose by more than its last shown digit).
TEST(HostView, TableKeepsWholeAlignedColumnsAtEveryWidth) {
    PoseBoard board;
    board.setState("lab-tracker", DeviceState::Running);
    board.setState("b", DeviceState::Silent);
    Sample pose;
    pose.device = "lab-tracker";
    pose.output = 1;
    pose.station = 3;
    const double values[6] = {-12.34567, 81.5, 0.25, -179.99, 89.5, 0.01};
    std::copy(values, values + 6, pose.pose);
    pose.arrived = SteadyTime() + std::chrono::seconds(10);
    board.publish(pose);
    Sample stylus = pose;
    stylus.kind = Sample::Kind::Controller;
    stylus.buttonCount = 1;
    stylus.buttons = 1;
    board.publish(stylus);
    board.expect("b", Sample::Kind::Tracker, 2, 1);
    // Set up, nothing received yet, records only from a station its sensors line leaves off.
    board.setState("right hand", DeviceState::Running);
    LineReport stray;
    stray.kind = LineReport::Kind::Stations;
    stray.device = "right hand";
    stray.stations = {2};
    board.take(stray, SteadyTime());
    ViewHead head;
    head.elapsedSeconds = 3725.9;
    head.files = {"poses.csv", "poses.jsonl"};
    head.devices = {{"lab-tracker", "/dev/ttyUSB0", "115200"},
                    {"b", "com2", "9600"},
                    {"right hand", "/tmp/fastrak-host-4242-AbCdEf/device-3.pty", "38400"}};
    const SteadyTime now = pose.arrived + std::chrono::milliseconds(500);

    const struct {
        size_t width;
        std::vector<std::string> header;
    } cases[] = {
        {120,
         {"device", "out", "station", "x", "ft", "y", "ft", "z", "ft", "az", "el", "roll", "Hz", "age", "s", "state"}},
        // The age goes before a device's name is cut.
        {80, {"device", "out", "stn", "x", "ft", "y", "ft", "z", "ft", "az", "el", "roll", "Hz"}},
        {60, {"device", "out", "x", "ft", "y", "ft", "z", "ft", "az", "el", "roll"}},
        {40, {"device", "out", "x", "ft", "y", "ft", "z", "ft"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = renderTable(board, now, c.width, head);
        for (const std::string& line : lines) EXPECT_LE(line.size(), c.width) << c.width << ": " << line;
        size_t at = 0;
        while (at < lines.size() && lines[at].compare(0, 6, "device") != 0) ++at;
        ASSERT_LT(at + 4, lines.size()) << c.width;
        const std::string& header = lines[at];
        EXPECT_EQ(words(header), c.header) << c.width;

        // The head's items stay whole: side by side while they fit, an item wider than the
        // terminal wrapped between its words (a word wider than a row goes on in the next), its
        // state never cut. Compared without blanks.
        auto solid = [](std::string text) {
            text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
            return text;
        };
        std::string headText;
        for (size_t i = 0; i < at; ++i) headText += solid(lines[i]);
        for (const char* item :
             {"fastrak-host 1:02:05", "recording poses.csv, poses.jsonl", "units: feet, degrees",
              "b on com2 at 9600 baud: silent",
              "right hand on /tmp/fastrak-host-4242-AbCdEf/device-3.pty at 38400 baud: waiting for records; records "
              "from station 2 (not on the sensors line)"}) {
            EXPECT_NE(headText.find(solid(item)), std::string::npos) << c.width << item << "\n" << headText;
        }

        const std::string& tracker = lines[at + 1];
        const std::string& waiting = lines[at + 2];
        const std::string& buttons = lines[at + 3];
        const std::vector<std::string> cells = words(tracker);
        const bool station = header.find(" st") != std::string::npos;
        const size_t first = station ? 3 : 2;
        ASSERT_GE(cells.size(), first + 3) << tracker;
        EXPECT_EQ(std::string("lab-tracker").compare(0, cells[0].size(), cells[0]), 0) << tracker;
        if (c.width >= 80) {
            EXPECT_EQ(cells[0], "lab-tracker");
        }
        EXPECT_EQ(cells[1], "T1");
        if (station) {
            EXPECT_EQ(cells[2], "3");
            EXPECT_EQ(words(waiting)[2], "1") << waiting;  // known before the first record
        }
        const char* numeric[] = {"x", "y", "z", "az", "el", "roll"};
        size_t end = tracker.find(" T1 ");
        for (size_t v = 0; v < 6 && first + v < cells.size(); ++v) {
            const std::string& text = cells[first + v];
            const size_t point = text.find('.');
            ASSERT_NE(point, std::string::npos) << text;
            const double step = std::pow(10.0, -static_cast<double>(text.size() - point - 1));
            EXPECT_LE(std::fabs(std::strtod(text.c_str(), nullptr) - values[v]), step / 2 + 1e-9)
                << c.width << ": " << numeric[v] << " shown as " << text;
            // Right-aligned under its header.
            end = tracker.find(" " + text, end) + 1 + text.size();
            const size_t headerEnd =
                header.find(numeric[v] + std::string(v < 3 ? " ft" : "")) + std::strlen(numeric[v]) + (v < 3 ? 3 : 0);
            EXPECT_EQ(end, headerEnd) << c.width << ": " << tracker;
        }
        EXPECT_NE(waiting.find("waiting"), std::string::npos) << waiting;
        const std::vector<std::string> press = words(buttons);
        ASSERT_GT(press.size(), first + 1) << buttons;
        EXPECT_EQ(press[1] + " " + press[first] + " " + press[first + 1], "C1 buttons 1") << buttons;
    }
}

// Log lines fit the width whole: broken between words, a word wider than a row cut, nothing lost.
TEST(HostView, LogLinesWrapBetweenWordsToTheWidth) {
    const struct {
        const char* line;
        size_t width;
        std::vector<std::string> rows;
    } cases[] = {
        {"short line", 20, {"short line"}},
        {"exactly twenty chars", 20, {"exactly twenty chars"}},
        {"cannot find the file lab.conf in the folder", 20, {"cannot find the file", "  lab.conf in the", "  folder"}},
        {"a  b   c", 3, {"a", "b", "c"}},
        {"(docs/troubleshooting.md) x", 12, {"(docs/troubl", "  eshooting.", "  md) x"}},
        {"trailing blanks   ", 10, {"trailing", "  blanks"}},
    };
    for (const auto& c : cases) EXPECT_EQ(wrapLine(c.line, c.width), c.rows) << c.line << " at " << c.width;
}

TEST(HostView, SummaryReachesTheLogOncePerDeviceUnlessItChanges) {
    auto block = [](const std::string& prefix, const std::string& device, const std::string& port) {
        return std::vector<std::string>{prefix + "INFO: DEVICE NAME           : " + device,
                                        prefix + "INFO: SERIAL PORT           : " + port,
                                        prefix + "INFO: TRACKER ORDER         : <Real tra> -> <Output tra>", "",
                                        prefix + "INFO: -----------------------"};
    };
    auto join = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const auto a1 = block("Dec 08 10:00:00 a 7f01 ", "a", "com1");
    const auto a2 = block("Dec 08 10:05:13 a 7f02 ", "a", "com1");  // the same after a re-set-up
    const auto a3 = block("Dec 08 10:06:00 a 7f03 ", "a", "com2");
    const auto b1 = block("Dec 08 10:00:01 b 7f04 ", "b", "com1");
    const std::vector<std::string> other = {"fastrak-host: INFO: a: the device is back"};
    std::vector<std::string> intruded = a2;
    intruded.insert(intruded.begin() + 2, "fastrak-host: WARNING: b: no record for 5 s");
    const struct {
        const char* what;
        std::vector<std::string> in, out;
    } cases[] = {
        {"repeated", join({a1, b1, other, a2, b1}), join({a1, b1, other})},
        {"changed", join({a1, a3}), join({a1, a3})},
        {"another line inside", join({a1, intruded}), join({a1, intruded})},
        {"never closed", join({a1, {a2.begin(), a2.begin() + 2}}), join({a1, {a2.begin(), a2.begin() + 2}})},
    };
    for (const auto& c : cases) {
        SummaryFilter filter;
        std::vector<std::string> out;
        for (const std::string& line : c.in) filter.take(line, out);
        filter.release(out);
        EXPECT_EQ(out, c.out) << c.what;
    }
}

TEST(HostView, ModuleReportsAreReadForTheirDeviceOnly) {
    const std::string damage =
        "WARNING: CFastrak: Damaged data on the line: 648 frames dropped, 12 records received since the last report.";
    const std::string stations =
        "WARNING: CFastrak: Records arrive from stations 3, 4, which the sensors line leaves off (240 records since "
        "the last report); they also share the tracker's update rate.";
    using Kind = LineReport::Kind;
    const struct {
        std::string line;
        bool read;
        Kind kind;
        std::string device;
        uint64_t frames, records;
        std::vector<uint32_t> stations;
    } cases[] = {
        {"lab: " + damage, true, Kind::Damage, "lab", 648, 12, {}},
        {"Dec 08 10:52:03 lab[140233]: " + damage, true, Kind::Damage, "lab", 648, 12, {}},
        {"10:52:03 lab-2: " + damage, true, Kind::Damage, "lab-2", 648, 12, {}},
        {"lab: WARNING: CFastrak: Damaged data on the line: 1 frame dropped, 1 record received since the last "
         "report.",
         true,
         Kind::Damage,
         "lab",
         1,
         1,
         {}},
        {"lab[7]: " + stations, true, Kind::Stations, "lab", 0, 240, {3, 4}},
        {"lab: WARNING: CFastrak: Records arrive from station 3, which the sensors line leaves off (1 record since "
         "the last report); they also share the tracker's update rate.",
         true,
         Kind::Stations,
         "lab",
         0,
         1,
         {3}},
        // Another device's line, a host line quoting one, a plural that does not agree, a cut line.
        {"other: " + damage, false, Kind::Damage, "", 0, 0, {}},
        {"fastrak-host: WARNING: lab: " + damage, false, Kind::Damage, "", 0, 0, {}},
        {"fastrak-host: INFO: lab: " + damage, false, Kind::Damage, "", 0, 0, {}},
        {"lab: WARNING: CFastrak: Damaged data on the line: 1 frames dropped, 2 records received since the last "
         "report.",
         false,
         Kind::Damage,
         "",
         0,
         0,
         {}},
        {"lab: " + damage.substr(0, 60), false, Kind::Damage, "", 0, 0, {}},
        {"lab: " + stations.substr(0, stations.size() - 1), false, Kind::Damage, "", 0, 0, {}},
    };
    const ModuleLines lines({"lab", "lab-2"});
    for (const auto& c : cases) {
        LineReport report;
        ASSERT_EQ(lines.read(c.line, report), c.read) << c.line;
        if (!c.read) continue;
        EXPECT_EQ(report.kind, c.kind) << c.line;
        EXPECT_EQ(report.device, c.device) << c.line;
        EXPECT_EQ(report.frames, c.frames) << c.line;
        EXPECT_EQ(report.records, c.records) << c.line;
        EXPECT_EQ(report.stations, c.stations) << c.line;
    }
}

// A running device shows a damaged line from a report with more frames dropped than records to a
// report that says otherwise or a lapse of reports; the warning is due once per onset.
TEST(HostView, DamageReportsSetAndEndTheDamagedLineState) {
    const SteadyTime t0 = SteadyTime() + std::chrono::hours(1);
    auto damage = [](uint64_t frames, uint64_t records) {
        LineReport report;
        report.device = "d";
        report.frames = frames;
        report.records = records;
        return report;
    };
    const struct {
        int atSeconds;  // a report then, or (frames 0, records 0) no report: only a look
        uint64_t frames, records;
        DeviceState shown;
        bool warning;
    } steps[] = {
        {0, 5, 5, DeviceState::Running, false},       {1, 648, 12, DeviceState::DamagedLine, true},
        {11, 90, 3, DeviceState::DamagedLine, false}, {12, 0, 0, DeviceState::DamagedLine, false},
        {21, 2, 700, DeviceState::Running, false},    {31, 40, 2, DeviceState::DamagedLine, true},
        {44, 0, 0, DeviceState::DamagedLine, false},  {45, 0, 0, DeviceState::Running, false},
        {60, 9, 1, DeviceState::DamagedLine, true},
    };
    PoseBoard board;
    board.setState("d", DeviceState::Running);
    uint64_t sum = 0;
    for (const auto& step : steps) {
        const SteadyTime now = t0 + std::chrono::seconds(step.atSeconds);
        if (step.frames + step.records > 0) board.take(damage(step.frames, step.records), now);
        sum += step.frames;
        EXPECT_EQ(board.state("d", now), step.shown) << step.atSeconds;
        EXPECT_EQ(board.takeDamageWarning("d"), step.warning) << step.atSeconds;
    }
    EXPECT_EQ(board.notes("d").damagedFrames, sum);
    // The stations report is no damage report: a damaged line stays so, its warning still due.
    const SteadyTime late = t0 + std::chrono::seconds(80);
    board.take(damage(30, 1), late);
    LineReport stray;
    stray.kind = LineReport::Kind::Stations;
    stray.device = "d";
    stray.stations = {4, 3};
    board.take(stray, late);
    EXPECT_TRUE(board.takeStrayWarning("d"));
    EXPECT_FALSE(board.takeStrayWarning("d"));  // once per new station
    EXPECT_EQ(board.state("d", late), DeviceState::DamagedLine);
    EXPECT_TRUE(board.takeDamageWarning("d"));
    EXPECT_EQ(board.notes("d").damagedFrames, sum + 30);
    // A silent or stopped device stays so; the stations report leaves the state alone and gives the hint.
    board.setState("d", DeviceState::Silent);
    EXPECT_EQ(board.state("d", t0 + std::chrono::seconds(60)), DeviceState::Silent);
    board.take(stray, t0);
    EXPECT_EQ(board.hint("d"), "records from stations 3, 4 (not on the sensors line)");
    EXPECT_EQ(board.hint("e"), "");
}

}  // namespace
