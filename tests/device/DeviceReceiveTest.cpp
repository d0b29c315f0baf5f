// recvData of the loaded module on a real serial line: records written byte for byte by the test
// land in the host's storages, converted, once, with their mask bits; faults cost only themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           b[3];
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

    // A second of silence: the tracker's output stopped, and the order of its stations, which the
    // device learns from the line, starts afresh. Tests that change the order call it first.
    static void newOutput() { EXPECT_EQ(receive().mask.trackers, 0u); }

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

bool anyDamageReport(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("WARNING: CFastrak: Damaged data on the line: ") != std::string::npos;
    });
}

// What the tracker sent before its first binary record (ASCII records of a press during set-up)
// is no damage of the line; the first record, with nothing before it in step, is published once
// the next one's start confirms it.
TEST_F(DeviceReceive, SetUpLeftoversAreNoDamageAndTheFirstRecordWaitsForTheNext) {
    const std::string ascii = "01   11.14  -4.50   3.25  15.00 -30.50  60.00\r\n";
    const std::string first = record('1', poseNumber(0));
    ASSERT_TRUE(s->pty.write(ascii + ascii + first + "0"));
    std::vector<std::string> lines;
    Call call = receive();  // "0" alone does not confirm it: silence, nothing published
    lines.insert(lines.end(), call.lines.begin(), call.lines.end());
    EXPECT_EQ(call.mask.trackers, 0u);
    ASSERT_TRUE(s->pty.write(first.substr(1)));
    call = receive();
    lines.insert(lines.end(), call.lines.begin(), call.lines.end());
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    expectPublished(trackerSlot(3), 3, poseNumber(0));
    call = receive();  // in step: the second one needs nothing after it
    lines.insert(lines.end(), call.lines.begin(), call.lines.end());
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_FALSE(anyDamageReport(lines));
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
    newOutput();
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
}

Values fromBits(const std::vector<uint32_t>& bits) {
    Values v;
    for (uint32_t b : bits) {
        float f = 0;
        std::memcpy(&f, &b, sizeof f);
        v.push_back(f);
    }
    return v;
}

TEST_F(DeviceReceive, ValuesThatLookLikeFramingAreData) {
    struct ValueCase {
        const char* name;
        Values values;
    };
    const std::vector<ValueCase> cases = {
        // x = 8.6282958984375 in is 80 0D 0A 41 on the wire: a receiver held still there.
        {"CR LF inside x", {8.6282958984375f, 2.0f, 3.0f, 10.0f, 20.0f, 30.0f}},
        {"CR LF and a start inside y",
         fromBits({0x41200000u, 0x31300A0Du, 0x40400000u, 0x41200000u, 0x41A00000u, 0x41F00000u})},
        {"\"0\" bytes", fromBits({0x41300000u, 0x30303030u, 0xC1300000u, 0x42300000u, 0x41300000u, 0xC2300000u})},
        {"CR LF just before the end",
         fromBits({0x41200000u, 0x40000000u, 0x40400000u, 0x41200000u, 0x41A00000u, 0x0A0D0000u})},
        {"angles at their bounds", {-1000.0f, 1000.0f, 0.0f, 180.005f, -90.005f, -180.005f}},
    };
    newOutput();
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = record('1', c.values);
        ASSERT_EQ(bytes.size(), 29u);
        ASSERT_TRUE(s->pty.write(bytes + bytes));
        Call call = receive();
        EXPECT_EQ(net(call.mask.trackers), 1u << 2);
        expectPublished(trackerSlot(3), 3, c.values);
        call = receive();  // the same pose again: framed, but unchanged
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.mask.trackers, 0u);
    }
    // The stylus's record too: a CR LF inside a value of a 31-byte record.
    newOutput();
    const Values still = {8.6282958984375f, -3.0f, 1.0f, 5.0f, 6.0f, 7.0f};
    ASSERT_TRUE(s->pty.write(record('2', still, " 1")));
    const Call call = receive();
    EXPECT_EQ(net(call.mask.trackers), 1u << 3);
    expectPublished(trackerSlot(4), 4, still);
    EXPECT_EQ(controllerSlot(1).buttons[0], 1);
}

// A pose whose value bytes hold no "0", so that a damaged frame built from it holds no second
// start and the number of damaged frames is known exactly.
Values cleanPose(int n) {
    Values v = poseNumber(n);
    for (float& f : v) {
        while (floatBytes(f).find('0') != std::string::npos) f += 0.125f;
    }
    return v;
}

