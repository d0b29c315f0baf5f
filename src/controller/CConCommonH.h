// CConCommonH: the controller processor: its table, its options, its summary and the stylus mapping.
#pragma once

#include <cstdint>
#include <memory>

#include "fastrak/DeviceConfig.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

// How a controller is also shown as a tracker; kept and printed, not applied to records.
struct TrackerEmulation {
    uint32_t trackerId;
    float initialValues[6];      // X, Y, Z, azimuth, elevation, roll
    uint32_t valuatorAssign[6];  // real valuator for each of the six, 0 = none
    uint32_t resetButton;        // real button, 0 = none
};

// One controller: how its real buttons and valuators are numbered and scaled on output.
struct ControllerSetup {
    uint32_t outputId;  // before outputBase is added; 0 = publishes nothing
    uint32_t valuatorCount;
    uint32_t buttonCount;
    uint32_t valuatorOrder[kMaxValuators];  // entry r-1: output number of real valuator r, 0 = none
    uint32_t buttonOrder[kMaxButtons];      // entry r-1: output number of real button r, 0 = none
    float valuatorScale[kMaxValuators][4];  // a, b, c, d of a*x^3 + b*x^2 + c*x + d
    std::unique_ptr<TrackerEmulation> emulation;
};

class CConCommonH {
public:
    enum : uint32_t {
        kStations = 4,         // stylus stations are numbered 1..4
        kMaxControllers = 32,  // output numbers run 1..32, so no table needs more entries
        kMaxOutputNumber = 32,
    };

    explicit CConCommonH(const Logger* creatorLogger);
    ~CConCommonH();
    CConCommonH(const CConCommonH&) = delete;
    CConCommonH& operator=(const CConCommonH&) = delete;

    // Drops any earlier table; count 0 (or more than kMaxControllers) changes nothing.
    bool createTable(uint32_t count, bool limit);
    // index is 1-based; each count at most 32.
    bool setController(uint32_t index, uint32_t outputId, uint32_t valuators, uint32_t buttons);
    bool setEmulation(uint32_t index, uint32_t trackerId, const float (&values)[6],
                      const uint32_t (&valuatorNumbers)[6], uint32_t resetButton);
    bool freeTable();

    // Builds the table for the device's stylus stations (element 0 = station 1): one entry per
    // station up to the highest stylus station, addressed by station number, each stylus with the
    // next output id from 1, no valuators and one button. numControllers is raised to the number
    // of styluses so that a claim of outputBase + numControllers covers every output id.
    // Returns that number; 0 (and no change) when no station carries a stylus.
    uint32_t setupStylusTable(const bool (&stylusStation)[kStations]);

    bool parseOptions(DeviceConfig* config);
    bool printControllerSummary() const;

    // Output number of the stylus on a station: outputBase + the outputId of the entry numbered
    // by the station, or 0 when the station has no entry or the entry publishes nothing.
    uint32_t stylusOutputNumber(uint32_t station) const;
    // Fills record with the button state of the stylus on a station; false, record untouched,
    // unless the station's output number is 1..32. The caller checks the station's stylus flag.
    bool fillStylusRecord(uint32_t station, bool pressed, ControllerRecord& record) const;

    bool ownsLogger;
    uint32_t controllerCount;
    bool limitToDeclared;
    std::unique_ptr<ControllerSetup[]> controllers;
    bool inputConnector;
    uint32_t numControllers;
    uint32_t outputBase;
    Logger* logger;

private:
    ControllerSetup* entry(uint32_t index) const;
    // The entry an option line names, or null: entries of stations without a stylus take no options.
    ControllerSetup* optionEntry(uint32_t index) const;
    void reportError(const char* problemPhrase, const char* optionPhrase, uint32_t lineNumber,
                     const char* terminatorText) const;
    bool parseEmulateTracker(const OptionLine& line);
    bool parseItemOrder(const OptionLine& line, bool buttons);
    bool parseValuatorScale(const OptionLine& line);
    bool parseControllerOrder(const OptionLine& line);

    // Bit i set: entry i + 1 stands for a station without a stylus (the table is addressed by station).
    uint32_t vacantEntries = 0;
};
