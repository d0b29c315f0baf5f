// CFastrak::recvData: one binary record read byte by byte, decoded, converted and published.
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

// Record lengths, "0" and CR LF included.
const uint32_t kTrackerRecord = 29;
const uint32_t kTrackerStylusRecord = 31;
// "0", station digit, status byte, a blank, "0" or "1", CR LF: the output list of the button alone.
const uint32_t kStylusRecord = 7;
const uint32_t kPoseOffset = 3;
const uint32_t kTrackerButtonOffset = 28;
const uint32_t kStylusButtonOffset = 4;
const uint32_t kMaxOutput = 32;

float littleEndianFloat(const uint8_t* bytes) {
    const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool isOutput(uint32_t number) { return number >= 1 && number <= kMaxOutput; }

}  // namespace

CFastrak::ReadResult CFastrak::readRecord() {
    uint8_t c = 0;
    while (c != '0') {
        if (!keepReading()) return ReadResult::Stopped;
        const int32_t got = serialPort->readPort(&c, 1);
        if (got == 0) return ReadResult::Silent;
        if (got < 0) return ReadResult::Failed;
    }
    recvBuffer[0] = c;
    recvCount = 1;
    // A line that never ends is cut at the buffer's size and dropped for its length; the next
    // call looks for a new start.
    while (keepReading() && recvCount < kRecvBufferSize) {
        const int32_t got = serialPort->readPort(&recvBuffer[recvCount], 1);
        if (got == 0) return ReadResult::Silent;
        if (got < 0) return ReadResult::Failed;
        ++recvCount;
        if (recvBuffer[recvCount - 2] == '\r' && recvBuffer[recvCount - 1] == '\n') {
            logger->debug("CFastrak: EOL received.", true);
            break;
        }
    }
    return keepReading() ? ReadResult::Record : ReadResult::Stopped;
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
    switch (readRecord()) {
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
    const int32_t rawId = static_cast<int32_t>(recvBuffer[1]) - '0';
    const bool knownStation = rawId >= 1 && rawId <= static_cast<int32_t>(kStations);
    const uint32_t station = knownStation ? static_cast<uint32_t>(rawId) : 0;
    const bool isTracker = knownStation && trackerStation[station - 1];
    const bool hasStylus = knownStation && stylusStation[station - 1];
    const bool stylusOnlyRecord = recvCount == kStylusRecord && hasStylus && !isTracker;

    uint32_t newConId = 0;
    if (controllerProc != nullptr && (recvCount == kTrackerStylusRecord || stylusOnlyRecord)) {
        newConId = knownStation ? controllerProc->stylusOutputNumber(station) : 0;
        if (logger->isDebugOn()) {
            logger->debug("CFastrak: rawID: ", false);
            std::cout << rawId << " newConID: " << newConId << std::endl;
        }
        if (isOutput(newConId) && hasStylus) {
            const uint32_t buttonAt = isTracker ? kTrackerButtonOffset : kStylusButtonOffset;
            const bool pressed = recvBuffer[buttonAt] == '1';
            if (logger->isDebugOn()) {
                logger->debug("CFastrak: but: ", false);
                std::cout << (pressed ? 1 : 0) << std::endl;
            }
            controllerDecoded = controllerProc->fillStylusRecord(station, pressed, currentController);
        }
    }

    uint32_t newTraId = 0;
    if (trackerProc != nullptr && (recvCount == kTrackerRecord || recvCount == kTrackerStylusRecord)) {
        if (knownStation && station <= trackerProc->numStations && trackerProc->stations != nullptr) {
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
            Pose& pose = stationPose;
            pose.x = littleEndianFloat(&recvBuffer[kPoseOffset]);
            pose.y = littleEndianFloat(&recvBuffer[kPoseOffset + 4]);
            pose.z = littleEndianFloat(&recvBuffer[kPoseOffset + 8]);
            pose.azimuth = littleEndianFloat(&recvBuffer[kPoseOffset + 12]);
            pose.elevation = littleEndianFloat(&recvBuffer[kPoseOffset + 16]);
            pose.roll = littleEndianFloat(&recvBuffer[kPoseOffset + 20]);
            convertDevicePose(pose, trackerProc->caveCoordinates);
            if (!trackerProc->processPose(station, pose)) return -1;
            currentTracker.setX(pose.x);
            currentTracker.setY(pose.y);
            currentTracker.setZ(pose.z);
            currentTracker.setAzimuth(pose.azimuth);
            currentTracker.setElevation(pose.elevation);
            currentTracker.setRoll(pose.roll);
            trackerDecoded = true;
        }
    }

    if (recvCount != kTrackerRecord && recvCount != kTrackerStylusRecord && !stylusOnlyRecord &&
        logger->isDebugOn()) {
        logger->warning("CFastrak: Got wrong length of data: ", false);
        std::cout << recvCount << " Ignored." << std::endl;
    }

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
