// init on a real serial line: the exact bytes the tracker receives, the waits, the outputs
// claimed, the option diagnostics and the failures that stop set-up before anything is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

#include "../calib/plugins/ProbeState.h"
#include "calib/CDynamicLibH.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"
#include "platform/win32.h"
#include "serial/CRS232H.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/HostStorage.h"
#include "support/PtyPair.h"

// The device's test hook: the port it opened.
struct FastrakTestAccess {
    static CRS232H* port(CFastrak& device) { return device.serialPort; }
};

using testsupport::CaptureStdout;
using testsupport::ConfigBuilder;
using testsupport::HostStorage;
using testsupport::splitLines;
using testsupport::StorageKind;

namespace {

std::mutex waitsLock;
std::vector<uint32_t> recordedWaits;

void recordWait(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(waitsLock);
    recordedWaits.push_back(milliseconds);
}

const std::string kAlignment =
    "R1\rR2\rR3\rR4\r"
    "A1,0,0,0,0,0,-200,200,0,0\rA2,0,0,0,0,0,-200,200,0,0\r"
    "A3,0,0,0,0,0,-200,200,0,0\rA4,0,0,0,0,0,-200,200,0,0\r";

struct Line {
    uint32_t number;
    std::string keyword;
    std::vector<std::string> args;
};

class DeviceSetup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        previousSleeper = platform::setSleeper(&recordWait);
        recordedWaits.clear();
        logger.setDefaults();
        logger.setName("Lab");
        logger.showDate = logger.showTime = logger.showThreadId = 0;
        info.trackerStorage = trackers.storage();
        info.controllerStorage = controllers.storage();
        info.runFlag = &runFlag;
    }

    void TearDown() override {
        delete device;
        platform::setSleeper(previousSleeper);
    }

    // init with the port on the test's line, then the given lines; returns init's result.
    int32_t initWith(const std::vector<Line>& lines, std::string* output = nullptr) {
        config.add(1, "port", {pty.slavePath()});
        for (const Line& line : lines) {
            const uint32_t index = config.add(line.number, line.keyword);
            OptionLine& entry = config.line(index);
            keep.push_back(line.args);
            for (const std::string& arg : keep.back()) entry.args[entry.argCount++] = const_cast<char*>(arg.c_str());
        }
        device = new CFastrak(config.get(), &logger);
        CaptureStdout capture;
        const int32_t result = device->init(&info);
        const std::string text = capture.finish();
        if (output != nullptr) *output = text;
        return result;
    }

    std::vector<uint32_t> waits() {
        std::lock_guard<std::mutex> hold(waitsLock);
        return recordedWaits;
    }

    testsupport::PtyPair pty;
    Logger logger;
    ConfigBuilder config;
    std::deque<std::vector<std::string>> keep;
    HostStorage trackers{StorageKind::Tracker};
    HostStorage controllers{StorageKind::Controller};
    int32_t runFlag = 1;
    InitInfo info{};
    CFastrak* device = nullptr;
    platform::SleepFunction previousSleeper = nullptr;
};

struct SequenceCase {
    const char* name;
    std::vector<Line> lines;
    uint32_t trackersBefore;
    std::string bytes;
    std::vector<uint32_t> waits;
    uint32_t trackersAfter;
    uint32_t controllersAfter;
    int32_t configureCode;
};

