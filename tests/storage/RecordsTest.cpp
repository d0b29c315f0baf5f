// Host records: byte layout of ids, pose and button fields, the change tests, mask bits, stamps.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include "fastrak/Records.h"
#include "platform/win32.h"
#include "storage/UpdateMaskBits.h"

namespace {

using Bytes = std::array<uint8_t, 4>;

template <typename Record>
Bytes bytesAt(const Record& record, size_t offset) {
    Bytes bytes{};
    std::memcpy(bytes.data(), reinterpret_cast<const uint8_t*>(&record) + offset, bytes.size());
    return bytes;
}

Bytes wordBytes(const uint32_t& word) {
    Bytes bytes{};
    std::memcpy(bytes.data(), &word, bytes.size());
    return bytes;
}

// A net signed field as the host reads it.
int32_t hostValue(int32_t netField) { return static_cast<int32_t>(ntohl(static_cast<uint32_t>(netField))); }

using PoseSetter = bool (TrackerRecord::*)(float);
using PoseField = int32_t TrackerRecord::*;

struct PoseMember {
    PoseSetter set;
    PoseField field;
    size_t offset;
};

const PoseMember kPose[] = {
    {&TrackerRecord::setX, &TrackerRecord::x, 20},
    {&TrackerRecord::setY, &TrackerRecord::y, 24},
    {&TrackerRecord::setZ, &TrackerRecord::z, 28},
    {&TrackerRecord::setAzimuth, &TrackerRecord::azimuth, 32},
    {&TrackerRecord::setElevation, &TrackerRecord::elevation, 36},
    {&TrackerRecord::setRoll, &TrackerRecord::roll, 40},
};

}  // namespace

TEST(Records, SetIdWritesNetworkOrderAndRefusesNumbersOutsideOneToThirtyTwo) {
    TrackerRecord tracker;
    ControllerRecord controller;
    EXPECT_TRUE(tracker.setId(32));
    EXPECT_TRUE(controller.setId(32));
    EXPECT_EQ(bytesAt(tracker, 0), (Bytes{0x00, 0x00, 0x00, 0x20}));
    EXPECT_EQ(bytesAt(controller, 0), (Bytes{0x00, 0x00, 0x00, 0x20}));
    for (uint32_t bad : {0u, 33u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(tracker.setId(bad)) << bad;
        EXPECT_FALSE(controller.setId(bad)) << bad;
        EXPECT_EQ(bytesAt(tracker, 0), (Bytes{0x00, 0x00, 0x00, 0x20}));
        EXPECT_EQ(bytesAt(controller, 0), (Bytes{0x00, 0x00, 0x00, 0x20}));
    }
    EXPECT_TRUE(tracker.setId(1));
    EXPECT_EQ(bytesAt(tracker, 0), (Bytes{0x00, 0x00, 0x00, 0x01}));
}

TEST(Records, EachPoseSetterWritesItsOwnFieldInNetworkOrderFixedPoint) {
    for (const PoseMember& member : kPose) {
        TrackerRecord record;
        EXPECT_TRUE((record.*member.set)(2.5f));
        EXPECT_EQ(bytesAt(record, member.offset), (Bytes{0x00, 0x03, 0xD0, 0x90})) << member.offset;
        // No other pose field is touched.
        for (const PoseMember& other : kPose) {
            if (other.offset != member.offset) {
                EXPECT_EQ(record.*other.field, 0) << other.offset;
            }
        }
        EXPECT_TRUE((record.*member.set)(-2.5f));
        EXPECT_EQ(bytesAt(record, member.offset), (Bytes{0xFF, 0xFC, 0x2F, 0x70})) << member.offset;
    }
}

TEST(Records, ConversionTruncatesTowardZero) {
    TrackerRecord record;
    const struct {
        float value;
        int32_t units;
    } cases[] = {{1.234567f, 123456},   {-0.000019f, -1}, {0.000009f, 0}, {-0.000009f, 0},
                 {-1.234567f, -123456}, {0.0f, 0},        {-0.0f, 0},     {180.0f, 18000000}};
    for (const auto& example : cases) {
        record.setX(example.value);
        EXPECT_EQ(hostValue(record.x), example.units) << example.value;
    }
}

TEST(Records, ConversionSaturatesBeyondTheRangeAndMapsNanToZero) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 21474.8359375 is the largest float whose product still fits; the next float up does not.
    const float largest = 21474.8359375f;
    const float beyond = std::nextafter(largest, inf);
    const struct {
        float value;
        int32_t units;
    } cases[] = {{largest, 2147483593},
                 {-largest, -2147483593},
                 {beyond, INT32_MAX},
                 {-beyond, INT32_MIN},
                 {1.0e6f, INT32_MAX},
                 {-1.0e6f, INT32_MIN},
                 {FLT_MAX, INT32_MAX},
                 {-FLT_MAX, INT32_MIN},
                 {inf, INT32_MAX},
                 {-inf, INT32_MIN},
                 {nan, 0},
                 {-nan, 0}};
    for (const auto& example : cases) {
        for (const PoseMember& member : kPose) {
            TrackerRecord record;
            (record.*member.set)(example.value);
            EXPECT_EQ(hostValue(record.*member.field), example.units) << example.value << " at " << member.offset;
        }
    }
}

