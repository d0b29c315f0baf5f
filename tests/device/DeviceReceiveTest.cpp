// recvData of the loaded module on a real serial line: records written byte for byte by the test
// land in the host's storages, converted, once, with their mask bits; faults cost only themselves.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LineFlags.h"
#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/HostStorage.h"
#include "support/ModuleLoader.h"
#include "support/PtyPair.h"

using testsupport::CaptureStdout;
using testsupport::HostStorage;
using testsupport::splitLines;
using testsupport::StorageKind;

namespace {

uint32_t net(uint32_t value) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&value);
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
}

double fixed(int32_t field) { return static_cast<int32_t>(net(static_cast<uint32_t>(field))) * 1e-5; }

std::string floatBytes(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}

using Values = std::vector<float>;  // x, y, z in inches, azimuth, elevation, roll as the tracker sends them

// A binary record: "0", station, status, six floats, the button item when given, CR LF.
std::string record(char station, const Values& v, const std::string& button = "") {
    std::string r = std::string("0") + station + " ";
    for (float value : v) r += floatBytes(value);
    return r + button + "\r\n";
}

Values poseNumber(int n) { return {10.0f + n, -4.5f + n, 3.25f, 15.0f + n, -30.5f, 60.0f - n}; }

// The default frame: feet, CAVE axes (x = Y, y = -Z, z = -X), azimuth and roll negated.
void expectPublished(const TrackerRecord& r, uint32_t id, const Values& v) {
    EXPECT_EQ(net(r.id), id);
    const double expected[6] = {v[1] / 12.0, -v[2] / 12.0, -v[0] / 12.0, -v[3], v[4], -v[5]};
    const double got[6] = {fixed(r.x), fixed(r.y), fixed(r.z), fixed(r.azimuth), fixed(r.elevation), fixed(r.roll)};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], expected[i], 2e-5) << "field " << i;
}

// One device for the suite: stations 1 and 2 track, 2 and 3 carry a stylus (3 alone), with the
// host's tracker outputs 1 and 2 already taken. Set-up costs three real seconds of waits.
class DeviceReceive : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Shared;
        ASSERT_TRUE(s->pty.ok()) << s->pty.error();
        ASSERT_TRUE(s->module.loaded()) << s->module.error();
        // A line left with software flow control and byte translation on, as a tty often starts.
        s->cookedBefore = testsupport::cookLine(s->pty.slaveFd());
        s->config.add(1, "port", {s->pty.slavePath()});
        s->config.add(2, "stylus", {"2"});
        s->config.add(3, "stylus", {"3"});
        s->config.add(4, "baud", {"115200"});
        s->logger.setDefaults();
        s->logger.setName("Host");
        s->logger.showDate = s->logger.showTime = s->logger.showThreadId = 0;
        s->logger.debugLevel = 1;
        s->trackers.setCount(2);
        s->info.trackerStorage = s->trackers.storage();
        s->info.controllerStorage = s->controllers.storage();
        s->info.runFlag = &s->runFlag;
        CaptureStdout quiet;
        s->device = s->module.createDev()(s->config.get(), &s->logger);
        ASSERT_NE(s->device, nullptr);
        ASSERT_EQ(s->device->init(&s->info), 1) << quiet.finish();
        quiet.finish();
        s->pty.readAll(100);  // the set-up commands
    }

    static void TearDownTestSuite() {
        if (s->device != nullptr) {
            CaptureStdout quiet;
            s->device->stop();
            s->module.deleteDev()(s->device);
        }
        delete s;
        s = nullptr;
    }

    void SetUp() override {
        if (s->device == nullptr) GTEST_SKIP() << "set-up failed";
        s->runFlag = 1;
    }

    // One call with its result, mask and log lines.
    struct Call {
        int32_t result;
        UpdateMask mask;
        std::vector<std::string> lines;
    };

    static Call receive() {
        Call call{0, {0xFFFFFFFFu, 0xFFFFFFFFu}, {}};
        CaptureStdout capture;
        call.result = s->device->recvData(&call.mask, 0);
        call.lines = splitLines(capture.finish());
        return call;
    }

    static bool logged(const Call& call, const std::string& line) {
        for (const auto& l : call.lines) {
            if (l == line) return true;
        }
        return false;
    }

    static TrackerRecord& trackerSlot(uint32_t id) { return s->trackers.trackers()[id - 1]; }
    static ControllerRecord& controllerSlot(uint32_t id) { return s->controllers.controllers()[id - 1]; }

    struct Shared {
        testsupport::PtyPair pty;
        testsupport::ModuleLoader module{FASTRAK_MODULE_PATH};
        testsupport::ConfigBuilder config{"desk"};
        Logger logger;
        HostStorage trackers{StorageKind::Tracker};
        HostStorage controllers{StorageKind::Controller};
        int32_t runFlag = 1;
        InitInfo info{};
        CBase* device = nullptr;
        bool cookedBefore = false;
    };
    static Shared* s;
};