TEST_F(DeviceSetup, CommandSequenceAndClaimsFollowTheOptions) {
    const std::string trackerLists = "O1,2,4,1\rO2,2,4,1\rO3,2,4,1\rO4,2,4,1\r";
    const std::vector<SequenceCase> cases = {
        {"defaults", {}, 3, kAlignment + "H1,0,-1,0\rH2,0,-1,0\r" + trackerLists + "fC", {1000, 1000, 1000}, 5, 0, 2},
        {"stylus on a tracker station, one hemisphere",
         {{2, "stylus", {"1"}}, {3, "hemisphere", {"+z", "2"}}},
         0,
         kAlignment + "H1,0,-1,0\rH2,0,0,1\re1,0\rO1,2,4,16,1\rO2,2,4,1\rO3,2,4,1\rO4,2,4,1\rfC",
         {1000, 1000, 1000},
         2,
         1,
         1},
        {"reset, stylus-only station, hemisphere list ended by all",
         {{2, "RESET", {"ON"}},
          {3, "Sensors", {"0", "0", "1", "0"}},
          {4, "stylus", {"4"}},
          {5, "hemisphere", {"auto", "all", "9"}}},
         0,
         "\x19" + kAlignment + "H3,0,0,0\re4,0\rO1,2,4,1\rO2,2,4,1\rO3,2,4,1\rO4,16,1\rfC",
         {20000, 1000, 1000},
         1,
         1,
         1},
        {"two styluses claim two controller outputs",
         {{2, "sensors", {"1", "0", "0", "1"}},
          {3, "stylus", {"1"}},
          {4, "stylus", {"3"}},
          {5, "hemisphere", {"x", "4"}}},
         0,
         kAlignment + "H1,0,-1,0\rH4,1,0,0\re1,0\re3,0\rO1,2,4,16,1\rO2,2,4,1\rO3,16,1\rO4,2,4,1\rfC",
         {1000, 1000, 1000},
         2,
         2,
         1},
        {"one hemisphere word for every tracker station",
         {{2, "sensors", {"1", "0", "1", "1"}}, {3, "hemisphere", {"+x"}}},
         0,
         kAlignment + "H1,1,0,0\rH3,1,0,0\rH4,1,0,0\r" + trackerLists + "fC",
         {1000, 1000, 1000, 1000},
         3,
         0,
         2},
        {"no station on: no processor, no storage, only the lists",
         {{2, "sensors", {"0", "0", "0", "0"}}},
         0,
         trackerLists + "fC",
         {},
         0,
         0,
         2},
    };
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        delete device;
        device = nullptr;
        config = ConfigBuilder();
        keep.clear();
        recordedWaits.clear();
        trackers.setCount(c.trackersBefore);
        controllers.setCount(0);
        if (c.trackersAfter == 0) info.trackerStorage = nullptr;
        if (c.controllersAfter == 0) info.controllerStorage = nullptr;
        std::string output;
        ASSERT_EQ(initWith(c.lines, &output), 1) << output;
        EXPECT_EQ(pty.read(c.bytes.size(), 5000), c.bytes);
        EXPECT_EQ(pty.readAll(50), "");
        EXPECT_EQ(waits(), c.waits);
        EXPECT_EQ(trackers.count(), c.trackersAfter);
        EXPECT_EQ(controllers.count(), c.controllersAfter);
        EXPECT_EQ(device->configure(), c.configureCode);
        EXPECT_TRUE(device->stop());
        EXPECT_EQ(pty.read(1, 5000), "c");
        info.trackerStorage = trackers.storage();
        info.controllerStorage = controllers.storage();
    }
}

TEST_F(DeviceSetup, EveryBadDeviceOptionIsReportedAndNothingIsSent) {
    std::string output;
    EXPECT_EQ(initWith({{3, "sensors", {"1", "x", "0", "0"}},
                        {4, "stylus", {"5"}},
                        {5, "hemisphere", {"up"}},
                        {6, "hemisphere", {"x", "1", "2", "3", "4", "all"}},
                        {7, "reset", {"maybe"}},
                        {8, "baud", {"9600", "8"}},
                        {9, "serialport", {}},
                        {10, "hemisphere", {"-x", "2", "9"}},
                        {11, "sensor", {"1", "2", "0", "0"}}},
                       &output),
              -1);
    const std::vector<std::string> expected = {
        "Lab: ERROR: CFastrak: Invalid arg found for Sensor(s) at line 3.",
        "Lab: ERROR: CFastrak: Invalid ID for Stylus found for Stylus at line 4.",
        "Lab: ERROR: CFastrak: Invalid string found for Hemisphere at line 5.",
        "Lab: ERROR: CFastrak: Too many args found for Hemisphere at line 6.",
        "Lab: ERROR: CFastrak: Invalid string found for Reset at line 7.",
        "Lab: ERROR: CFastrak: Too many args found for Baud at line 8.",
        "Lab: ERROR: CFastrak: Incomplete option line found for SerialPort at line 9.",
        "Lab: ERROR: CFastrak: Invalid sensor ID found for Hemisphere at line 10.",
        "Lab: ERROR: CFastrak: Invalid arg found for Sensor(s) at line 11.",
    };
    EXPECT_EQ(splitLines(output), expected);
    EXPECT_EQ(pty.readAll(100), "");
}

struct FailureCase {
    const char* name;
    std::vector<Line> lines;
    bool nullTrackerStorage;
    bool nullControllerStorage;
    std::string lastLine;
};

