// CTraCommonH: the tracker processor: station table, transforms, CAVE switch, order and calibration.
#pragma once

#include <cstdint>

#include "fastrak/DeviceConfig.h"
#include "fastrak/Logger.h"
#include "tracker/Matrix4.h"
#include "tracker/Pose.h"

class CCalibH;

// One physical station's output number and sensor transforms.
struct StationEntry {
    uint32_t outputNumber;  // counted from 1; 0 = the station publishes nothing
    Matrix4 offsetMatrix;
    Matrix4 rotationMatrix;
    Matrix4 transform;     // composeTransform(rotationMatrix, offsetMatrix)
    float translation[3];  // feet, added unrotated
    bool offsetSet;
    bool rotationSet;
    bool translationSet;
};

// The device fills inputConnector, numOutputs, caveCoordinates and trackerBase directly and
// reads the station table and the calibration fields, so they are public.
class CTraCommonH {
public:
    enum : uint32_t { kMaxCalibArgs = 10, kCalibNameSize = 256 };

    explicit CTraCommonH(const Logger* creatorLogger);
    ~CTraCommonH();

    CTraCommonH(const CTraCommonH&) = delete;
    CTraCommonH& operator=(const CTraCommonH&) = delete;

    // False when the object could not make its Logger; it then refuses to parse or print.
    bool valid() const { return logger != nullptr; }

    // Count 0 (or no memory) changes nothing and gives false; otherwise a fresh table of count
    // stations with output number 0 and default transforms.
    bool allocateStations(uint32_t count);
    // station 1..numStations; a null input resets that part to its default and clears its flag.
    bool setStation(uint32_t station, uint32_t outputNumber, const Matrix4* offset, const Matrix4* rotation,
                    const float (*translation)[3]);
    // Reads the tracker option lines and marks the ones it accepts; false when set-up must stop.
    bool parseOptions(DeviceConfig* config);
    // Calibration, then the transforms, on one converted sample of station 1..numStations.
    // False when the calibration library cannot evaluate, or the station has no entry.
    bool processPose(uint32_t station, Pose& pose) const;
    // The tracker block of the configuration summary; always true.
    bool printSummary(bool withCaveLine = true) const;

    bool ownsLogger;
    uint32_t numStations;
    StationEntry* stations;
    bool inputConnector;
    Matrix4 transmitterOffset;
    Matrix4 transmitterRotation;
    Matrix4 transmitterTransform;
    bool transmitterOffsetSet;
    bool transmitterRotationSet;
    bool caveCoordinates;
    uint32_t numOutputs;
    uint32_t trackerBase;
    CCalibH* calib;
    char calibName[kCalibNameSize];
    char* calibArgs[kMaxCalibArgs];
    uint32_t numCalibArgs;
    Logger* logger;

private:
    // What an option row did with its line: accepted it, reported it, or left it alone.
    enum class RowResult { Applied, Failed, LeftAlone };

    void releaseCalibration();
    void resetStation(StationEntry& entry, uint32_t outputNumber);
    StationEntry* entryFor(uint32_t station) const;
    StationEntry* stationArgument(const OptionLine& line, const char* label) const;

    RowResult parseTransmitterOffset(const OptionLine& line, bool failed);
    RowResult parseTransmitterRotation(const OptionLine& line, bool failed);
    RowResult parseTransmitterRotationMatrix(const OptionLine& line, bool failed);
    RowResult parseSensorOffset(const OptionLine& line, bool failed, bool translation);
    RowResult parseSensorRotation(const OptionLine& line, bool failed);
    RowResult parseSensorRotationMatrix(const OptionLine& line, bool failed);
    RowResult parseCalibration(const OptionLine& line);
    RowResult parseOrder(const OptionLine& line);
    RowResult parseCaveCoordinates(const OptionLine& line);
    bool countFits(const OptionLine& line, uint32_t least, uint32_t most, const char* label) const;
    bool numbersRead(const OptionLine& line, uint32_t first, uint32_t count, float* values, const char* label) const;
    void report(const char* problemPhrase, const char* label, const OptionLine& line) const;
};
