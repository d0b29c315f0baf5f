// PoseBoard: the published records as the host sees them, the latest per output, and device states.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fastrak/Records.h"

namespace fastrakhost {

using SteadyTime = std::chrono::steady_clock::time_point;

// One published record, decoded from the storage slot.
struct Sample {
    enum class Kind { Tracker, Controller };
    double hostTime = 0;  // seconds since 1970 when the host took it from the storage
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

enum class DeviceState { Waiting, SettingUp, Running, Silent, Disconnected, Failed, Stopped };
const char* stateName(DeviceState state);

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

    // Copies for the view; rate() counts the arrivals of the last second.
    std::map<std::pair<int, uint32_t>, Row> rows() const;
    std::vector<std::pair<std::string, DeviceState>> states() const;
    DeviceState state(const std::string& device) const;
    uint64_t total() const;
    static double rate(const Row& row, SteadyTime now);

private:
    mutable std::mutex mutex_;
    std::map<std::pair<int, uint32_t>, Row> rows_;  // key: kind (0 tracker, 1 controller), output
    std::vector<std::pair<std::string, DeviceState>> states_;
    uint64_t total_ = 0;
};

}  // namespace fastrakhost
