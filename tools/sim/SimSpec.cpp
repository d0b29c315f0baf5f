// Reads the emulator's command-line specifications: scenes, presses, faults, station lists.
#include "SimSpec.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

namespace fastraksim {

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool number(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

bool stationPrefix(const std::string& text, int& station, std::string& rest, std::string& error) {
    const size_t eq = text.find('=');
    double s;
    if (eq == std::string::npos || !number(text.substr(0, eq), s) || s != std::floor(s) || s < 1 || s > 4) {
        error = "'" + text + "': expected a station 1 to 4, '=' and a value";
        return false;
    }
    station = static_cast<int>(s);
    rest = text.substr(eq + 1);
    return true;
}

// "key=value,key=value" into a map of numbers.
bool keyValues(const std::string& text, std::map<std::string, double>& out, std::string& error) {
    if (text.empty()) return true;
    for (const std::string& item : split(text, ',')) {
        const size_t eq = item.find('=');
        double v;
        if (eq == std::string::npos || !number(item.substr(eq + 1), v)) {
            error = "'" + item + "': expected key=number";
            return false;
        }
        out[item.substr(0, eq)] = v;
    }
    return true;
}

bool onlyKeys(const std::map<std::string, double>& values, std::initializer_list<const char*> allowed,
              const std::string& what, std::string& error) {
    for (const auto& kv : values) {
        bool known = false;
        for (const char* a : allowed) known = known || kv.first == a;
        if (!known) {
            error = what + ": unknown key '" + kv.first + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseScene(const std::string& text, uint64_t seed, int& station, MotionPtr& motion, std::string& error) {
    std::string rest;
    if (!stationPrefix(text, station, rest, error)) return false;
    const size_t colon = rest.find(':');
    const std::string kind = rest.substr(0, colon);
    std::map<std::string, double> values;
    if (colon != std::string::npos && !keyValues(rest.substr(colon + 1), values, error)) return false;
    if (!onlyKeys(values, {"x", "y", "z", "az", "el", "roll", "radius", "period", "speed"}, "scene", error))
        return false;
    // Far beyond any tracker's reach, yet small enough that every pose and time stays finite.
    const struct {
        const char* key;
        double low, high;
    } ranges[] = {{"x", -1000, 1000},  {"y", -1000, 1000},  {"z", -1000, 1000}, {"az", -360, 360}, {"el", -360, 360},
                  {"roll", -360, 360}, {"radius", 0, 1000}, {"period", 0, 1e6}, {"speed", 0, 1000}};
    for (const auto& r : ranges) {
        const auto it = values.find(r.key);
        if (it != values.end() && !(it->second >= r.low && it->second <= r.high)) {
            error = "scene: " + std::string(r.key) + " must lie from " + std::to_string(static_cast<long>(r.low)) +
                    " to " + std::to_string(static_cast<long>(r.high));
            return false;
        }
    }
    SceneParams p;
    p.centre = defaultPose(station);
    auto take = [&](const char* key, double& field) {
        const auto it = values.find(key);
        if (it != values.end()) field = it->second;
    };
    take("x", p.centre.x);
    take("y", p.centre.y);
    take("z", p.centre.z);
    take("az", p.centre.azimuth);
    take("el", p.centre.elevation);
    take("roll", p.centre.roll);
    take("radius", p.radius);
    take("period", p.period);
    take("speed", p.speed);
    if (!(p.period > 0)) {
        error = "scene: period must be positive";
        return false;
    }
    p.seed = seed * 4 + static_cast<uint64_t>(station);
    motion = makeScene(kind, p);
    if (!motion) {
        error = "scene: unknown kind '" + kind + "' (still, circle, eight, walk)";
        return false;
    }
    return true;
}

bool parsePress(const std::string& text, int& station, PressPattern& presses, std::string& error) {
    std::string rest;
    if (!stationPrefix(text, station, rest, error)) return false;
    const std::vector<std::string> parts = split(rest, ',');
    double v[3] = {0, 0, 0};
    if (parts.size() < 2 || parts.size() > 3) {
        error = "press: expected S=PERIOD,DOWN[,OFFSET]";
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i)
        if (!number(parts[i], v[i])) {
            error = "press: '" + parts[i] + "' is not a number";
            return false;
        }
    if (!(v[0] > 0) || v[0] > 1e6 || v[1] < 0 || v[1] > v[0] || v[2] < 0 || v[2] > 1e9) {
        error = "press: need 0 < PERIOD <= 1000000, 0 <= DOWN <= PERIOD, 0 <= OFFSET <= 1000000000";
        return false;
    }
    presses = PressPattern{v[0], v[1], v[2]};
    return true;
}

bool parseFault(const std::string& text, FaultSettings& faults, std::string& error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    std::map<std::string, double> values;
    if (colon != std::string::npos && !keyValues(text.substr(colon + 1), values, error)) return false;
    auto get = [&](const char* key, double fallback) {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    };
    auto rateAndBytes = [&](double& rate, size_t& bytes) {
        if (!onlyKeys(values, {"rate", "bytes"}, name, error)) return false;
        rate = get("rate", 0.1);
        const double b = get("bytes", static_cast<double>(bytes));
        if (rate < 0 || rate > 1 || b < 1 || b != std::floor(b) || b > 1e6) {
            error = name + ": rate must be 0 to 1 and bytes a positive count";
            return false;
        }
        bytes = static_cast<size_t>(b);
        return true;
    };
    if (name == "noise") return rateAndBytes(faults.noiseRate, faults.noiseBytes);
    if (name == "corrupt") return rateAndBytes(faults.corruptRate, faults.corruptBytes);
    if (name == "drop") return rateAndBytes(faults.dropRate, faults.dropBytes);
    if (name == "overrun") return rateAndBytes(faults.overrunRate, faults.overrunBytes);
    if (name == "longrun") return rateAndBytes(faults.longRunRate, faults.longRunBytes);
    if (name == "silence") {
        if (!onlyKeys(values, {"at", "for", "every"}, name, error)) return false;
        faults.silenceAt = get("at", 0);
        faults.silenceFor = get("for", 1);
        faults.silenceEvery = get("every", 0);
        if (faults.silenceAt < 0 || faults.silenceFor <= 0 || faults.silenceEvery < 0 ||
            (faults.silenceEvery > 0 && faults.silenceEvery <= faults.silenceFor)) {
            error = "silence: need at >= 0, for > 0 and every (if given) > for";
            return false;
        }
        return true;
    }
    if (name == "hangup") {
        if (!onlyKeys(values, {"at"}, name, error)) return false;
        faults.hangUpAt = get("at", 0);
        if (faults.hangUpAt < 0) {
            error = "hangup: at must not be negative";
            return false;
        }
        return true;
    }
    error = "unknown fault '" + name + "' (noise, corrupt, drop, overrun, longrun, silence, hangup)";
    return false;
}

bool parseStations(const std::string& text, std::array<bool, 4>& stations, std::string& error) {
    std::array<bool, 4> chosen{};
    for (const std::string& part : split(text, ',')) {
        double s;
        if (!number(part, s) || s != std::floor(s) || s < 1 || s > 4) {
            error = "stations: '" + part + "' is not a station 1 to 4";
            return false;
        }
        chosen[static_cast<size_t>(s) - 1] = true;
    }
    stations = chosen;
    return true;
}

}  // namespace fastraksim