uint32_t countIn(const std::vector<std::string>& lines, const std::string& prefix) {
    uint32_t sum = 0;
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) sum += static_cast<uint32_t>(std::stoul(line.substr(prefix.size())));
    }
    return sum;
}

// A record whose bytes 22 and 23 are CR LF and whose x has 0x7F in its third byte: a frame that
// starts two bytes before it ends inside it, with a y beyond every bound.
Values nestedPose() { return fromBits({0x3F7F1111u, 0x40200000u, 0x40600000u, 0x41700000u, 0x0D111111u, 0x4111110Au}); }

Values with(Values v, size_t at, float value) {
    v[at] = value;
    return v;
}

TEST_F(DeviceReceive, DamageCostsOnlyTheFrameItHit) {
    auto withByte = [](std::string r, size_t at, char c) {
        r[at] = c;
        return r;
    };
    auto without = [](std::string r, size_t at, size_t count) { return r.erase(at, count); };
    auto values = [](float x, float az, float el) { return Values{x, 2.5f, 3.5f, az, el, 7.5f}; };
    struct Piece {
        const char* damage;
        std::string bytes;  // the damaged bytes, then the intact record of station `station` twice
        bool damaged;       // a damaged stretch the device must count
        char station;
        Values intact;
        bool oneStart = true;  // the damage holds one record start at most
    };
    const std::vector<Piece> pieces = {
        {"noise",
         std::string("\x01\x7f\xff"
                     "abc",
                     6),
         true, '1', cleanPose(1)},
        {"false start", "0zz", true, '1', cleanPose(2)},
        {"start byte hit", withByte(record('1', cleanPose(22)), 0, '?'), true, '1', cleanPose(23)},
        {"CR hit", withByte(record('1', cleanPose(3)), 27, 'X'), true, '1', cleanPose(4)},
        // 30 bytes, so the 31-byte frame read from it ends on the next record's "0".
        {"a byte dropped from a 31-byte record", without(record('2', cleanPose(5), " 1"), 9, 1), true, '2',
         cleanPose(6)},
        {"CR LF lost: merged with the next", without(record('1', cleanPose(7)), 27, 2), true, '1', cleanPose(8)},
        {"no such station", record('7', cleanPose(9)), true, '1', cleanPose(10)},
        {"x beyond 1000 in", record('1', values(1000.5f, 1, 1)), true, '1', cleanPose(11)},
        {"x not a number", record('1', values(std::nanf(""), 1, 1)), true, '1', cleanPose(12)},
        {"azimuth beyond 180", record('1', values(1, 180.02f, 1)), true, '1', cleanPose(13)},
        {"elevation beyond 90", record('1', values(1, 1, -90.02f)), true, '1', cleanPose(14)},
        {"azimuth infinite", record('1', values(1, INFINITY, 1)), true, '1', cleanPose(15)},
        {"button byte hit", record('2', cleanPose(16), " X"), true, '2', cleanPose(17)},
        {"blank before the button hit", record('2', cleanPose(16), "X1"), true, '2', cleanPose(18)},
        {"7-byte record of a tracker with the stylus", "02  1\r\n", true, '2', cleanPose(19)},
        {"7-byte record of the stylus alone, button hit", "03  X\r\n", true, '1', cleanPose(20)},
        {"line without an end", "0" + std::string(600, 'x'), true, '1', cleanPose(21)},
        // Only one byte of a frame with impossible values goes: a record begins inside it.
        {"record inside a frame with values out of range", "01 \x11\x22", true, '1', nestedPose()},
        // Two readings of the same bytes, so both records go. Station 1's azimuth holds 00 30 31
        // 41 ("01A") and the next record loses 13 bytes, so a frame from that header ends on its
        // CR LF.
        {"a header in the values, the next record cut to end there",
         record('1', with(cleanPose(30), 3, 11.07421875f)) + without(record('1', cleanPose(31)), 3, 13), true, '1',
         cleanPose(32), false},
        // And an overrun in step: station 1 at roll 40 loses its last 6 bytes, and station 2's x
        // holds 31 0D 0A 41, so "02 1" would be read as roll and the frame would end on that CR LF.
        {"last 6 bytes lost, CR LF in the next record's x",
         without(record('1', with(cleanPose(24), 5, 40)), 23, 6) +
             record('2', with(cleanPose(25), 0, 8.6282206f), " 0"),
         true, '2', with(cleanPose(25), 0, 8.6282206f), false},
        // A good-looking frame after damage whose follower is "0" and no station digit.
        {"frame after damage followed by no station", "\x01" + record('1', cleanPose(26)) + "0", true, '1',
         cleanPose(27)},
        // Station 1 has followed station 1 so far: a record of station 2 in its place is one whose
        // digit a fault changed, well-formed but not to be published as station 2's.
        {"station digit hit", record('2', cleanPose(28), " 1"), true, '1', cleanPose(29)},
    };
    uint32_t damaged = 0;
    std::vector<std::string> lines;
    for (const Piece& piece : pieces) {
        SCOPED_TRACE(piece.damage);
        // One start at most, and a lone "0" at the end.
        const size_t first = piece.bytes.find('0');
        const size_t from = first == std::string::npos ? first : first + 1;
        if (piece.oneStart) {
            ASSERT_EQ(piece.bytes.substr(0, piece.bytes.size() - 1).find('0', from), std::string::npos)
                << "a second start in the damage";
        }
        const std::string button = piece.station == '2' ? " 0" : "";
        const std::string intact = record(piece.station, piece.intact, button);
        // The copy confirms the record found after the damage, and puts the line back in step.
        ASSERT_TRUE(s->pty.write(piece.bytes + intact + intact));
        damaged += piece.damaged ? 1 : 0;
        Call call = receive();
        lines.insert(lines.end(), call.lines.begin(), call.lines.end());
        EXPECT_EQ(call.result, 1);
        const uint32_t output = piece.station == '1' ? 3 : 4;
        EXPECT_EQ(net(call.mask.trackers), 1u << (output - 1));
        expectPublished(trackerSlot(output), output, piece.intact);
        call = receive();
        lines.insert(lines.end(), call.lines.begin(), call.lines.end());
        EXPECT_EQ(call.mask.trackers, 0u);
        EXPECT_EQ(call.mask.controllers, 0u);
    }
    EXPECT_EQ(s->pty.readAll(20), "");  // the device wrote nothing back
    // The rate-limited report counts each damaged stretch once: the first at once, the rest once
    // ten seconds have passed, with the records received beside them.
    const std::string report = "Host: WARNING: CFastrak: Damaged data on the line: ";
    EXPECT_EQ(countIn(lines, report), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(10000));
    const Call later = receive();  // a silent line: the pending count still goes out
    EXPECT_EQ(countIn(later.lines, report), damaged - 1);
    EXPECT_TRUE(logged(later, report + std::to_string(damaged - 1) + " frames dropped, " +
                                  std::to_string(2 * pieces.size() - 1) + " records received since the last report."));
    EXPECT_EQ(countIn(receive().lines, report), 0u);  // and only once
}