TEST(Records, GetRollConvertsBackWithItsSign) {
    TrackerRecord record;
    record.setRoll(-12.5f);
    EXPECT_EQ(hostValue(record.roll), -1250000);
    EXPECT_EQ(record.getRoll(), -12.5f);
    // -0.00123 as a float lies just beyond -0.00123, so it keeps 123 units.
    record.setRoll(-0.00123f);
    EXPECT_EQ(hostValue(record.roll), -123);
    EXPECT_FLOAT_EQ(record.getRoll(), -0.00123f);
    record.setRoll(179.5f);
    EXPECT_FLOAT_EQ(record.getRoll(), 179.5f);
    record.setRoll(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(record.getRoll(), 0.0f);
}

TEST(Records, TrackerChangeTestComparesTheIdAndThePoseIntegers) {
    // From 128.0 up a float cannot tell neighbouring units apart, so the pose is compared as stored.
    for (int32_t base : {150000, 12800000, 17999999, INT32_MAX - 1, INT32_MIN + 1}) {
        TrackerRecord previous;
        previous.setId(3);
        for (const PoseMember& member : kPose)
            previous.*member.field = static_cast<int32_t>(htonl(static_cast<uint32_t>(base)));
        TrackerRecord current = previous;
        // Different times and clock: still the same record.
        current.timeSec = htonl(12345);
        current.timeUsec = htonl(999000);
        current.clock.seconds = 42;
        current.clock.milliseconds = 999;
        EXPECT_TRUE(TrackerRecord::isEqual(previous, current)) << base;
        EXPECT_TRUE(TrackerRecord::isEqual(current, previous)) << base;
        current.setId(4);
        EXPECT_FALSE(TrackerRecord::isEqual(previous, current)) << base;
        for (const PoseMember& member : kPose) {
            for (int32_t step : {1, -1}) {
                TrackerRecord changed = previous;
                changed.*member.field = static_cast<int32_t>(htonl(static_cast<uint32_t>(base + step)));
                EXPECT_FALSE(TrackerRecord::isEqual(previous, changed))
                    << member.offset << " at " << base << " step " << step;
                EXPECT_FALSE(TrackerRecord::isEqual(changed, previous))
                    << member.offset << " at " << base << " step " << step;
            }
        }
    }
}

TEST(Records, ButtonCountAndBitsFollowTheByteLayout) {
    ControllerRecord record;
    EXPECT_EQ(record.buttonBytes, 4u);
    EXPECT_TRUE(record.setButtonCount(1));
    EXPECT_EQ(bytesAt(record, 32), (Bytes{0x00, 0x00, 0x00, 0x24}));  // buttonOffset 36
    EXPECT_EQ(bytesAt(record, 24), (Bytes{0x00, 0x00, 0x00, 0x01}));  // numButtons
    EXPECT_TRUE(record.setButton(1, true));
    EXPECT_EQ(bytesAt(record, 164), (Bytes{0x01, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(record.setButton(2, true));  // only one button is valid
    EXPECT_EQ(bytesAt(record, 164), (Bytes{0x01, 0x00, 0x00, 0x00}));

    EXPECT_TRUE(record.setButtonCount(16));
    EXPECT_TRUE(record.setButton(9, true));
    EXPECT_TRUE(record.setButton(16, true));
    EXPECT_EQ(bytesAt(record, 164), (Bytes{0x01, 0x81, 0x00, 0x00}));
    EXPECT_FALSE(record.setButton(17, true));
    EXPECT_TRUE(record.setButton(1, false));
    EXPECT_TRUE(record.setButton(16, false));
    EXPECT_EQ(bytesAt(record, 164), (Bytes{0x00, 0x01, 0x00, 0x00}));

    EXPECT_TRUE(record.setButtonCount(32));
    EXPECT_TRUE(record.setButton(32, true));
    EXPECT_EQ(record.buttons[3], 0x80);
    EXPECT_FALSE(record.setButton(0, true));
    EXPECT_FALSE(record.setButton(33, true));

    // A record that declares fewer button bytes refuses buttons beyond them.
    record.buttonBytes = 1;
    EXPECT_FALSE(record.setButton(9, false));
    EXPECT_EQ(record.buttons[1], 0x01);
    EXPECT_TRUE(record.setButton(8, true));
}

TEST(Records, RefusedButtonCountStillRewritesTheButtonOffset) {
    ControllerRecord record;
    record.setButtonCount(3);
    record.numValuators = htonl(2);
    EXPECT_FALSE(record.setButtonCount(33));
    EXPECT_EQ(ntohl(record.numButtons), 3u);
    EXPECT_EQ(ntohl(record.buttonOffset), 44u);
}

TEST(Records, ControllerChangeTestComparesCountsValidValuatorsAndButtonBytes) {
    ControllerRecord previous;
    previous.setId(3);
    previous.numValuators = htonl(2);
    previous.valuators[0] = static_cast<int32_t>(htonl(1500));
    previous.valuators[1] = static_cast<int32_t>(htonl(static_cast<uint32_t>(-20)));
    previous.setButtonCount(12);
    previous.setButton(10, true);

    ControllerRecord current = previous;
    current.setId(4);
    current.timeSec = htonl(99);
    current.timeUsec = htonl(1000);
    current.clock.seconds = 99;
    current.valuatorOffset = htonl(36);
    current.buttonOffset = htonl(0);
    current.valuators[5] = static_cast<int32_t>(htonl(777));  // beyond numValuators
    EXPECT_TRUE(ControllerRecord::isEqual(previous, current));

    ControllerRecord changed = previous;
    changed.setButton(1, true);
    EXPECT_FALSE(ControllerRecord::isEqual(previous, changed));
    changed = previous;
    changed.setButton(10, false);
    EXPECT_FALSE(ControllerRecord::isEqual(previous, changed));
    changed = previous;
    changed.valuators[1] = static_cast<int32_t>(htonl(static_cast<uint32_t>(-21)));
    EXPECT_FALSE(ControllerRecord::isEqual(previous, changed));
    changed = previous;
    changed.numValuators = htonl(3);
    EXPECT_FALSE(ControllerRecord::isEqual(previous, changed));
    changed = previous;
    changed.setButtonCount(13);
    EXPECT_FALSE(ControllerRecord::isEqual(previous, changed));
}

TEST(Records, ControllerBytesBeyondARecordsOwnButtonBytesCountAsZero) {
    ControllerRecord previous;
    previous.setButtonCount(16);
    ControllerRecord current = previous;
    current.buttonBytes = 1;
    current.buttons[1] = 0x04;  // stale, outside what current declares
    EXPECT_TRUE(ControllerRecord::isEqual(previous, current));
    previous.buttons[1] = 0x04;
    EXPECT_FALSE(ControllerRecord::isEqual(previous, current));
}

TEST(Records, ControllerChangeTestNeverReadsPastTheRecord) {
    // Exactly sized heap objects, so that a read past the end is caught by the address sanitizer.
    auto previous = std::make_unique<ControllerRecord>();
    auto current = std::make_unique<ControllerRecord>();
    previous->setButtonCount(32);
    current->setButtonCount(32);
    previous->buttonBytes = 1000;
    current->buttonBytes = 1000;
    previous->numValuators = htonl(1000);
    current->numValuators = htonl(1000);
    EXPECT_TRUE(ControllerRecord::isEqual(*previous, *current));
    current->buttons[3] = 0x10;
    EXPECT_FALSE(ControllerRecord::isEqual(*previous, *current));
    current->buttons[3] = 0;
    current->valuators[31] = static_cast<int32_t>(htonl(5));
    EXPECT_FALSE(ControllerRecord::isEqual(*previous, *current));
}

TEST(Records, UpdateMaskBitsReadByteByByte) {
    const struct {
        uint32_t n;
        Bytes bytes;
    } cases[] = {{1, {0x00, 0x00, 0x00, 0x01}}, {9, {0x00, 0x00, 0x01, 0x00}}, {32, {0x80, 0x00, 0x00, 0x00}}};
    for (const auto& example : cases) {
        UpdateMask mask{0, 0};
        EXPECT_TRUE(storage::markTracker(mask, example.n));
        EXPECT_EQ(wordBytes(mask.trackers), example.bytes) << example.n;
        EXPECT_EQ(mask.controllers, 0u);
        UpdateMask other{0, 0};
        EXPECT_TRUE(storage::markController(other, example.n));
        EXPECT_EQ(wordBytes(other.controllers), example.bytes) << example.n;
        EXPECT_EQ(other.trackers, 0u);
    }
    UpdateMask mask{0, 0};
    storage::markTracker(mask, 1);
    storage::markTracker(mask, 9);
    storage::markTracker(mask, 9);
    EXPECT_EQ(wordBytes(mask.trackers), (Bytes{0x00, 0x00, 0x01, 0x01}));
    EXPECT_FALSE(storage::markTracker(mask, 0));
    EXPECT_FALSE(storage::markController(mask, 33));
    EXPECT_EQ(wordBytes(mask.trackers), (Bytes{0x00, 0x00, 0x01, 0x01}));
    EXPECT_EQ(mask.controllers, 0u);
}

TEST(Records, StampTimeFillsTheClockAndTheNetworkOrderTimes) {
    TrackerRecord tracker;
    ControllerRecord controller;
    tracker.clock.padding = 0xBEEF;
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(tracker.stampTime());
    EXPECT_TRUE(controller.stampTime());
    const std::time_t after = std::time(nullptr);
    const struct {
        const RecordClock& clock;
        uint32_t timeSec;
        uint32_t timeUsec;
    } stamps[] = {{tracker.clock, tracker.timeSec, tracker.timeUsec},
                  {controller.clock, controller.timeSec, controller.timeUsec}};
    for (const auto& stamp : stamps) {
        EXPECT_GE(static_cast<std::time_t>(ntohl(stamp.timeSec)), before - 2);
        EXPECT_LE(static_cast<std::time_t>(ntohl(stamp.timeSec)), after + 2);
        EXPECT_EQ(ntohl(stamp.timeSec), static_cast<uint32_t>(stamp.clock.seconds));
        EXPECT_LT(stamp.clock.milliseconds, 1000);
        EXPECT_EQ(ntohl(stamp.timeUsec), stamp.clock.milliseconds * 1000u);
        EXPECT_LT(ntohl(stamp.timeUsec), 1000000u);
        EXPECT_GE(stamp.clock.timezone, -14 * 60);
        EXPECT_LE(stamp.clock.timezone, 12 * 60);
        EXPECT_TRUE(stamp.clock.daylight == 0 || stamp.clock.daylight == 1) << stamp.clock.daylight;
    }
    EXPECT_EQ(tracker.clock.padding, 0xBEEF);
    // The pose and the ids are left alone.
    EXPECT_EQ(tracker.id, 0u);
    EXPECT_EQ(tracker.x, 0);
}