DeviceReceive::Shared* DeviceReceive::s = nullptr;

TEST_F(DeviceReceive, SetUpClaimsOutputsAndLeavesTheLineRaw) {
    EXPECT_EQ(s->trackers.count(), 4u);
    EXPECT_EQ(s->controllers.count(), 2u);
    if (s->cookedBefore) {
        EXPECT_TRUE(testsupport::lineIsRaw(s->pty.slaveFd()));
    }
}

TEST_F(DeviceReceive, TrackerRecordIsPublishedOnceWithItsBit) {
    // Values whose bytes include XON, XOFF, CR and LF (never CR then LF, which ends a record): a
    // line with flow control or translation on would swallow or change them.
    Values v;
    for (uint32_t bits : {0x41201311u, 0x41A00D0Au, 0xC1C81113u, 0x42340D11u, 0x41F0130Au, 0xC282110Du}) {
        float f = 0;
        std::memcpy(&f, &bits, sizeof f);
        v.push_back(f);
    }
    const std::string bytes = record('1', v);
    ASSERT_EQ(bytes.size(), 29u);
    ASSERT_TRUE(s->pty.write(bytes));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);  // station 1 is output 3: two were taken before
    EXPECT_EQ(call.mask.controllers, 0u);
    expectPublished(trackerSlot(3), 3, v);
    EXPECT_TRUE(logged(call, "Host: DEBUG: CFastrak: TraData storage found"));

    // The same record again is not copied and marks nothing.
    trackerSlot(3).id = 0;
    ASSERT_TRUE(s->pty.write(bytes));
    call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_EQ(trackerSlot(3).id, 0u);
}

TEST_F(DeviceReceive, StylusRecordsPublishTheButtonUnderTheirOwnOutput) {
    const Values v = poseNumber(1);
    ASSERT_TRUE(s->pty.write(record('2', v, " 1")));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(net(call.mask.trackers), 1u << 3);
    EXPECT_EQ(net(call.mask.controllers), 1u << 0);
    expectPublished(trackerSlot(4), 4, v);
    const ControllerRecord& first = controllerSlot(1);
    EXPECT_EQ(net(first.id), 1u);
    EXPECT_EQ(net(first.numButtons), 1u);
    EXPECT_EQ(net(first.buttonOffset), 36u);
    EXPECT_EQ(first.buttons[0], 1);

    // Station 3 carries only the stylus: its 7-byte record is its button, under output 2.
    ASSERT_TRUE(s->pty.write(std::string("03  1\r\n")));
    call = receive();
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_EQ(net(call.mask.controllers), 1u << 1);
    EXPECT_EQ(net(controllerSlot(2).id), 2u);
    EXPECT_EQ(controllerSlot(2).buttons[0], 1);
    ASSERT_TRUE(s->pty.write(std::string("03  0\r\n")));
    call = receive();
    EXPECT_EQ(net(call.mask.controllers), 1u << 1);
    EXPECT_EQ(controllerSlot(2).buttons[0], 0);

    // A 7-byte record of a tracker station is no record at all.
    ASSERT_TRUE(s->pty.write(std::string("01  1\r\n")));
    call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_EQ(call.mask.controllers, 0u);
    EXPECT_TRUE(logged(call, "Host: WARNING: CFastrak: Got wrong length of data: 7 Ignored."));
    EXPECT_TRUE(logged(call, "Host: WARNING: CFastrak: No valid data received."));
}