TEST_F(DeviceSetup, SetUpStopsBeforeTheFirstCommandOnEachFailure) {
    const std::vector<FailureCase> cases = {
        {"unknown option",
         {{7, "bogus", {"1"}}},
         false,
         false,
         "Lab: ERROR: CConfigH: Unknown option \"bogus\" found at line 7."},
        {"no tracker storage", {}, true, false, "Lab: ERROR: CFastrak: tracker data storage pointer is empty."},
        {"no controller storage",
         {{2, "stylus", {"2"}}},
         false,
         true,
         "Lab: ERROR: CFastrak: controller data storage pointer is empty."},
        {"unaccepted speed",
         {{2, "baud", {"12345"}}},
         false,
         false,
         "Lab: ERROR: CRS232H: Could not set the baud rate 12345"},
        {"port that does not open", {{2, "port", {"fastrak-no-such-port"}}}, false, false, "Lab: ERROR: CRS232H: "},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        delete device;
        device = nullptr;
        config = ConfigBuilder();
        keep.clear();
        info.trackerStorage = c.nullTrackerStorage ? nullptr : trackers.storage();
        info.controllerStorage = c.nullControllerStorage ? nullptr : controllers.storage();
        std::string output;
        EXPECT_EQ(initWith(c.lines, &output), -1);
        EXPECT_EQ(testsupport::lastLine(output).rfind(c.lastLine, 0), 0u) << output;
        EXPECT_EQ(pty.readAll(100), "");
        CaptureStdout stopping;
        EXPECT_TRUE(device->stop());
        // Only a port that opened gets the stop command; a port that did not adds no failure.
        EXPECT_EQ(stopping.finish().find("ERROR"), std::string::npos);
        pty.readAll(50);
    }

    // Nothing to read the options from, or nothing to keep the storages in: a line, not a crash.
    CaptureStdout capture;
    CFastrak noConfig(nullptr, &logger);
    EXPECT_EQ(noConfig.init(&info), -1);
    EXPECT_EQ(noConfig.init(nullptr), -1);
    const std::vector<std::string> expected = {"Lab: ERROR: CFastrak: Device configuration is empty.",
                                               "Lab: ERROR: CFastrak: Init info is empty."};
    EXPECT_EQ(splitLines(capture.finish()), expected);
}

// A station-2 tracker record, as the tracker sends it.
std::string trackerRecord() {
    std::string r = "02 ";
    for (float v : {1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f}) {
        char bytes[4];
        std::memcpy(bytes, &v, 4);  // the tracker sends least significant byte first, as x86 stores it
        r.append(bytes, 4);
    }
    return r + "\r\n";
}

TEST_F(DeviceSetup, SecondInitReleasesTheFirstAndStartsFromTheDefaults) {
    ASSERT_EQ(initWith({{2, "stylus", {"1"}}}), 1);
    const std::string first = pty.readAll(100);
    ASSERT_NE(first.find("e1,0\r"), std::string::npos);
    // The first record after a set-up is taken once the next one's start confirms it.
    ASSERT_TRUE(pty.write(trackerRecord() + trackerRecord()));
    UpdateMask mask{};
    EXPECT_EQ(device->recvData(&mask, 0), 1);
    EXPECT_NE(mask.trackers, 0u);
    // The host clears its claims and calls init again with no options: no stylus any more.
    config.line(1).used = 0;
    config.get()->lineCount = 1;
    trackers.setCount(0);
    controllers.setCount(0);
    CaptureStdout capture;
    EXPECT_EQ(device->init(&info), 1);
    capture.finish();
    const std::string second = pty.readAll(100);
    EXPECT_EQ(second, "c" + kAlignment + "H1,0,-1,0\rH2,0,-1,0\rO1,2,4,1\rO2,2,4,1\rO3,2,4,1\rO4,2,4,1\rfC");
    EXPECT_EQ(device->configure(), 2);
    EXPECT_EQ(trackers.count(), 2u);
    EXPECT_EQ(controllers.count(), 0u);
    // The change test starts afresh: the record last published before is published again.
    ASSERT_TRUE(pty.write(trackerRecord() + trackerRecord()));
    mask = UpdateMask{};
    EXPECT_EQ(device->recvData(&mask, 0), 1);
    EXPECT_NE(mask.trackers, 0u);
}

