// CTraCommonH: construction and release, the station table and the per-record processing.
#include "tracker/CTraCommonH.h"

#include <cstring>
#include <new>

#include "calib/CCalibH.h"
#include "log/OwnedLogger.h"
#include "tracker/TrackerTransform.h"

CTraCommonH::CTraCommonH(const Logger* creatorLogger)
    : ownsLogger(true),
      numStations(0),
      stations(nullptr),
      inputConnector(true),
      transmitterOffset(zeroMatrix()),
      transmitterRotation(identityMatrix()),
      transmitterTransform(identityMatrix()),
      transmitterOffsetSet(false),
      transmitterRotationSet(false),
      caveCoordinates(false),
      numOutputs(0),
      trackerBase(0),
      calib(nullptr),
      calibName(),
      calibArgs(),
      numCalibArgs(0),
      logger(newOwnedLogger(creatorLogger, "CTraCommonH", 3)) {
    if (logger == nullptr) return;
    logger->debug("CTraCommonH: \"constructor\" called.", true);
}

CTraCommonH::~CTraCommonH() {
    if (logger != nullptr) logger->debug("CTraCommonH: \"destructor\" called.", true);
    releaseCalibration();
    delete[] stations;
    stations = nullptr;
    numStations = 0;
    if (ownsLogger) {
        deleteOwnedLogger(logger);
    }
    logger = nullptr;
}

void CTraCommonH::releaseCalibration() {
    delete calib;
    calib = nullptr;
    for (uint32_t i = 0; i < numCalibArgs && i < kMaxCalibArgs; ++i) {
        delete[] calibArgs[i];
        calibArgs[i] = nullptr;
    }
    numCalibArgs = 0;
}

void CTraCommonH::resetStation(StationEntry& entry, uint32_t outputNumber) {
    entry.outputNumber = outputNumber;
    entry.offsetMatrix = zeroMatrix();
    entry.rotationMatrix = identityMatrix();
    entry.transform = composeTransform(entry.rotationMatrix, entry.offsetMatrix);
    entry.translation[0] = entry.translation[1] = entry.translation[2] = 0.0f;
    entry.offsetSet = entry.rotationSet = entry.translationSet = false;
}

StationEntry* CTraCommonH::entryFor(uint32_t station) const {
    if (stations == nullptr || station == 0 || station > numStations) return nullptr;
    return &stations[station - 1];
}

bool CTraCommonH::allocateStations(uint32_t count) {
    if (logger != nullptr) logger->debug("CTraCommonH: \"allocateStations\" called.", true);
    if (count == 0) return false;
    StationEntry* table = new (std::nothrow) StationEntry[count];
    if (table == nullptr) {
        if (logger != nullptr) logger->error("CTraCommonH: Not enough memory for the station table.", true);
        return false;
    }
    delete[] stations;
    stations = table;
    numStations = count;
    for (uint32_t n = 1; n <= count; ++n) setStation(n, 0, nullptr, nullptr, nullptr);
    return true;
}

bool CTraCommonH::setStation(uint32_t station, uint32_t outputNumber, const Matrix4* offset, const Matrix4* rotation,
                             const float (*translation)[3]) {
    if (logger != nullptr) logger->debug("CTraCommonH: \"setStation\" called.", true);
    StationEntry* entry = entryFor(station);
    if (entry == nullptr) return false;
    resetStation(*entry, outputNumber);
    if (offset != nullptr) {
        entry->offsetMatrix = *offset;
        entry->offsetSet = true;
    }
    if (rotation != nullptr) {
        entry->rotationMatrix = *rotation;
        entry->rotationSet = true;
    }
    if (translation != nullptr) {
        for (int i = 0; i < 3; ++i) entry->translation[i] = (*translation)[i];
        entry->translationSet = true;
    }
    entry->transform = composeTransform(entry->rotationMatrix, entry->offsetMatrix);
    return true;
}

bool CTraCommonH::processPose(uint32_t station, Pose& pose) const {
    // The device only asks for stations of its own table; anything else is refused, never read.
    const StationEntry* entry = entryFor(station);
    if (entry == nullptr) return false;
    if (calib != nullptr && !calib->evaluate(pose.data())) return false;
    if (transmitterOffsetSet || transmitterRotationSet || entry->offsetSet || entry->rotationSet ||
        entry->translationSet) {
        // Without CAVE axes the angles are still the tracker's own and must stay in that form.
        transformPose(pose, transmitterTransform, entry->transform, entry->translation,
                      caveCoordinates ? AngleForm::Cave : AngleForm::Tracker);
    }
    return true;
}