struct StreamCase {
    const char* name;
    std::string bytes;
    std::vector<uint32_t> trackerMasks;  // one call each
};

TEST_F(DeviceReceive, FramingDropsOnlyWhatIsNotARecord) {
    const std::string junk(600, 'x');
    const std::vector<StreamCase> cases = {
        {"noise before a record", std::string("\x01\x7f\xff" "abc", 6) + record('1', poseNumber(2)), {1u << 2}},
        {"false start swallows the next record", "0zz" + record('1', poseNumber(3)) + record('1', poseNumber(4)),
         {0, 1u << 2}},
        {"overlong line is cut and dropped", "0" + junk + record('1', poseNumber(5)), {0, 1u << 2}},
        {"unknown station", record('5', poseNumber(6)) + record('4', poseNumber(6)) + record('2', poseNumber(7)),
         {0, 0, 1u << 3}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(s->pty.write(c.bytes));
        for (uint32_t expected : c.trackerMasks) {
            const Call call = receive();
            EXPECT_EQ(call.result, 1);
            EXPECT_EQ(net(call.mask.trackers), expected);
        }
        EXPECT_EQ(s->pty.readAll(20), "");  // the device wrote nothing back
    }
    expectPublished(trackerSlot(3), 3, poseNumber(5));
    expectPublished(trackerSlot(4), 4, poseNumber(7));
}

TEST_F(DeviceReceive, SilenceAndTheRunFlagEndACallWithoutPublishing) {
    // A record cut short by silence is dropped after the read timeout.
    const std::string cut = record('1', poseNumber(8));
    ASSERT_TRUE(s->pty.write(cut.substr(0, 12)));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.mask.trackers, 0u);

    // Cleared at entry: -1 before any read, mask words of both kinds cleared.
    ASSERT_TRUE(s->pty.write(record('1', poseNumber(9))));
    s->runFlag = 0;
    call = receive();
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_EQ(call.mask.controllers, 0u);
    s->runFlag = 1;
    call = receive();  // the record was left on the line
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    expectPublished(trackerSlot(3), 3, poseNumber(9));

    // Cleared while a record is being read: -1, and the record is not published.
    const std::string late = record('1', poseNumber(10));
    ASSERT_TRUE(s->pty.write(late.substr(0, 10)));
    std::thread host([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        s->runFlag = 0;
        s->pty.write(std::string(1, 'x'));
    });
    call = receive();
    host.join();
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(call.mask.trackers, 0u);
    expectPublished(trackerSlot(3), 3, poseNumber(9));
}

TEST_F(DeviceReceive, MissingSlotIsReportedAndNotTriedAgain) {
    s->trackers.setCount(2);  // the host shrank its storage below output 3
    const std::string bytes = record('1', poseNumber(11));
    ASSERT_TRUE(s->pty.write(bytes));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    EXPECT_TRUE(logged(call, "Host: ERROR: CFastrak: TraData storage not found"));
    ASSERT_TRUE(s->pty.write(bytes));
    call = receive();
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_FALSE(logged(call, "Host: ERROR: CFastrak: TraData storage not found"));
    s->trackers.setCount(4);
}

TEST_F(DeviceReceive, MutexAbandonedByADeadHostThreadDoesNotStopPublishing) {
    std::thread([] { s->trackers.storage()->lock(); }).join();  // ends holding the mutex
    ASSERT_TRUE(s->pty.write(record('1', poseNumber(12))));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    expectPublished(trackerSlot(3), 3, poseNumber(12));
    // The module took the mutex over and gave it back: the next record goes through cleanly.
    ASSERT_TRUE(s->pty.write(record('1', poseNumber(13))));
    call = receive();
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    expectPublished(trackerSlot(3), 3, poseNumber(13));
    for (const auto& line : call.lines) EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
}

// Last: it takes the line away.
TEST_F(DeviceReceive, ZHangUpEndsReadingWithAnError) {
    if (s->pty.masterFd() < 0) GTEST_SKIP() << "under Wine a hang-up looks like silence";
    s->pty.hangUp();
    const Call call = receive();
    EXPECT_EQ(call.result, -1);
    EXPECT_TRUE(logged(call, "Host: ERROR: CFastrak: Reading error occured."));
}

}  // namespace