TEST_F(DeviceSetup, CalibrationLibraryStartsWithSetUpAndEndsOnce) {
    CDynamicLibH probeLibrary(PROBE_FULL_PATH, &logger);
    const auto stateOf = reinterpret_cast<ProbeStateFunction>(probeLibrary.getProcAddr("probe_state"));
    ASSERT_NE(stateOf, nullptr);
    ProbeState& probe = *stateOf();
    probe = ProbeState();
    ASSERT_EQ(initWith({{2, "calibration", {PROBE_FULL_PATH, "room-a"}}}), 1);
    EXPECT_EQ(probe.initCalls, 1);
    EXPECT_STREQ(probe.initText[0], "room-a");
    EXPECT_TRUE(device->stop());
    EXPECT_EQ(probe.exitCalls, 1);
    // A second stop, a second init and the destructor never hand the library a handle it freed.
    CaptureStdout quiet;
    EXPECT_TRUE(device->stop());
    EXPECT_EQ(probe.exitCalls, 1);
    EXPECT_EQ(device->init(&info), 1);
    EXPECT_EQ(probe.initCalls, 2);
    delete device;
    device = nullptr;
    quiet.finish();
    EXPECT_EQ(probe.exitCalls, 1);

    // A set-up that fails before the library's start never ends it.
    probe = ProbeState();
    config = ConfigBuilder();
    keep.clear();
    trackers.setCount(0);
    ASSERT_EQ(initWith({{2, "calibration", {PROBE_FULL_PATH, "room-a"}}, {3, "bogus", {}}}), -1);
    CaptureStdout stopping;
    EXPECT_TRUE(device->stop());
    delete device;
    device = nullptr;
    stopping.finish();
    EXPECT_EQ(probe.initCalls, 0);
    EXPECT_EQ(probe.exitCalls, 0);
}

TEST_F(DeviceSetup, SummaryShowsWhatIsAboutToBeProgrammed) {
    std::string output;
    ASSERT_EQ(initWith({{2, "stylus", {"1"}}}, &output), 1);
    const std::string port = pty.slavePath();
    const std::vector<std::string> expected = {
        "Lab: INFO: DEVICE NAME           : fastrak",
        "Lab: INFO: DEVICE TYPE           : Fastrak(tm)",
        "Lab: INFO: VERSION               : 5.5",
        "Lab: INFO: DATA TYPE             : Tracker",
        "Lab: INFO: SERIAL PORT           : " + port,
        "Lab: INFO: BAUD RATE             : 38400",
        "Lab: INFO: RESET                 : No",
        "Lab: INFO: HEMISPEHRE(S)         : 1:-Y 2:-Y",
        "Lab: INFO: NUMBER OF DEVICES     : 1",
        "Lab: INFO: NUMBER OF TRACKERS    : 2",
        "Lab: INFO: NUMBER OF CONTROLLERS : 1",
        "Lab: INFO: TRACKER(S)            : 1:ON 2:ON 3:OFF 4:OFF",
        "Lab: INFO: STYLUS                : 1:ON 2:OFF 3:OFF 4:OFF",
        "Lab: INFO: CONTROLLER ID(S)      : 1 (controller options name a stylus by its station)",
        "Lab: INFO: CAVE COORDINATES      : Used",
        "Lab: INFO: TRACKER ORDER         : <Real tra> -> <Output tra>",
        "Lab: INFO:                       : 1->1 2->2",
        "Lab: INFO: CONTROLLER ORDER      : <Real con> -> <Output con>",
        "Lab: INFO:                       : 1->1",
        "Lab: INFO: BUTTON ORDER          : <Real but> -> <Output but>",
        "Lab: INFO:                       : 1->1",
        "Lab: INFO: -----------------------",
    };
    EXPECT_EQ(splitLines(output), expected);

    // A disabled logger drops the labels; the values still reach standard output.
    delete device;
    device = nullptr;
    config = ConfigBuilder();
    trackers.setCount(0);
    logger.enabled = 0;
    ASSERT_EQ(initWith({{2, "hemisphere", {"-z", "2"}}}, &output), 1);
    const std::vector<std::string> values = {"fastrak",
                                             "5.5",
                                             port,
                                             "38400",
                                             "No",
                                             " 1:-Y 2:-Z",
                                             "2",
                                             " 1:ON 2:ON 3:OFF 4:OFF",
                                             " 1:OFF 2:OFF 3:OFF 4:OFF",
                                             " 1->1 2->2"};
    EXPECT_EQ(splitLines(output), values);
}

