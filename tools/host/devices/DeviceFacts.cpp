// DeviceFacts: the module's own rules for the port, baud, sensors and stylus lines.
#include "devices/DeviceFacts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace fastrakhost {
namespace {

enum : uint32_t { kStations = 4 };

std::string lower(std::string word) {
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

long number(const std::string& word) { return std::strtol(word.c_str(), nullptr, 0); }

}  // namespace

uint32_t DeviceFacts::trackerStation(uint32_t output) const {
    return output >= 1 && output <= trackerStations.size() ? trackerStations[output - 1] : 0;
}

uint32_t DeviceFacts::stylusStation(uint32_t output) const {
    return output >= 1 && output <= stylusStations.size() ? stylusStations[output - 1] : 0;
}

std::vector<uint32_t> DeviceFacts::activeStations() const {
    std::vector<uint32_t> active;
    for (uint32_t s = 1; s <= kStations; ++s)
        if (std::count(trackerStations.begin(), trackerStations.end(), s) > 0 ||
            std::count(stylusStations.begin(), stylusStations.end(), s) > 0)
            active.push_back(s);
    return active;
}

std::string sensorsLineWith(const DeviceFacts& facts, const std::vector<uint32_t>& stations) {
    std::string line = "sensors";
    for (uint32_t s = 1; s <= kStations; ++s) {
        const bool on = std::count(facts.trackerStations.begin(), facts.trackerStations.end(), s) > 0 ||
                        std::count(stations.begin(), stations.end(), s) > 0;
        line += on ? " 1" : " 0";
    }
    return line;
}

DeviceFacts factsOf(const DeviceSection& section) {
    DeviceFacts facts;
    bool tracking[kStations] = {true, true, false, false};
    bool stylus[kStations] = {false, false, false, false};
    for (const OptionText& option : section.options) {
        const std::string keyword = lower(option.keyword);
        const std::vector<std::string>& args = option.args;
        if (isPortLine(option) && args.size() == 1) {
            facts.port = args[0];
        } else if ((keyword == "baud" || keyword == "baudrate") && args.size() == 1) {
            facts.baud = args[0];
        } else if ((keyword == "sensors" || keyword == "sensor") && args.size() == kStations) {
            bool next[kStations];
            bool valid = true;
            for (uint32_t s = 0; s < kStations && valid; ++s) {
                const long value = number(args[s]);
                const bool letter = !args[s].empty() && std::isalpha(static_cast<unsigned char>(args[s][0]));
                next[s] = value == 1;
                valid = value == 1 || (value == 0 && !letter);
            }
            if (valid) std::copy(next, next + kStations, tracking);
        } else if ((keyword == "cavecoord" || keyword == "cavecoordinates") && args.size() == 1) {
            const std::string value = lower(args[0]);
            if (value == "yes" || value == "on") facts.caveAngles = true;
            if (value == "no" || value == "off") facts.caveAngles = false;
        } else if (keyword == "stylus" && args.size() == 1) {
            const long station = number(args[0]);
            if (station >= 1 && station <= static_cast<long>(kStations)) stylus[station - 1] = true;
        }
    }
    for (uint32_t s = 1; s <= kStations; ++s) {
        if (tracking[s - 1]) facts.trackerStations.push_back(s);
        if (stylus[s - 1]) facts.stylusStations.push_back(s);
    }
    return facts;
}

}  // namespace fastrakhost
