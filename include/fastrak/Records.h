// TrackerRecord, ControllerRecord and UpdateMask: the fixed binary records that cross to the host.
#pragma once

#include <cstddef>
#include <cstdint>

// The record's own copy of the wall clock, laid out as the 32-bit _ftime structure.
struct RecordClock {
    int32_t seconds;
    uint16_t milliseconds;
    int16_t timezone;  // minutes west of UTC
    int16_t daylight;  // nonzero while daylight-saving time is in force
    uint16_t padding;
};

// Fields marked "net" are in network byte order; fixed point is value / scale as int32.
struct TrackerRecord {
    uint32_t id;  // net, output number 1..32
    uint32_t reserved1;
    uint32_t timeSec;   // net
    uint32_t timeUsec;  // net
    uint32_t reserved2;
    int32_t x;  // net, scale 0.00001, feet
    int32_t y;
    int32_t z;
    int32_t azimuth;  // net, scale 0.00001, degrees
    int32_t elevation;
    int32_t roll;
    RecordClock clock;  // host order

    TrackerRecord();  // the empty record
    bool setId(uint32_t n);
    bool stampTime();
    bool setX(float value);
    bool setY(float value);
    bool setZ(float value);
    bool setAzimuth(float value);
    bool setElevation(float value);
    bool setRoll(float value);
    float getRoll() const;
    // Equal when the id and the six stored pose integers are; times and clock are not compared.
    static bool isEqual(const TrackerRecord& previous, const TrackerRecord& current);
};

enum : uint32_t { kMaxValuators = 32, kMaxButtons = 32, kButtonBytes = 4 };

struct ControllerRecord {
    uint32_t id;  // net, output number 1..32
    uint32_t reserved1;
    uint32_t timeSec;   // net
    uint32_t timeUsec;  // net
    uint32_t reserved2;
    uint32_t numValuators;             // net
    uint32_t numButtons;               // net
    uint32_t valuatorOffset;           // net, 36
    uint32_t buttonOffset;             // net, 36 + 4 * numValuators
    int32_t valuators[kMaxValuators];  // net, scale 0.001
    uint8_t buttons[kButtonBytes];     // button n is bit (n-1)%8 of byte (n-1)/8
    uint32_t buttonBytes;              // host order
    RecordClock clock;                 // host order

    ControllerRecord();  // the empty record
    bool setId(uint32_t n);
    bool stampTime();
    bool setButtonCount(uint32_t n);
    bool setButton(uint32_t n, bool pressed);
    static bool isEqual(const ControllerRecord& previous, const ControllerRecord& current);
};

// Two words in network order: bit n-1 marks output number n (trackers, then controllers).
struct UpdateMask {
    uint32_t trackers;
    uint32_t controllers;
};

static_assert(sizeof(RecordClock) == 12, "clock layout");
static_assert(sizeof(TrackerRecord) == 56, "TrackerRecord is 56 bytes");
static_assert(offsetof(TrackerRecord, timeSec) == 8, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, timeUsec) == 12, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, x) == 20, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, y) == 24, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, z) == 28, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, azimuth) == 32, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, elevation) == 36, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, roll) == 40, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, clock) == 44, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, clock) + offsetof(RecordClock, milliseconds) == 48, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, clock) + offsetof(RecordClock, timezone) == 50, "TrackerRecord layout");
static_assert(offsetof(TrackerRecord, clock) + offsetof(RecordClock, daylight) == 52, "TrackerRecord layout");
static_assert(sizeof(ControllerRecord) == 184, "ControllerRecord is 184 bytes");
static_assert(offsetof(ControllerRecord, numValuators) == 20, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, numButtons) == 24, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, valuatorOffset) == 28, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, buttonOffset) == 32, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, valuators) == 36, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, buttons) == 164, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, buttonBytes) == 168, "ControllerRecord layout");
static_assert(offsetof(ControllerRecord, clock) == 172, "ControllerRecord layout");
static_assert(sizeof(UpdateMask) == 8, "UpdateMask is 8 bytes");
