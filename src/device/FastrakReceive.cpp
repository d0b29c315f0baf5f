// CFastrak::recvData: one binary record read byte by byte, decoded, converted and published.
#include <chrono>
#include <cstring>
#include <iostream>

#include "controller/CConCommonH.h"
#include "device/CFastrak.h"
#include "fastrak/DataStorage.h"
#include "serial/CRS232H.h"
#include "storage/UpdateMaskBits.h"
#include "tracker/CTraCommonH.h"
#include "tracker/TrackerTransform.h"

namespace {

// Record lengths, "0" and CR LF included, as each station's output list makes them.
const uint32_t kTrackerRecord = 29;
const uint32_t kTrackerStylusRecord = 31;
// "0", station digit, status byte, a blank, "0" or "1", CR LF: the output list of the button alone.
const uint32_t kStylusRecord = 7;
const uint32_t kPoseOffset = 3;
const uint32_t kTrackerButtonOffset = 28;
const uint32_t kStylusButtonOffset = 4;
const uint32_t kMaxOutput = 32;

// Bounds of a pose the tracker can report; anything beyond is a value a fault changed. The angle
// bounds allow for rounding at the ends of the range.
const float kMaxInches = 1000.0f;
const float kAngleSlack = 0.01f;

float littleEndianFloat(const uint8_t* bytes) {
    const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Written so that a NaN fails every bound.
bool within(float value, float bound) { return value >= -bound && value <= bound; }

bool isOutput(uint32_t number) { return number >= 1 && number <= kMaxOutput; }

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CFastrak::resetReception() {
    carryCount = 0;
    damagedSinceReport = 0;
    lastDamageReportMs = -kDamageReportMs;  // the first damage is reported at once
}

// The length a station's set-up gives its records, or 0 for a digit that is no station. A station
// that is neither tracker nor stylus was given the tracker's output list.
uint32_t CFastrak::frameLength(uint8_t digit) const {
    if (digit < '1' || digit > '0' + kStations) return 0;
    const uint32_t station = static_cast<uint32_t>(digit - '0');
    if (stylusStation[station - 1]) return trackerStation[station - 1] ? kTrackerStylusRecord : kStylusRecord;
    return kTrackerRecord;
}

// A tracker frame's pose goes into stationPose as it is read, so it is decoded once. The tracker
// sends no checksum: values it cannot report are the only sign of a hit value. The status byte is
// not examined (a self-test error puts a letter there on a good record).
bool CFastrak::decodeFrame(uint32_t length) {
    if (length == kStylusRecord) return carry[kStylusButtonOffset] == '0' || carry[kStylusButtonOffset] == '1';
    if (length == kTrackerStylusRecord && carry[kTrackerButtonOffset] != '0' && carry[kTrackerButtonOffset] != '1') {
        return false;
    }
    const float bounds[6] = {kMaxInches,           kMaxInches,          kMaxInches,
                             180.0f + kAngleSlack, 90.0f + kAngleSlack, 180.0f + kAngleSlack};
    float* values = stationPose.data();
    for (uint32_t i = 0; i < 6; ++i) {
        values[i] = littleEndianFloat(&carry[kPoseOffset + 4 * i]);
        if (!within(values[i], bounds[i])) return false;
    }
    return true;
}

void CFastrak::dropCarry(uint32_t count) {
    if (count >= carryCount) {
        carryCount = 0;
        return;
    }
    std::memmove(carry, carry + count, carryCount - count);
    carryCount -= count;
}

CFastrak::ReadResult CFastrak::readByte() {
    if (!keepReading()) return ReadResult::Stopped;
    const int32_t got = serialPort->readPort(&carry[carryCount], 1);
    if (got == 0) return ReadResult::Silent;
    if (got < 0) return ReadResult::Failed;
    ++carryCount;
    return ReadResult::Record;
}

void CFastrak::frameDamaged(const char* why) {
    ++damagedSinceReport;
    if (logger->isDebugOn()) {
        logger->warning("CFastrak: Damaged data dropped: ", false);
        std::cout << why << std::endl;
    }
}

// Finds the next frame: "0", a station digit, exactly as many bytes as that station's records
// have, CR LF at the end and values the tracker can send. CR LF and "0" among the values are data.
// After a damaged frame the search goes on from the byte after its "0", among the bytes already
// read, so a good record beside a damaged one is kept. Bytes of a frame cut short by a silent line
// stay in the carry buffer for the next call.
CFastrak::ReadResult CFastrak::readFrame(uint32_t& length) {
    for (;;) {
        uint32_t start = 0;
        while (start < carryCount && carry[start] != '0') ++start;
        dropCarry(start);
        if (carryCount < 2) {
            const ReadResult result = readByte();
            if (result != ReadResult::Record) return result;
            continue;
        }
        length = frameLength(carry[1]);
        if (length == 0) {
            frameDamaged("no such station");
            dropCarry(1);
            continue;
        }
        while (carryCount < length) {
            const ReadResult result = readByte();
            if (result != ReadResult::Record) return result;
        }
        if (carry[length - 2] != '\r' || carry[length - 1] != '\n') {
            frameDamaged("no CR LF where the record ends");
            dropCarry(1);
            continue;
        }
        if (!decodeFrame(length)) {
            frameDamaged("values out of range");
            dropCarry(1);
            continue;
        }
        logger->debug("CFastrak: EOL received.", true);
        if (keepReading()) return ReadResult::Record;
        dropCarry(length);
        return ReadResult::Stopped;
    }
}

// One WARNING line at most every kDamageReportMs while damage happens, with the count since the
// last one; the clock is read only while a count is pending.
void CFastrak::reportDamage() {
    if (damagedSinceReport == 0) return;
    const int64_t now = steadyMs();
    if (now - lastDamageReportMs < kDamageReportMs) return;
    logger->warning("CFastrak: Damaged data on the line: ", false);
    std::cout << damagedSinceReport << (damagedSinceReport == 1 ? " frame" : " frames")
              << " dropped since the last report." << std::endl;
    damagedSinceReport = 0;
    lastDamageReportMs = now;
}

int32_t CFastrak::recvData(UpdateMask* mask, int32_t /*unused*/) {
    logger->debug("CFastrak: \"recvData\" called.", true);
    bool trackerDecoded = false;
    bool controllerDecoded = false;
    if (mask != nullptr) {
        if (trackerProc != nullptr) mask->trackers = 0;
        if (controllerProc != nullptr) mask->controllers = 0;
    }
    if (serialPort == nullptr) {
        logger->error("CFastrak: Reading error occured.", true);
        return -1;
    }
    uint32_t length = 0;
    const ReadResult read = readFrame(length);
    reportDamage();
    switch (read) {
        case ReadResult::Silent:
            return 1;
        case ReadResult::Stopped:
            return -1;
        case ReadResult::Failed:
            logger->error("CFastrak: Reading error occured.", true);
            return -1;
        case ReadResult::Record:
            break;
    }

    logger->debug("CFastrak: Checking the data format.", true);
    const int32_t rawId = static_cast<int32_t>(carry[1]) - '0';
    const uint32_t station = static_cast<uint32_t>(rawId);  // 1 to 4: readFrame framed it
    const bool isTracker = trackerStation[station - 1];
    const bool hasStylus = stylusStation[station - 1];

    uint32_t newConId = 0;
    if (controllerProc != nullptr && hasStylus) {
        newConId = controllerProc->stylusOutputNumber(station);
        if (logger->isDebugOn()) {
            logger->debug("CFastrak: rawID: ", false);
            std::cout << rawId << " newConID: " << newConId << std::endl;
        }
        if (isOutput(newConId)) {
            const uint32_t buttonAt = isTracker ? kTrackerButtonOffset : kStylusButtonOffset;
            const bool pressed = carry[buttonAt] == '1';
            if (logger->isDebugOn()) {
                logger->debug("CFastrak: but: ", false);
                std::cout << (pressed ? 1 : 0) << std::endl;
            }
            controllerDecoded = controllerProc->fillStylusRecord(station, pressed, currentController);
        }
    }

    uint32_t newTraId = 0;
    if (trackerProc != nullptr && length != kStylusRecord) {
        if (station <= trackerProc->numStations && trackerProc->stations != nullptr) {
            const uint32_t output = trackerProc->stations[station - 1].outputNumber;
            if (output != 0) newTraId = output + trackerProc->trackerBase;
        }
        if (logger->isDebugOn()) {
            logger->debug("CFastrak: rawID: ", false);
            std::cout << rawId << " newTraID: " << newTraId << std::endl;
        }
        if (isOutput(newTraId) && isTracker) {
            currentTracker.stampTime();
            currentTracker.setId(newTraId);
            Pose& pose = stationPose;  // as decodeFrame read it
            convertDevicePose(pose, trackerProc->caveCoordinates);
            if (!trackerProc->processPose(station, pose)) {
                dropCarry(length);
                return -1;
            }
            currentTracker.setX(pose.x);
            currentTracker.setY(pose.y);
            currentTracker.setZ(pose.z);
            currentTracker.setAzimuth(pose.azimuth);
            currentTracker.setElevation(pose.elevation);
            currentTracker.setRoll(pose.roll);
            trackerDecoded = true;
        }
    }
    dropCarry(length);

    if (trackerProc != nullptr && trackerDecoded) publishTracker(station, newTraId, mask, trackerDecoded);
    if (controllerProc != nullptr && controllerDecoded) publishController(station, newConId, mask, controllerDecoded);

    if (!trackerDecoded && !controllerDecoded && logger->isDebugOn()) {
        logger->warning("CFastrak: No valid data received.", true);
    }
    return 1;
}

// Each storage's lock is taken alone and only around the copy, never across a read.
void CFastrak::publishTracker(uint32_t station, uint32_t newTraId, UpdateMask* mask, bool& decoded) {
    TrackerRecord& last = lastTracker[station - 1];
    if (TrackerRecord::isEqual(last, currentTracker)) return;
    CDataStorage* storage = initInfo.trackerStorage;
    storage->lock();
    trackerSlot = storage->getTrackerData(newTraId);
    if (trackerSlot != nullptr) {
        logger->debug("CFastrak: TraData storage found", true);
        std::memcpy(static_cast<void*>(trackerSlot), &currentTracker, sizeof currentTracker);
    } else {
        logger->error("CFastrak: TraData storage not found", true);
        decoded = false;
    }
    storage->unlock();
    if (mask != nullptr) storage::markTracker(*mask, newTraId);
    last = currentTracker;
}

void CFastrak::publishController(uint32_t station, uint32_t newConId, UpdateMask* mask, bool& decoded) {
    ControllerRecord& last = lastController[station - 1];
    if (ControllerRecord::isEqual(last, currentController)) return;
    CDataStorage* storage = initInfo.controllerStorage;
    storage->lock();
    controllerSlot = storage->getControllerData(newConId);
    if (controllerSlot != nullptr) {
        logger->debug("CFastrak: ConData storage found", true);
        std::memcpy(static_cast<void*>(controllerSlot), &currentController, sizeof currentController);
    } else {
        logger->error("CFastrak: ConData storage not found", true);
        decoded = false;
    }
    storage->unlock();
    if (mask != nullptr) storage::markController(*mask, newConId);
    last = currentController;
}