// Records come at the other tracker length when an output list command was lost or the stylus is
// on another station: the pose is published either way, a button only from a record that has one.
// A station that the sensors line leaves off is framed, named, and not published.
TEST_F(DeviceReceive, BothTrackerLengthsPublishAndStationsOffTheSensorsLineAreNamed) {
    const Values one = cleanPose(30), two = cleanPose(31);
    newOutput();
    ControllerRecord& stylus = controllerSlot(1);
    stylus.buttons[0] = 0x55;
    ASSERT_TRUE(s->pty.write(record('1', one, " 1") + record('2', two) + record('4', one) + record('4', two) +
                             record('1', one)));
    Call call = receive();  // station 1 without the stylus, at 31 bytes
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    EXPECT_EQ(call.mask.controllers, 0u);
    expectPublished(trackerSlot(3), 3, one);
    call = receive();  // station 2 with the stylus, at 29 bytes: no button
    EXPECT_EQ(net(call.mask.trackers), 1u << 3);
    EXPECT_EQ(call.mask.controllers, 0u);
    expectPublished(trackerSlot(4), 4, two);
    EXPECT_EQ(stylus.buttons[0], 0x55);
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        call = receive();
        EXPECT_EQ(call.result, 1);
        lines.insert(lines.end(), call.lines.begin(), call.lines.end());
        EXPECT_EQ(call.mask.trackers, 0u);
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Host: WARNING: CFastrak: Records arrive from station 4, which the sensors line leaves off "
                         "(1 record since the last report); they also share the tracker's update rate."),
              1);
    EXPECT_FALSE(anyDamageReport(lines));
}

TEST_F(DeviceReceive, StorageLockIsFreeWhileACallWaitsForBytes) {
    std::thread host([] { receive(); });  // a silent line: the call waits its second out
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(s->trackers.lockWithin(100));
    s->trackers.unlock();
    EXPECT_TRUE(s->controllers.lockWithin(100));
    s->controllers.unlock();
    host.join();
}

