// Fuzz target for record reception: the input is a list of records that the harness encodes, in
// any order of stations and at any length a station may send, with damage between and inside them
// (runs of bytes lost, bytes changed, noise), fed to recvData of a device set up with trackers, a
// stylus on a tracker station, a stylus-only station and every transform, with the host's storages
// resized and its run flag cleared at varied moments. A published pose must be bit for bit the one
// the device makes of a record the harness encoded for that station (or of that record as a change
// left it, when the change kept its length and station); a published button must be one such a
// record carried. The oracle knows nothing of how the device frames the bytes.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "FuzzHost.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"
#include "tracker/CTraCommonH.h"
#include "tracker/TrackerTransform.h"

// The device's test hook: a regular file as the line, and the bytes it holds between calls.
struct FastrakTestAccess {
    static void acceptPlainFile(CFastrak& device) { device.acceptsPlainFile = true; }
    static uint32_t carried(const CFastrak& device) { return device.carryCount; }
    static void startAfresh(CFastrak& device) { device.resetReception(); }
    static const TrackerRecord& current(const CFastrak& device) { return device.currentTracker; }
    static const ControllerRecord& currentButton(const CFastrak& device) { return device.currentController; }
    // The published values the device makes of a station's six values, through its own conversion.
    static bool convert(const CFastrak& device, uint32_t station, Pose pose, TrackerRecord& out) {
        convertDevicePose(pose, device.trackerProc->caveCoordinates);
        if (!device.trackerProc->processPose(station, pose)) return false;
        out.setX(pose.x);
        out.setY(pose.y);
        out.setZ(pose.z);
        out.setAzimuth(pose.azimuth);
        out.setElevation(pose.elevation);
        out.setRoll(pose.roll);
        return true;
    }
};

namespace {

void noWait(uint32_t) {}

// Stations 1 to 3 track (outputs 1 to 3), 2 also carries a stylus (controller 1), 4 carries
// only a stylus (controller 2).
struct Rig {
    fuzzhost::ScratchLine line;
    fuzzhost::FuzzConfig config;
    fuzzhost::Storage trackers{true};
    fuzzhost::Storage controllers{false};
    Logger logger{};
    int32_t runFlag = 1;
    InitInfo info{};
    CFastrak* device = nullptr;
    int port = -1;

