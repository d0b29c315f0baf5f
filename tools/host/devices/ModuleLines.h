// ModuleLines: the module's reports about a device's line (damage, stations outside the sensors
// line), read from its log lines as they pass through standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fastrakhost {

struct LineReport {
    enum class Kind { Damage, Stations };
    Kind kind = Kind::Damage;
    std::string device;
    uint64_t frames = 0;             // Damage: damaged stretches dropped since the last report
    uint64_t records = 0;            // Damage: good frames read; Stations: records from those stations
    std::vector<uint32_t> stations;  // Stations: the ones the sensors line leaves off
};

class ModuleLines {
public:
    explicit ModuleLines(std::vector<std::string> devices);
    // One whole line, without its line break. True when it is one of the reports, written by the
    // module for one of the devices; a host line that quotes such text is not.
    bool read(const std::string& line, LineReport& report) const;

private:
    // The device whose logger prefix `head` is: an optional date and time, NAME, an optional
    // "[thread id]", then ": ". Empty when it is none of them.
    std::string deviceOf(const std::string& head) const;

    std::vector<std::string> devices_;
};

}  // namespace fastrakhost
