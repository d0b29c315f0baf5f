// CTraCommonH::parseOptions: the tracker option lines, their units and their diagnostics.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "calib/CCalibH.h"
#include "config/OptionDiagnostics.h"
#include "config/OptionRecord.h"
#include "config/OptionText.h"
#include "tracker/CTraCommonH.h"
#include "tracker/TrackerTransform.h"

namespace {

namespace label {
constexpr const char* kTransmitterOffset = "TransmitterOffset at line ";
constexpr const char* kTransmitterRotation = "TransmitterRotation at line ";
constexpr const char* kTransmitterRotationMatrix = "TransmitterRotationMatrix at line ";
constexpr const char* kSensorOffset = "SensorOffset at line ";
constexpr const char* kSensorTranslation = "SensorTranslation at line ";
constexpr const char* kSensorRotation = "SensorRotation at line ";
constexpr const char* kSensorRotationMatrix = "SensorRotationMatrix at line ";
constexpr const char* kCalibration = "Calibration at line ";
constexpr const char* kOrder = "Order at line ";
constexpr const char* kCaveCoord = "CAVECoord at line ";
}  // namespace label

constexpr const char* kOrderOnInputConnector = "Can not change the order on input connector at line ";

bool keywordIs(const OptionLine& line, const char* keyword) { return compareNoCase(line.keyword, keyword) == 0; }

// strtod's reading, kept as a float. A zero that starts with a letter is a word, not a number;
// so is anything that is not finite as a float (nan, inf, 1e99), which would poison every sample.
bool readNumber(const char* token, float& value) {
    const double parsed = std::strtod(token, nullptr);
    if (parsed == 0.0 && std::isalpha(static_cast<unsigned char>(token[0]))) return false;
    const float narrowed = static_cast<float>(parsed);
    if (!std::isfinite(narrowed)) return false;
    value = narrowed;
    return true;
}

// Applies a unit factor; false when a value no longer fits a float (3e38 m), which would
// make every sample infinite or NaN.
bool scaledFinite(float (&xyz)[3], float factor) {
    for (float& value : xyz) {
        value *= factor;
        if (!std::isfinite(value)) return false;
    }
    return true;
}

// Factor to feet of a unit word; false for a word that is not a unit.
bool unitFactor(const char* word, float& factor) {
    if (compareNoCase(word, "feet") == 0) {
        factor = 1.0f;
    } else if (compareNoCase(word, "inches") == 0) {
        factor = kInchesToFeet;
    } else if (compareNoCase(word, "meters") == 0 || compareNoCase(word, "m") == 0) {
        factor = 3.2808399f;
    } else if (compareNoCase(word, "cm") == 0) {
        factor = 0.0328084f;
    } else {
        return false;
    }
    return true;
}

char* copyOf(const char* text) {
    const size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

// The station named by argument 0 (strtol base 0); one that is 0, negative or beyond the table
// is reported and gives null.
StationEntry* CTraCommonH::stationArgument(const OptionLine& line, const char* label) const {
    const int32_t station = toInteger(optionArg(line, 0));
    StationEntry* entry = station > 0 ? entryFor(static_cast<uint32_t>(station)) : nullptr;
    if (entry == nullptr) report(problem::kInvalidTrackerId, label, line);
    return entry;
}

// Fewer arguments than least: incomplete; more than most: too many. True when the count fits.
bool CTraCommonH::countFits(const OptionLine& line, uint32_t least, uint32_t most, const char* label) const {
    const uint32_t count = optionArgCount(line);
    if (count < least) {
        report(problem::kIncomplete, label, line);
        return false;
    }
    if (count > most) {
        report(problem::kTooManyArgs, label, line);
        return false;
    }
    return true;
}

// Arguments first..first+count-1 as numbers; the first that is not one is reported.
bool CTraCommonH::numbersRead(const OptionLine& line, uint32_t first, uint32_t count, float* values,
                              const char* label) const {
    for (uint32_t i = 0; i < count; ++i) {
        if (!readNumber(optionArg(line, first + i), values[i])) {
            report(problem::kInvalidArg, label, line);
            return false;
        }
    }
    return true;
}

void CTraCommonH::report(const char* problemPhrase, const char* label, const OptionLine& line) const {
    reportOptionError(*logger, "", problemPhrase, label, line.lineNumber);
}

bool CTraCommonH::parseOptions(DeviceConfig* config) {
    if (logger == nullptr) return false;
    logger->debug("CTraCommonH: \"parseOptions\" called.", true);
    if (stations == nullptr) {
        logger->error("CTraCommonH: lookup is Null.", true);
        return false;
    }
    if (config == nullptr) {
        logger->error("CTraCommonH: config is empty.", true);
        return false;
    }
    bool failed = false;
    const uint32_t lines = optionLineCount(*config);
    for (uint32_t i = 0; i < lines; ++i) {
        OptionLine& line = config->entries[i];
        RowResult result = RowResult::LeftAlone;
        if (keywordIs(line, "transmitteroffset")) {
            result = parseTransmitterOffset(line, failed);
        } else if (keywordIs(line, "transmitterrotation")) {
            result = parseTransmitterRotation(line, failed);
        } else if (keywordIs(line, "transmitterrotationmatrix")) {
            result = parseTransmitterRotationMatrix(line, failed);
        } else if (keywordIs(line, "sensoroffset")) {
            result = parseSensorOffset(line, failed, false);
        } else if (keywordIs(line, "sensortranslation")) {
            result = parseSensorOffset(line, failed, true);
        } else if (keywordIs(line, "sensorrotation")) {
            result = parseSensorRotation(line, failed);
        } else if (keywordIs(line, "sensorrotationmatrix")) {
            result = parseSensorRotationMatrix(line, failed);
        } else if (keywordIs(line, "calibration") || keywordIs(line, "calib")) {
            result = parseCalibration(line);
        } else if (keywordIs(line, "trackerorder") || keywordIs(line, "unitorder") || keywordIs(line, "order")) {
            result = parseOrder(line);
        } else if (keywordIs(line, "cavecoord") || keywordIs(line, "cavecoordinates")) {
            result = parseCaveCoordinates(line);
        }
        if (result == RowResult::Applied) line.used = 1;
        if (result == RowResult::Failed) failed = true;
    }
    return !failed;
}

CTraCommonH::RowResult CTraCommonH::parseTransmitterOffset(const OptionLine& line, bool failed) {
    const uint32_t count = optionArgCount(line);
    if (!countFits(line, 3, 4, label::kTransmitterOffset)) return RowResult::Failed;
    float xyz[3];
    if (!numbersRead(line, 0, 3, xyz, label::kTransmitterOffset)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    float factor = 1.0f;
    if (count == 4 && !unitFactor(optionArg(line, 3), factor)) {
        report(problem::kInvalidString, label::kTransmitterOffset, line);
        return RowResult::Failed;
    }
    if (!scaledFinite(xyz, factor)) {
        report(problem::kInvalidArg, label::kTransmitterOffset, line);
        return RowResult::Failed;
    }
    // A zero line says "no offset" and leaves an earlier one in force. Only zero in every
    // component counts: one whose components merely cancel (1, -1, 0) is a real offset.
    if (xyz[0] == 0.0f && xyz[1] == 0.0f && xyz[2] == 0.0f) return RowResult::Applied;
    transmitterOffset = offsetMatrix(xyz[0], xyz[1], xyz[2]);
    transmitterOffsetSet = true;
    transmitterTransform = composeTransform(transmitterRotation, transmitterOffset);
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseTransmitterRotation(const OptionLine& line, bool failed) {
    if (!countFits(line, 4, 4, label::kTransmitterRotation)) return RowResult::Failed;
    float axis[3];
    if (!numbersRead(line, 0, 3, axis, label::kTransmitterRotation)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    float angle = 0.0f;
    if (!numbersRead(line, 3, 1, &angle, label::kTransmitterRotation)) return RowResult::Failed;
    transmitterRotation = axisAngleMatrix(axis[0], axis[1], axis[2], angle);
    transmitterTransform = composeTransform(transmitterRotation, transmitterOffset);
    transmitterRotationSet = true;
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseTransmitterRotationMatrix(const OptionLine& line, bool failed) {
    if (!countFits(line, 9, 9, label::kTransmitterRotationMatrix)) return RowResult::Failed;
    float rows[9];
    if (!numbersRead(line, 0, 9, rows, label::kTransmitterRotationMatrix)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    transmitterRotation = matrixFromRows(rows);
    transmitterTransform = composeTransform(transmitterRotation, transmitterOffset);
    transmitterRotationSet = true;
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseSensorOffset(const OptionLine& line, bool failed, bool translation) {
    const char* const rowLabel = translation ? label::kSensorTranslation : label::kSensorOffset;
    const uint32_t count = optionArgCount(line);
    if (!countFits(line, 1, kMaxOptionArgs, rowLabel)) return RowResult::Failed;
    StationEntry* entry = stationArgument(line, rowLabel);
    if (entry == nullptr) return RowResult::Failed;
    if (!countFits(line, 4, 5, rowLabel)) return RowResult::Failed;
    float xyz[3];
    if (!numbersRead(line, 1, 3, xyz, rowLabel)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    float factor = 1.0f;
    if (count == 5 && !unitFactor(optionArg(line, 4), factor)) {
        report(problem::kInvalidUnit, rowLabel, line);
        return RowResult::Failed;
    }
    if (!scaledFinite(xyz, factor)) {
        report(problem::kInvalidArg, rowLabel, line);
        return RowResult::Failed;
    }
    if (translation) {
        for (int i = 0; i < 3; ++i) entry->translation[i] = xyz[i];
        entry->translationSet = true;
    } else {
        entry->offsetMatrix = offsetMatrix(xyz[0], xyz[1], xyz[2]);
        entry->transform = composeTransform(entry->rotationMatrix, entry->offsetMatrix);
        entry->offsetSet = true;
    }
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseSensorRotation(const OptionLine& line, bool failed) {
    if (!countFits(line, 1, kMaxOptionArgs, label::kSensorRotation)) return RowResult::Failed;
    StationEntry* entry = stationArgument(line, label::kSensorRotation);
    if (entry == nullptr) return RowResult::Failed;
    if (!countFits(line, 5, 5, label::kSensorRotation)) return RowResult::Failed;
    float axis[3];
    if (!numbersRead(line, 1, 3, axis, label::kSensorRotation)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    float angle = 0.0f;
    if (!numbersRead(line, 4, 1, &angle, label::kSensorRotation)) return RowResult::Failed;
    entry->rotationMatrix = axisAngleMatrix(axis[0], axis[1], axis[2], angle);
    entry->transform = composeTransform(entry->rotationMatrix, entry->offsetMatrix);
    entry->rotationSet = true;
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseSensorRotationMatrix(const OptionLine& line, bool failed) {
    if (!countFits(line, 1, kMaxOptionArgs, label::kSensorRotationMatrix)) return RowResult::Failed;
    StationEntry* entry = stationArgument(line, label::kSensorRotationMatrix);
    if (entry == nullptr) return RowResult::Failed;
    if (!countFits(line, 10, 10, label::kSensorRotationMatrix)) return RowResult::Failed;
    float rows[9];
    if (!numbersRead(line, 1, 9, rows, label::kSensorRotationMatrix)) return RowResult::Failed;
    if (failed) return RowResult::LeftAlone;
    entry->rotationMatrix = matrixFromRows(rows);
    entry->transform = composeTransform(entry->rotationMatrix, entry->offsetMatrix);
    entry->rotationSet = true;
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseCalibration(const OptionLine& line) {
    const uint32_t count = optionArgCount(line);
    if (!countFits(line, 1, kMaxOptionArgs, label::kCalibration)) return RowResult::Failed;
    // A name that does not fit calibName would be cut short and load some other library.
    const char* name = optionArg(line, 0);
    if (count - 1 > kMaxCalibArgs || std::strlen(name) >= kCalibNameSize) {
        report(problem::kTooManyArgs, label::kCalibration, line);
        return RowResult::Failed;
    }
    releaseCalibration();
    std::memcpy(calibName, name, std::strlen(name) + 1);
    calib = new (std::nothrow) CCalibH(calibName, logger);
    bool copied = calib != nullptr;
    for (uint32_t i = 0; copied && i + 1 < count; ++i) {
        calibArgs[i] = copyOf(optionArg(line, i + 1));
        if (calibArgs[i] == nullptr) copied = false;
        numCalibArgs = i + 1;
    }
    if (!copied) {
        // Going on without the library would publish uncorrected samples as if corrected.
        releaseCalibration();
        logger->error("CTraCommonH: Not enough memory for the calibration library.", true);
        return RowResult::Failed;
    }
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseOrder(const OptionLine& line) {
    if (inputConnector) {
        report(kOrderOnInputConnector, "", line);
        return RowResult::Failed;
    }
    const uint32_t count = optionArgCount(line);
    const uint32_t named = count < numOutputs ? count : numOutputs;
    uint32_t order[kMaxOptionArgs];
    for (uint32_t k = 0; k < named; ++k) {
        const int32_t station = toInteger(optionArg(line, k));
        if (station <= 0 || static_cast<uint32_t>(station) > numStations) {
            report(problem::kInvalidTrackerId, label::kOrder, line);
            return RowResult::Failed;
        }
        order[k] = static_cast<uint32_t>(station);
    }
    for (uint32_t n = 0; n < numStations; ++n) stations[n].outputNumber = 0;
    for (uint32_t k = 0; k < named; ++k) stations[order[k] - 1].outputNumber = k + 1;
    return RowResult::Applied;
}

CTraCommonH::RowResult CTraCommonH::parseCaveCoordinates(const OptionLine& line) {
    if (!inputConnector) return RowResult::LeftAlone;
    if (!countFits(line, 1, 1, label::kCaveCoord)) return RowResult::Failed;
    const char* word = optionArg(line, 0);
    if (compareNoCase(word, "yes") == 0 || compareNoCase(word, "on") == 0) {
        caveCoordinates = true;
    } else if (compareNoCase(word, "no") == 0 || compareNoCase(word, "off") == 0) {
        caveCoordinates = false;
    } else {
        report(problem::kInvalidString, label::kCaveCoord, line);
        return RowResult::Failed;
    }
    return RowResult::Applied;
}
