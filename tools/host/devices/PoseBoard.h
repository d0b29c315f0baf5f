// PoseBoard: the published records as the host sees them, the latest per output, and device states.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devices/ModuleLines.h"
#include "fastrak/Records.h"

namespace fastrakhost {

using SteadyTime = std::chrono::steady_clock::time_point;

// One published record, decoded from the storage slot.
struct Sample {
    enum class Kind { Tracker, Controller };
    double hostTime = 0;      // seconds since 1970 when the host took it from the storage
    double measuredTime = 0;  // seconds since 1970: the host's estimate of when the tracker measured it
    SteadyTime arrived;
    std::string device;
    uint32_t output = 0;
    uint32_t station = 0;  // the tracker's station behind the output; 0: not known
    Kind kind = Kind::Tracker;
    double pose[6] = {0, 0, 0, 0, 0, 0};  // x y z (feet), azimuth elevation roll (degrees)
    uint32_t buttons = 0;                 // bit n-1 = button n
    uint32_t buttonCount = 0;
};

Sample decodeTracker(const TrackerRecord& record);
Sample decodeController(const ControllerRecord& record);
double wallClockSeconds();

// DamagedLine: running, but the module's last damage report counted more damaged frames than
// good records; the board shows it in place of Running while such reports keep coming.
enum class DeviceState { Waiting, SettingUp, Running, Silent, DamagedLine, Disconnected, Failed, Stopped };
const char* stateName(DeviceState state);

// What the module's reports said about a device's line during the run.
struct LineNotes {
    uint64_t damagedFrames = 0;  // the sum of the damage reports
    bool damaged = false;        // the last report: more frames dropped than records received
    SteadyTime lastDamage{};
    bool warningDue = false;              // damage began; the host has not said so yet
    std::vector<uint32_t> strayStations;  // stations outside the sensors line that records came from
    bool strayWarningDue = false;         // a station joined strayStations; the host has not said so
};

// A device's recent records: host_time - measured_time, in seconds.
struct DelayFigures {
    size_t records = 0;
    double median = 0;  // the estimated delay
    double spread = 0;  // its 1st to 99th percentile: the arrival jitter the estimate took out
};

// Shared between the reception threads (writers) and the view (reader).
class PoseBoard {
public:
    struct Row {
        Sample last;
        std::deque<SteadyTime> recent;  // arrivals of the last second, for the rate
        uint64_t total = 0;
    };

    void publish(const Sample& sample);
    // A row for an output a device claimed, shown as waiting until its first record.
    void expect(const std::string& device, Sample::Kind kind, uint32_t output, uint32_t station = 0);
    void setState(const std::string& device, DeviceState state);
    // A report the module wrote about the device's line.
    void take(const LineReport& report, SteadyTime now);
    LineNotes notes(const std::string& device) const;
    // True once each time damage begins: the caller then tells the user.
    bool takeDamageWarning(const std::string& device);
    // True once after a report names a station outside the sensors line that no report named before.
    bool takeStrayWarning(const std::string& device);
    // "stations 3, 4" that records came from outside the sensors line, or "".
    std::string strayStations(const std::string& device) const;
    // "records from stations 3, 4 (not on the sensors line)", or "".
    std::string hint(const std::string& device) const;

    // Reports come at most every 10 s while damage goes on; one missing for longer than this ends
    // the damaged state.
    static constexpr std::chrono::seconds kReportsLapse{13};

    // Copies for the view; rate() counts the arrivals of the last second. The states are as the
    // device threads set them, with DamagedLine for Running while the line's reports say so.
    std::map<std::pair<int, uint32_t>, Row> rows() const;
    std::vector<std::pair<std::string, DeviceState>> states(SteadyTime now = std::chrono::steady_clock::now()) const;
    DeviceState state(const std::string& device, SteadyTime now = std::chrono::steady_clock::now()) const;
    uint64_t total() const;
    DelayFigures delays(const std::string& device) const;
    static double rate(const Row& row, SteadyTime now);

private:
    mutable std::mutex mutex_;
    std::map<std::pair<int, uint32_t>, Row> rows_;  // key: kind (0 tracker, 1 controller), output
    DeviceState shown(const std::string& device, DeviceState state, SteadyTime now) const;  // with mutex_

    std::vector<std::pair<std::string, DeviceState>> states_;
    std::map<std::string, LineNotes> notes_;
    std::map<std::string, std::deque<double>> delays_;  // the last kDelays of each device
    static constexpr size_t kDelays = 512;
    uint64_t total_ = 0;
};

}  // namespace fastrakhost
