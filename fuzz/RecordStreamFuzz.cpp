// Fuzz target for record reception: arbitrary bytes through recvData of a device set up with
// trackers, a stylus on a tracker station, a stylus-only station and every transform, with the
// host's storages resized and its run flag cleared at varied moments.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "FuzzHost.h"
#include "device/CFastrak.h"
#include "platform/Sleeper.h"

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
        if (device->init(&info) != 1) return false;
        port = line.otherDescriptor();
        return port >= 0 && trackers.count_ == 3 && controllers.count_ == 2;
    }
};

Rig* rig = nullptr;

// The bytes a call consumed must end in a well-formed record of a station with that output.
bool endsInRecord(const uint8_t* span, size_t length, size_t recordLength, const uint32_t (&outputs)[5],
                  uint32_t output) {
    if (length < recordLength) return false;
    const uint8_t* record = span + length - recordLength;
    if (record[0] != '0' || record[recordLength - 2] != '\r' || record[recordLength - 1] != '\n') return false;
    const int station = record[1] - '0';
    return station >= 1 && station <= 4 && outputs[station] == output;
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

    off_t before = 0;
    for (size_t call = 1; call <= length + 2; ++call) {
        rig->runFlag = call == clearAt ? 0 : 1;
        UpdateMask mask{0xFFFFFFFFu, 0xFFFFFFFFu};
        const int32_t result = rig->device->recvData(&mask, 0);
        const off_t after = lseek(rig->port, 0, SEEK_CUR);
        if (after < before || static_cast<size_t>(after) > length) __builtin_trap();
        // Both kinds exist, so every call clears both words; a cleared flag reads nothing.
        if (call == clearAt && (result != -1 || after != before || mask.trackers != 0 || mask.controllers != 0)) {
            __builtin_trap();
        }
        const uint8_t* span = stream + before;
        const size_t consumed = static_cast<size_t>(after - before);
        if (mask.trackers != 0) {
            const uint32_t id = onlyBit(mask.trackers);
            if (id == 0 || !(endsInRecord(span, consumed, 29, kTrackerOutput, id) ||
                             endsInRecord(span, consumed, 31, kTrackerOutput, id))) {
                __builtin_trap();
            }
            if (id <= rig->trackers.count_ && ntohl(rig->trackers.trackers_[id - 1].id) != id) __builtin_trap();
        }
        if (mask.controllers != 0) {
            const uint32_t id = onlyBit(mask.controllers);
            if (id == 0 || !(endsInRecord(span, consumed, 31, kControllerOutput, id) ||
                             endsInRecord(span, consumed, 7, kControllerOutput, id))) {
                __builtin_trap();
            }
            if (id <= rig->controllers.count_ && ntohl(rig->controllers.controllers_[id - 1].id) != id) __builtin_trap();
        }
        before = after;
        if (result != 1 && call != clearAt) break;
        if (static_cast<size_t>(after) == length && call != clearAt && consumed == 0) break;
    }
    return 0;
}