TEST_F(DeviceReceive, SilenceAndTheRunFlagEndACallWithoutPublishing) {
    // A record cut short by silence is dropped after the read timeout.
    const std::string cut = record('1', poseNumber(8));
    ASSERT_TRUE(s->pty.write(cut.substr(0, 12)));
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.mask.trackers, 0u);

    // Cleared at entry: -1 before any read, mask words of both kinds cleared.
    ASSERT_TRUE(s->pty.write(record('1', poseNumber(9)) + record('1', poseNumber(9))));
    s->runFlag = 0;
    call = receive();
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(call.mask.trackers, 0u);
    EXPECT_EQ(call.mask.controllers, 0u);
    s->runFlag = 1;
    call = receive();  // the record was left on the line; its copy confirms it after the cut one
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    expectPublished(trackerSlot(3), 3, poseNumber(9));
    EXPECT_EQ(receive().mask.trackers, 0u);

    // Cleared while a record is being read: -1, and the record is not published.
    const std::string late = record('1', poseNumber(10));
    ASSERT_TRUE(s->pty.write(late.substr(0, 10)));
    std::thread host([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        __atomic_store_n(&s->runFlag, 0, __ATOMIC_RELAXED);  // while the device reads it
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
    ASSERT_TRUE(s->pty.write(bytes + bytes));  // after the record cut by the run flag: confirmed by the copy
    Call call = receive();
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(net(call.mask.trackers), 1u << 2);
    EXPECT_TRUE(logged(call, "Host: ERROR: CFastrak: TraData storage not found"));
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

// A second set-up starts afresh: the first one's carried bytes are neither read into a record nor
// counted as damage. With 30 tracker outputs taken before it, station 2 publishes as output 32,
// the last one there is.
TEST_F(DeviceReceive, YSecondSetUpStartsAfreshUpToOutput32) {
    // All of a record but its LF, cut short by silence: carried. The LF comes after the set-up,
    // where it is a stray byte and must not complete the old record.
    ASSERT_TRUE(s->pty.write(record('1', poseNumber(1)).substr(0, 28)));
    EXPECT_EQ(receive().mask.trackers, 0u);
    s->trackers.setCount(30);
    s->controllers.setCount(0);
    {
        CaptureStdout quiet;
        ASSERT_EQ(s->device->init(&s->info), 1) << quiet.finish();
    }
    s->pty.readAll(100);
    ASSERT_TRUE(s->pty.write("\n" + record('2', poseNumber(2), " 0") + record('2', poseNumber(2), " 0")));
    const Call call = receive();
    EXPECT_EQ(net(call.mask.trackers), 1u << 31);
    expectPublished(trackerSlot(32), 32, poseNumber(2));
    EXPECT_FALSE(anyDamageReport(call.lines));
    EXPECT_EQ(receive().mask.trackers, 0u);
}

// A line that never stops sending bytes that form no frame (a wrong baud rate, another device)
// does not hold a call: it returns, publishing nothing, with the damage reported, while the bytes
// still come; and a record after it is read as usual. After the second set-up: its first damage
// report is due at once.
TEST_F(DeviceReceive, GarbageWithoutEndDoesNotHoldACall) {
    std::atomic<bool> writing{true};
    std::thread line([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        std::string chunk(64, '\0');
        uint32_t seed = 7;
        while (std::chrono::steady_clock::now() < until) {
            for (char& c : chunk) {
                seed = seed * 1103515245u + 12345u;
                c = static_cast<char>('A' + (seed >> 16) % 26);  // no "0", no CR LF
            }
            s->pty.write(chunk);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writing = false;
    });
    // Read all along, so the line never backs up; count the calls that ended while it went on.
    size_t whileWriting = 0;
    bool reported = false;
    while (writing) {
        const Call call = receive();
        if (writing) ++whileWriting;
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.mask.trackers, 0u);
        reported = reported || anyDamageReport(call.lines);
    }
    line.join();
    EXPECT_GE(whileWriting, 3u);
    EXPECT_TRUE(reported);
    const std::string next = record('2', poseNumber(40), " 0");
    ASSERT_TRUE(s->pty.write(next + next));
    Call call = receive();
    for (int i = 0; i < 20 && call.mask.trackers == 0 && call.result == 1; ++i) call = receive();
    EXPECT_EQ(net(call.mask.trackers), 1u << 31);
    expectPublished(trackerSlot(32), 32, poseNumber(40));
    receive();
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
