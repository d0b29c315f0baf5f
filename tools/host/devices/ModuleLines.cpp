// ModuleLines: the exact texts of the module's damage and stations warnings, after its line prefix.
#include "devices/ModuleLines.h"

#include <cctype>
#include <cstdlib>

namespace fastrakhost {
namespace {

const char kWarning[] = "WARNING: CFastrak: ";
const char kDamage[] = "Damaged data on the line: ";
const char kStations[] = "Records arrive from station";
const char kLeftOff[] = ", which the sensors line leaves off (";
const size_t kNameField = 99;  // the logger keeps this much of a name

bool startsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A whole number at `at`, followed by " WORD" or " WORDs" with the plural when it is not 1; `at`
// moves past the word.
bool count(const std::string& text, size_t& at, const std::string& word, uint64_t& value) {
    size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == at || end - at > 19) return false;
    value = std::strtoull(text.c_str() + at, nullptr, 10);
    const std::string unit = " " + word + (value == 1 ? "" : "s");
    if (text.compare(end, unit.size(), unit) != 0) return false;
    at = end + unit.size();
    return true;
}

// What the logger puts before a name: nothing, or "Mmm dd " and/or a time "hh:mm:ss ".
bool isStamp(const std::string& text) {
    size_t at = 0;
    int words = 0;
    while (at < text.size()) {
        const size_t blank = text.find(' ', at);
        if (blank == std::string::npos || blank == at || ++words > 3) return false;
        for (size_t i = at; i < blank; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (!std::isalnum(c) && c != ':') return false;
        }
        at = blank + 1;
    }
    return true;
}

}  // namespace

ModuleLines::ModuleLines(std::vector<std::string> devices) : devices_(std::move(devices)) {}

std::string ModuleLines::deviceOf(const std::string& head) const {
    if (head.size() < 2 || head.compare(head.size() - 2, 2, ": ") != 0) return std::string();
    std::string before = head.substr(0, head.size() - 2);
    if (!before.empty() && before.back() == ']') {
        const size_t open = before.rfind('[');
        if (open == std::string::npos || open + 2 > before.size() - 1) return std::string();
        for (size_t i = open + 1; i + 1 < before.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(before[i]))) return std::string();
        }
        before.erase(open);
    }
    for (const std::string& device : devices_) {
        const std::string name = device.substr(0, kNameField);
        if (before.size() < name.size() || before.compare(before.size() - name.size(), name.size(), name) != 0)
            continue;
        if (isStamp(before.substr(0, before.size() - name.size()))) return device;
    }
    return std::string();
}

bool ModuleLines::read(const std::string& line, LineReport& report) const {
    const size_t warning = line.find(kWarning);
    if (warning == std::string::npos) return false;
    LineReport found;
    found.device = deviceOf(line.substr(0, warning));
    if (found.device.empty()) return false;
    size_t at = warning + sizeof kWarning - 1;
    if (startsWith(line, at, kDamage)) {
        found.kind = LineReport::Kind::Damage;
        at += sizeof kDamage - 1;
        if (!count(line, at, "frame", found.frames) || !startsWith(line, at, " dropped, ")) return false;
        at += 10;
        if (!count(line, at, "record", found.records)) return false;
        if (line.compare(at, std::string::npos, " received since the last report.") != 0) return false;
    } else if (startsWith(line, at, kStations)) {
        found.kind = LineReport::Kind::Stations;
        at += sizeof kStations - 1;
        if (startsWith(line, at, "s")) ++at;
        if (!startsWith(line, at, " ")) return false;
        ++at;
        const size_t end = line.find(kLeftOff, at);
        if (end == std::string::npos) return false;
        // "3, 4": stations 1 to 4, separated by ", ".
        for (size_t i = at; i < end; i += 3) {
            if (line[i] < '1' || line[i] > '4' || (i + 1 < end && line.compare(i + 1, 2, ", ") != 0)) return false;
            found.stations.push_back(static_cast<uint32_t>(line[i] - '0'));
        }
        if (found.stations.empty()) return false;
        at = end + sizeof kLeftOff - 1;
        if (!count(line, at, "record", found.records)) return false;
        if (line.compare(at, std::string::npos,
                         " since the last report); they also share the tracker's update rate.") != 0)
            return false;
    } else {
        return false;
    }
    report = found;
    return true;
}

}  // namespace fastrakhost