TEST_F(DeviceSetup, OnlyASerialLineIsTakenAsThePort) {
    // A user's file named as the port is refused and left as it was.
    std::ostringstream name;
    name << "./fastrak-notes-" << std::rand() << ".txt";  // a path: a bare name is looked up as a device
    const std::string notes = "measurements, do not lose\n";
    { std::ofstream(name.str(), std::ios::binary) << notes; }
    std::vector<std::string> ports = {name.str()};
    if (pty.masterFd() >= 0) ports.push_back("/dev/null");  // a device that is no line (POSIX)
    for (const std::string& port : ports) {
        SCOPED_TRACE(port);
        delete device;
        device = nullptr;
        config = ConfigBuilder();
        keep.clear();
        trackers.setCount(0);
        std::string output;
        EXPECT_EQ(initWith({{2, "port", {port}}}, &output), -1);
        const std::string expected = "Lab: ERROR: CRS232H: Not a serial line, refused: " + port + ": ";
        EXPECT_EQ(testsupport::lastLine(output).rfind(expected, 0), 0u) << output;
        CaptureStdout stopping;
        EXPECT_TRUE(device->stop());
        stopping.finish();
    }
    std::ifstream kept(name.str(), std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, notes);
    kept.close();
    std::remove(name.str().c_str());
}

struct HandshakeCase {
    const char* name;
    void (*set)(DCB&);
    bool (*on)(const DCB&);
};

TEST_F(DeviceSetup, LineIsFullyRawWhateverHandshakeItStartedWith) {
    const std::vector<HandshakeCase> cases = {
        {"CTS output flow", [](DCB& d) { d.fOutxCtsFlow = 1; }, [](const DCB& d) { return d.fOutxCtsFlow != 0; }},
        {"DSR output flow", [](DCB& d) { d.fOutxDsrFlow = 1; }, [](const DCB& d) { return d.fOutxDsrFlow != 0; }},
        {"DSR sensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, [](const DCB& d) { return d.fDsrSensitivity != 0; }},
        {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; },
         [](const DCB& d) { return d.fRtsControl != RTS_CONTROL_ENABLE; }},
        {"RTS off", [](DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; },
         [](const DCB& d) { return d.fRtsControl != RTS_CONTROL_ENABLE; }},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; },
         [](const DCB& d) { return d.fDtrControl != DTR_CONTROL_ENABLE; }},
        {"DTR off", [](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; },
         [](const DCB& d) { return d.fDtrControl != DTR_CONTROL_ENABLE; }},
        {"abort on error", [](DCB& d) { d.fAbortOnError = 1; }, [](const DCB& d) { return d.fAbortOnError != 0; }},
    };
    std::string notHeld;
    size_t tested = 0;
    for (const HandshakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        // As another program may have left the port.
        const HANDLE line = CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(line, INVALID_HANDLE_VALUE);
        DCB before;
        std::memset(&before, 0, sizeof before);
        before.DCBlength = sizeof before;
        ASSERT_TRUE(GetCommState(line, &before));
        c.set(before);
        const bool set = SetCommState(line, &before) != 0;
        DCB found;
        std::memset(&found, 0, sizeof found);
        found.DCBlength = sizeof found;
        const bool held = set && GetCommState(line, &found) && c.on(found);
        CloseHandle(line);
        if (!held) {
            notHeld += std::string(" ") + c.name + ";";
            continue;
        }
        ++tested;
        delete device;
        device = nullptr;
        config = ConfigBuilder();
        keep.clear();
        trackers.setCount(0);
        ASSERT_EQ(initWith({}), 1);
        EXPECT_EQ(pty.readAll(100).substr(0, 2), "R1");  // the commands went out
        PortAttribute now;
        ASSERT_TRUE(FastrakTestAccess::port(*device)->getAttribute(&now));
        EXPECT_FALSE(c.on(now.dcb));
        CaptureStdout stopping;
        device->stop();
        stopping.finish();
        pty.readAll(50);
    }
    // What a line cannot hold cannot start on: a pseudo-terminal has no DSR, DTR handshake or
    // error abort, for instance.
    std::cout << "[ handshake] tested " << tested << " of " << cases.size() << "; not held by this line:" << notHeld
              << std::endl;
    EXPECT_GT(tested, 0u);
}

}  // namespace
