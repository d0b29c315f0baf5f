// PoseBoard: record decoding and the shared latest-state table.
#include "devices/PoseBoard.h"

#include <algorithm>

#include "Storage.h"

namespace fastrakhost {
namespace {

// Network order, read byte by byte so that no socket library is needed.
double fixed(int32_t word, double scale) {
    return static_cast<int32_t>(fromNetwork(static_cast<uint32_t>(word))) * scale;
}

}  // namespace

double wallClockSeconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1e6;
}

Sample decodeTracker(const TrackerRecord& record) {
    Sample sample;
    sample.kind = Sample::Kind::Tracker;
    sample.output = fromNetwork(record.id);
    const int32_t fields[6] = {record.x, record.y, record.z, record.azimuth, record.elevation, record.roll};
    for (int i = 0; i < 6; ++i) sample.pose[i] = fixed(fields[i], 0.00001);
    return sample;
}

Sample decodeController(const ControllerRecord& record) {
    Sample sample;
    sample.kind = Sample::Kind::Controller;
    sample.output = fromNetwork(record.id);
    sample.buttonCount = fromNetwork(record.numButtons);
    if (sample.buttonCount > kMaxButtons) sample.buttonCount = kMaxButtons;
    for (uint32_t n = 1; n <= sample.buttonCount; ++n) {
        if (record.buttons[(n - 1) / 8] & (1u << ((n - 1) % 8))) sample.buttons |= 1u << (n - 1);
    }
    return sample;
}

const char* stateName(DeviceState state) {
    switch (state) {
        case DeviceState::Waiting:
            return "waiting";
        case DeviceState::SettingUp:
            return "setting up";
        case DeviceState::Running:
            return "running";
        case DeviceState::Silent:
            return "silent";
        case DeviceState::DamagedLine:
            return "damaged line";
        case DeviceState::Disconnected:
            return "disconnected";
        case DeviceState::Failed:
            return "failed";
        case DeviceState::Stopped:
            return "stopped";
    }
    return "?";
}

void PoseBoard::publish(const Sample& sample) {
    std::lock_guard<std::mutex> hold(mutex_);
    Row& row = rows_[{sample.kind == Sample::Kind::Tracker ? 0 : 1, sample.output}];
    row.last = sample;
    row.recent.push_back(sample.arrived);
    while (!row.recent.empty() && sample.arrived - row.recent.front() > std::chrono::seconds(1)) row.recent.pop_front();
    ++row.total;
    ++total_;
    std::deque<double>& delays = delays_[sample.device];
    delays.push_back(sample.hostTime - sample.measuredTime);
    if (delays.size() > kDelays) delays.pop_front();
}

DelayFigures PoseBoard::delays(const std::string& device) const {
    std::vector<double> sorted;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto found = delays_.find(device);
        if (found == delays_.end()) return DelayFigures{};
        sorted.assign(found->second.begin(), found->second.end());
    }
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double q) { return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)]; };
    return DelayFigures{sorted.size(), at(0.5), at(0.99) - at(0.01)};
}

void PoseBoard::expect(const std::string& device, Sample::Kind kind, uint32_t output, uint32_t station) {
    std::lock_guard<std::mutex> hold(mutex_);
    Row& row = rows_[{kind == Sample::Kind::Tracker ? 0 : 1, output}];
    if (row.total > 0) return;
    row.last.device = device;
    row.last.kind = kind;
    row.last.output = output;
    row.last.station = station;
}

void PoseBoard::setState(const std::string& device, DeviceState state) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& entry : states_) {
        if (entry.first == device) {
            entry.second = state;
            return;
        }
    }
    states_.emplace_back(device, state);
}

std::map<std::pair<int, uint32_t>, PoseBoard::Row> PoseBoard::rows() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return rows_;
}

std::vector<std::pair<std::string, DeviceState>> PoseBoard::states(SteadyTime now) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::pair<std::string, DeviceState>> all = states_;
    for (auto& entry : all) entry.second = shown(entry.first, entry.second, now);
    return all;
}

DeviceState PoseBoard::state(const std::string& device, SteadyTime now) const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& entry : states_) {
        if (entry.first == device) return shown(device, entry.second, now);
    }
    return DeviceState::Waiting;
}

DeviceState PoseBoard::shown(const std::string& device, DeviceState state, SteadyTime now) const {
    if (state != DeviceState::Running) return state;
    const auto found = notes_.find(device);
    if (found == notes_.end() || !found->second.damaged || now - found->second.lastDamage > kReportsLapse) return state;
    return DeviceState::DamagedLine;
}

void PoseBoard::take(const LineReport& report, SteadyTime now) {
    std::lock_guard<std::mutex> hold(mutex_);
    LineNotes& notes = notes_[report.device];
    if (report.kind == LineReport::Kind::Stations) {
        for (uint32_t station : report.stations) {
            if (std::find(notes.strayStations.begin(), notes.strayStations.end(), station) ==
                notes.strayStations.end()) {
                notes.strayStations.push_back(station);
                notes.strayWarningDue = true;
            }
        }
        std::sort(notes.strayStations.begin(), notes.strayStations.end());
        return;
    }
    const bool wasDamaged = notes.damaged && now - notes.lastDamage <= kReportsLapse;
    notes.damagedFrames += report.frames;
    notes.damaged = report.frames > report.records;
    notes.lastDamage = now;
    if (notes.damaged && !wasDamaged) notes.warningDue = true;
    if (!notes.damaged) notes.warningDue = false;
}

bool PoseBoard::takeStrayWarning(const std::string& device) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = notes_.find(device);
    if (found == notes_.end() || !found->second.strayWarningDue) return false;
    found->second.strayWarningDue = false;
    return true;
}

LineNotes PoseBoard::notes(const std::string& device) const {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = notes_.find(device);
    return found == notes_.end() ? LineNotes() : found->second;
}

bool PoseBoard::takeDamageWarning(const std::string& device) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = notes_.find(device);
    if (found == notes_.end() || !found->second.warningDue) return false;
    found->second.warningDue = false;
    return true;
}

std::string PoseBoard::strayStations(const std::string& device) const {
    const std::vector<uint32_t> stations = notes(device).strayStations;
    std::string list;
    for (uint32_t station : stations) list += (list.empty() ? "" : ", ") + std::to_string(station);
    return list.empty() ? list : (stations.size() == 1 ? "station " : "stations ") + list;
}

std::string PoseBoard::hint(const std::string& device) const {
    const std::string stations = strayStations(device);
    return stations.empty() ? stations : "records from " + stations + " (not on the sensors line)";
}

uint64_t PoseBoard::total() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return total_;
}

double PoseBoard::rate(const Row& row, SteadyTime now) {
    size_t n = 0;
    for (const SteadyTime& t : row.recent) {
        if (now - t <= std::chrono::seconds(1)) ++n;
    }
    return static_cast<double>(n);
}

}  // namespace fastrakhost
