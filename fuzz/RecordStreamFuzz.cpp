// Fuzz target for record reception: arbitrary bytes through recvData of a device set up with
// trackers, a stylus on a tracker station, a stylus-only station and every transform, with the
// host's storages resized and its run flag cleared at varied moments. Every published record must
// be a well-formed, plausible frame of a configured station, ending where the device's reading ends,
// and either followed by the start of a record or in step with a chain of such frames that is.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <iostream>
#include <vector>

#include "FuzzHost.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"

// The device's test hook: a regular file as the line, and the bytes it holds between calls.
struct FastrakTestAccess {
    static void acceptPlainFile(CFastrak& device) { device.acceptsPlainFile = true; }
    static uint32_t carried(const CFastrak& device) { return device.carryCount; }
    static void startAfresh(CFastrak& device) { device.resetReception(); }
};

namespace {

void noWait(uint32_t) {}

// Stations 1 to 3 track (outputs 1 to 3), 2 also carries a stylus (controller 1), 4 carries
// only a stylus (controller 2).
const uint32_t kTrackerOutput[5] = {0, 1, 2, 3, 0};
const uint32_t kControllerOutput[5] = {0, 0, 1, 0, 2};

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

float valueAt(const uint8_t* bytes) {
    const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A well-formed, plausible frame of `length` bytes at r, for a station that may send that length.
bool wellFormed(const uint8_t* r, size_t length) {
    if (r[0] != '0' || r[1] < '1' || r[1] > '4' || r[length - 2] != '\r' || r[length - 1] != '\n') return false;
    const int station = r[1] - '0';
    if (length != kLengths[station][0] && length != kLengths[station][1] && length != kLengths[station][2]) {
        return false;
    }
    auto button = [r](size_t at) { return r[at - 1] == ' ' && (r[at] == '0' || r[at] == '1'); };
    if (length == 7) return button(4);
    if (length == 31 && !button(28)) return false;
    const float bounds[6] = {1000, 1000, 1000, 180.01f, 90.01f, 180.01f};
    for (int i = 0; i < 6; ++i) {
        const float v = valueAt(r + 3 + 4 * i);
        if (!std::isfinite(v) || std::fabs(v) > bounds[i]) return false;
    }
    return true;
}

// The frame the device used up last ends at `end` of the stream: a well-formed record of a station
// whose output of this kind is `output`, with a button when it is a controller's. Its length, or 0.
size_t endsInRecord(const uint8_t* stream, size_t end, const uint32_t (&outputs)[5], uint32_t output, bool controller) {
    for (int station = 1; station <= 4; ++station) {
        if (outputs[station] != output) continue;
        for (size_t length : kLengths[station]) {
            if (length == 0 || end < length || (controller && length == 29)) continue;
            const uint8_t* r = stream + end - length;
            if (r[1] == '0' + station && wellFormed(r, length)) return length;
        }
    }
    return 0;
}

// anchored[p]: a frame that ends at p may be taken, because the bytes after it start a record, or a
// chain of well-formed frames leads to it from one whose end is confirmed that way.
std::vector<bool> anchoredEnds(const uint8_t* stream, size_t length) {
    std::vector<bool> anchored(length + 1, false);
    for (size_t p = 0; p < length; ++p) {
        for (size_t frame : {size_t{7}, size_t{29}, size_t{31}}) {
            if (p + frame > length || !wellFormed(stream + p, frame)) continue;
            const size_t end = p + frame;
            const bool confirmed =
                end + 2 <= length && stream[end] == '0' && stream[end + 1] >= '1' && stream[end + 1] <= '4';
            if (confirmed || anchored[p]) anchored[end] = true;
        }
    }
    return anchored;
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
    // its run flag (0: never).
    rig->trackers.count_ = data[0] % 33;
    rig->controllers.count_ = data[1] % 33;
    const size_t clearAt = data[2];
    const uint8_t* stream = data + 3;
    const size_t length = size - 3;
    rig->line.fill(stream, length);
    lseek(rig->port, 0, SEEK_SET);
    FastrakTestAccess::startAfresh(*rig->device);  // a new line: nothing read from it yet
    const std::vector<bool> anchored = anchoredEnds(stream, length);

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
        // Bytes read but still held by the device are not used up yet.
        const size_t held = FastrakTestAccess::carried(*rig->device);
        if (held > static_cast<size_t>(after) || held > CFastrak::kCarry) __builtin_trap();
        const size_t used = static_cast<size_t>(after) - held;
        if (mask.trackers != 0) {
            const uint32_t id = onlyBit(mask.trackers);
            const size_t frame = id == 0 ? 0 : endsInRecord(stream, used, kTrackerOutput, id, false);
            if (frame == 0 || !anchored[used]) __builtin_trap();
            if (id <= rig->trackers.count_ && ntohl(rig->trackers.trackers_[id - 1].id) != id) __builtin_trap();
        }
        if (mask.controllers != 0) {
            const uint32_t id = onlyBit(mask.controllers);
            const size_t frame = id == 0 ? 0 : endsInRecord(stream, used, kControllerOutput, id, true);
            if (frame == 0 || !anchored[used]) __builtin_trap();
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