    bool setUp() {
        platform::setSleeper(&noWait);
        if (!line.ok()) return false;
        config.add({"port", line.path()});
        config.add({"sensors", "1", "1", "1", "0"});
        config.add({"stylus", "2"});
        config.add({"stylus", "4"});
        config.add({"transmitteroffset", "1", "-2", "3", "inches"});
        config.add({"transmitterrotation", "0", "1", "0", "30"});
        config.add({"sensoroffset", "1", "0.5", "0", "-1", "cm"});
        config.add({"sensorrotation", "2", "1", "1", "0", "45"});
        config.add({"sensortranslation", "3", "0", "1", "0", "m"});
        logger.setDefaults();
        info.trackerStorage = trackers.get();
        info.controllerStorage = controllers.get();
        info.runFlag = &runFlag;
        device = new CFastrak(config.get(), &logger);
        FastrakTestAccess::acceptPlainFile(*device);
        if (device->init(&info) != 1) return false;
        port = line.otherDescriptor();
        return port >= 0 && trackers.count_ == 3 && controllers.count_ == 2;
    }
};

Rig* rig = nullptr;

// The record lengths each station may send: a tracker's records come at either tracker length, the
// stylus alone as its own 7 bytes or with a pose.
const size_t kLengths[5][3] = {{0, 0, 0}, {29, 31, 0}, {31, 29, 0}, {29, 31, 0}, {7, 31, 29}};
const float kBounds[6] = {1000, 1000, 1000, 180, 90, 180};

// Reads the input front to back; past its end every byte is 0.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

// One record as the harness encoded it, and its bytes as damage inside it left them.
struct Sent {
    uint32_t station;
    std::string bytes;
    Pose pose;
    bool pressed;
};

// A value the tracker can send, from two input bytes: a multiple of 1/32768 of its range. The
// tracker measures; it does not send the denormal and tiny values with which any run of bytes
// would pass for a pose.
float valueFrom(Input& in, float bound) {
    const uint16_t bits = static_cast<uint16_t>(in.byte() | in.byte() << 8);
    return static_cast<float>(static_cast<int16_t>(bits)) * bound / 32768.0f;
}

void appendValue(std::string& out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

Pose poseOf(const std::string& bytes) {
    Pose pose;
    float* values = pose.data();
    for (int i = 0; i < 6; ++i) std::memcpy(&values[i], bytes.data() + 3 + 4 * i, 4);
    return pose;
}

// The line: records and damage as the input lists them. Op byte: 0-3 a record, 4 a run lost from
// the last record, 5 a byte of it changed, 6 noise, 7 a record of the
// station after the last.
void buildLine(Input& in, std::vector<Sent>& sent, std::string& line) {
    uint32_t lastStation = 0;
    bool recordLast = false;   // the line ends with the last record, so damage can reach into it
    uint32_t sinceDamage = 2;  // records since the last fault: faults are single, with an intact
                               // record on each side, as on a line that is mostly clean
    while (in.more()) {
        const uint8_t op = in.byte() % 8;
        if (op < 4 || op == 7) {
            Sent r{};
            r.station = op == 7 ? lastStation % 4 + 1 : op + 1u;
            lastStation = r.station;
            const uint8_t form = in.byte();
            const size_t length = kLengths[r.station][form % (r.station == 4 ? 3 : 2)];
            r.pressed = (form & 0x80) != 0;
            r.bytes = std::string("0") + static_cast<char>('0' + r.station) + ' ';
            if (length == 7) {
                r.bytes += std::string(" ") + (r.pressed ? '1' : '0');
            } else {
                float* values = r.pose.data();
                for (int i = 0; i < 6; ++i) {
                    values[i] = valueFrom(in, kBounds[i]);
                    appendValue(r.bytes, values[i]);
                }
                if (length == 31) r.bytes += std::string(" ") + (r.pressed ? '1' : '0');
            }
            r.bytes += "\r\n";
            sent.push_back(r);
            line += r.bytes;
            recordLast = ++sinceDamage >= 2;
        } else if (op == 4 && recordLast && !sent.back().bytes.empty()) {
            std::string& bytes = sent.back().bytes;
            const size_t count = std::min<size_t>(bytes.size(), in.byte() % 40 + 1);
            const size_t at = in.byte() % (bytes.size() - count + 1);
            line.erase(line.size() - bytes.size() + at, count);
            bytes.erase(at, count);
            recordLast = false;
            sinceDamage = 0;
        } else if (op == 5 && recordLast && !sent.back().bytes.empty()) {
            // Never the station digit: changed before the device has learned the order of the
            // stations, it makes a well-formed record of another station that nothing can tell.
            std::string& bytes = sent.back().bytes;
            const size_t at = in.byte() % bytes.size();
            if (at == 1) continue;
            const char changed = static_cast<char>(bytes[at] ^ (in.byte() | 1));
            line[line.size() - bytes.size() + at] = changed;
            bytes[at] = changed;
            recordLast = false;
            sinceDamage = 0;
        } else if (op == 6 && sinceDamage >= 1) {
            const size_t count = in.byte() % 16 + 1;
            // Noise holds no CR: a burst that is itself a well-formed record is a record.
            for (size_t i = 0; i < count; ++i) {
                const uint8_t b = in.byte();
                line.push_back(static_cast<char>(b == '\r' ? b ^ 0x80 : b));
            }
            recordLast = false;
            sinceDamage = 0;
        }
    }
}

bool sameValues(const TrackerRecord& a, const TrackerRecord& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.azimuth == b.azimuth && a.elevation == b.elevation &&
           a.roll == b.roll;
}

uint32_t onlyBit(uint32_t netWord) {
    const uint32_t word = ntohl(netWord);
    if (word == 0 || (word & (word - 1)) != 0) return 0;
    uint32_t n = 1;
    while ((word >> (n - 1)) != 1) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Set-up's lines stay visible, so a set-up that fails says why; reception's go nowhere.
    rig = new Rig;
    if (!rig->setUp()) {
        std::cerr << "record fuzz: set-up failed" << std::endl;
        abort();
    }
    std::cout.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Byte 0 and 1: what the host's storages hold now; byte 2: the call at which the host clears
    // its run flag (0: never); the rest lists the records and the damage.
    rig->trackers.count_ = data[0] % 33;
    rig->controllers.count_ = data[1] % 33;
    const size_t clearAt = data[2];
    Input in{data + 3, size - 3};
    std::vector<Sent> sent;
    std::string line;
    buildLine(in, sent, line);
    const size_t length = line.size();
    if (length == 0) return 0;
    // What each station may publish: its records' poses as encoded, and as a change left them
    // when it kept the record's length and station digit.
    std::vector<TrackerRecord> allowed[5];
    std::vector<bool> buttons[5];
    for (const Sent& r : sent) {
        TrackerRecord made;
        if (r.station <= 3 && FastrakTestAccess::convert(*rig->device, r.station, r.pose, made)) {
            allowed[r.station].push_back(made);
        }
        buttons[r.station].push_back(r.pressed);
        const bool intactFrame =
            (r.bytes.size() == 29 || r.bytes.size() == 31) && r.bytes[1] == static_cast<char>('0' + r.station);
        if (intactFrame && r.station <= 3 &&
            FastrakTestAccess::convert(*rig->device, r.station, poseOf(r.bytes), made)) {
            allowed[r.station].push_back(made);
        }
        if (r.bytes.size() >= 5 && r.bytes[1] == static_cast<char>('0' + r.station)) {
            buttons[r.station].push_back(r.bytes[r.bytes.size() - 3] == '1');
        }
    }
    rig->line.fill(reinterpret_cast<const uint8_t*>(line.data()), length);
    lseek(rig->port, 0, SEEK_SET);
    FastrakTestAccess::startAfresh(*rig->device);  // a new line: nothing read from it yet

    off_t before = 0;
    size_t heldBefore = 0;
    for (size_t call = 1; call <= length + 3; ++call) {
        rig->runFlag = call == clearAt ? 0 : 1;
        UpdateMask mask{0xFFFFFFFFu, 0xFFFFFFFFu};
        const int32_t result = rig->device->recvData(&mask, 0);
        const off_t after = lseek(rig->port, 0, SEEK_CUR);
        if (after < before || static_cast<size_t>(after) > length) __builtin_trap();
        // Both kinds exist, so every call clears both words; a cleared flag reads nothing.
        if (call == clearAt && (result != -1 || after != before || mask.trackers != 0 || mask.controllers != 0)) {
            __builtin_trap();
        }
        const size_t held = FastrakTestAccess::carried(*rig->device);
        if (held > static_cast<size_t>(after) || held > CFastrak::kCarry) __builtin_trap();
        if (mask.trackers != 0) {
            // Output n is station n's.
            const uint32_t id = onlyBit(mask.trackers);
            if (id < 1 || id > 3) __builtin_trap();
            const TrackerRecord& got = FastrakTestAccess::current(*rig->device);
            bool sentSo = false;
            for (const TrackerRecord& r : allowed[id]) sentSo = sentSo || sameValues(r, got);
            if (!sentSo) __builtin_trap();
            if (id <= rig->trackers.count_ && ntohl(rig->trackers.trackers_[id - 1].id) != id) __builtin_trap();
        }
        if (mask.controllers != 0) {
            // Controller 1 is station 2's stylus, controller 2 station 4's.
            const uint32_t id = onlyBit(mask.controllers);
            if (id < 1 || id > 2) __builtin_trap();
            const uint32_t station = id == 1 ? 2 : 4;
            const bool pressed = (FastrakTestAccess::currentButton(*rig->device).buttons[0] & 1) != 0;
            bool sentSo = false;
            for (bool b : buttons[station]) sentSo = sentSo || b == pressed;
            if (!sentSo) __builtin_trap();
            if (id <= rig->controllers.count_ && ntohl(rig->controllers.controllers_[id - 1].id) != id)
                __builtin_trap();
        }
        if (result != 1 && call != clearAt) break;
        // At the end of the line with nothing read, nothing published and nothing more used up.
        if (static_cast<size_t>(after) == length && call != clearAt && after == before && held == heldBefore &&
            mask.trackers == 0 && mask.controllers == 0) {
            break;
        }
        before = after;
        heldBefore = held;
    }
    return 0;
}
