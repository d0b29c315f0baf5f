// Probe: each port at each of the tracker's speeds, listening before asking, left as it was found.
#include "probe/Probe.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>

#include "probe/ProbeLine.h"

namespace fastrakhost {
namespace {

using Clock = std::chrono::steady_clock;

// The signal that ends the probe; the port in hand is put back before the program ends by it.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onProbeSignal(int number) { stopSignal = number; }

bool stopping() { return stopSignal != 0; }

}  // namespace

bool probeStopping() { return stopping(); }

namespace {

// Long enough for a line end and two whole records after it of the longest default (ASCII, 47
// bytes) at the speed, and never under 400 ms.
std::chrono::milliseconds listenTime(unsigned baud) {
    const auto lineMs = static_cast<long>(4 * 47 * 10 * 1000 / baud);
    return std::chrono::milliseconds(std::max(400L, lineMs + 150));
}

// Long enough for the status reply, and never under 400 ms.
std::chrono::milliseconds replyTime(unsigned baud) {
    const auto lineMs = static_cast<long>(3 * 31 * 10 * 1000 / baud);
    return std::chrono::milliseconds(std::max(400L, lineMs + 150));
}

// Long enough for two records of each of four stations in ASCII, the longest default record.
std::chrono::milliseconds stationTime(unsigned baud) {
    const auto lineMs = static_cast<long>(2 * 4 * 47 * 10 * 1000 / baud);
    return std::chrono::milliseconds(std::max(400L, lineMs + 150));
}

bool isStation(char c) { return c >= '1' && c <= '4'; }

// "0", the station digit, and a blank or the letter of a built-in-test error.
bool recordHeader(const std::string& b, size_t i) {
    return i + 2 < b.size() && b[i] == '0' && isStation(b[i + 1]) &&
           (b[i + 2] == ' ' || std::isalpha(static_cast<unsigned char>(b[i + 2])) != 0);
}

bool lineEndAt(const std::string& b, size_t i) { return i >= 2 && i <= b.size() && b.compare(i - 2, 2, "\r\n") == 0; }

// Two frames in a row of one of the binary lengths, each "0", a station digit, ..., CR LF.
bool binaryFrames(const std::string& b) {
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        if (b[i] != '0' || !isStation(b[i + 1])) continue;
        for (size_t length : {29u, 31u, 7u}) {
            const size_t next = i + length;
            if (next + 1 >= b.size() || b.compare(next - 2, 2, "\r\n") != 0) continue;
            if (b[next] != '0' || !isStation(b[next + 1])) continue;
            if (next + length <= b.size() && b.compare(next + length - 2, 2, "\r\n") == 0) return true;
        }
    }
    return false;
}

// Two whole lines in a row that start "0" and a station digit: ASCII records.
bool asciiFrames(const std::string& b) {
    int inRow = 0;
    size_t start = b.find("\r\n");
    while (start != std::string::npos) {
        const size_t end = b.find("\r\n", start + 2);
        if (end == std::string::npos) break;
        const std::string line = b.substr(start + 2, end - start - 2);
        const bool record = line.size() >= 10 && line[0] == '0' && isStation(line[1]);
        inRow = record ? inRow + 1 : 0;
        if (inRow == 2) return true;
        start = end;
    }
    return false;
}

}  // namespace

std::vector<int> stationsHeard(const std::string& b) {
    bool seen[5] = {};
    // Binary records: one of the module's lengths, starting after a line end (or the first byte)
    // and followed by another record or the end of what was heard.
    for (size_t i = 0; i < b.size(); ++i) {
        if ((i != 0 && !lineEndAt(b, i)) || !recordHeader(b, i)) continue;
        for (size_t length : {29u, 31u, 7u}) {
            const size_t end = i + length;
            if (lineEndAt(b, end) && (end == b.size() || recordHeader(b, end))) seen[b[i + 1] - '0'] = true;
        }
    }
    // ASCII records: whole printable lines.
    for (size_t start = 0; start < b.size();) {
        const size_t end = b.find("\r\n", start);
        if (end == std::string::npos) break;
        const bool printable = std::all_of(b.begin() + static_cast<long>(start), b.begin() + static_cast<long>(end),
                                           [](char c) { return c >= ' ' && c <= '~'; });
        if (printable && end - start >= 4 && recordHeader(b, start)) seen[b[start + 1] - '0'] = true;
        start = end + 2;
    }
    std::vector<int> stations;
    for (int s = 1; s <= 4; ++s)
        if (seen[s]) stations.push_back(s);
    return stations;
}

const std::vector<unsigned>& trackerSpeeds() {
    static const std::vector<unsigned> speeds = {115200, 38400, 9600, 57600, 19200, 4800, 2400, 1200};
    return speeds;
}

std::string recognise(const std::string& bytes) {
    for (size_t i = 0; i + 5 < bytes.size(); ++i) {
        if (bytes[i] == '2' && isStation(bytes[i + 1]) && bytes[i + 2] == 'S' &&
            std::all_of(bytes.begin() + static_cast<long>(i) + 3, bytes.begin() + static_cast<long>(i) + 6,
                        [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
            return "status reply";
        }
    }
    if (bytes.find("2 E*ERROR*") != std::string::npos) return "error record";
    if (binaryFrames(bytes)) return "continuous binary output";
    if (asciiFrames(bytes)) return "continuous ASCII output";
    return "";
}

std::vector<std::string> serialPorts() { return systemSerialPorts(); }

ProbeResult probePort(const std::string& port) {
    ProbeResult result;
    result.port = port;
    ProbeLine line(port);
    if (!line.problem().empty()) {
        result.problem = line.problem();
        result.missing = line.missing();
        result.denied = line.denied();
        return result;
    }
    for (unsigned baud : trackerSpeeds()) {
        if (stopping()) break;
        if (!line.setSpeed(baud)) continue;
        const std::string heard = line.readFor(listenTime(baud));
        std::string how = recognise(heard);
        // Only a quiet line is asked: bytes heard but not understood are a tracker talking at
        // another speed, and what we send would reach it garbled.
        if (how.empty() && heard.empty()) {
            line.send("S");
            how = recognise(line.readFor(replyTime(baud)));
        }
        if (how.empty()) continue;
        result.baud = baud;
        result.how = how;
        // Records already flowing name their stations; a quiet tracker is asked for one record per
        // active station, which changes nothing either.
        std::string records = heard;
        if (how.compare(0, 10, "continuous") != 0) {
            records.clear();
            line.send("P");
        }
        records += line.readFor(stationTime(baud));
        result.stations = stationsHeard(records);
        break;
    }
    return result;
}

namespace {

int probeAll(const std::vector<std::string>& given) {
    const std::vector<std::string> ports = given.empty() ? serialPorts() : given;
    if (ports.empty()) {
        std::cout << "no serial port found; check:\n" << noPortAdvice() << std::flush;
        return 1;
    }
    std::string speeds;
    for (unsigned baud : trackerSpeeds()) speeds += (speeds.empty() ? "" : ", ") + std::to_string(baud);
    int found = 0;
    size_t missing = 0;
    bool denied = false;
    for (const std::string& port : ports) {
        if (stopping()) return 1;
        std::cout << port << ": " << std::flush;
        const ProbeResult r = probePort(port);
        if (stopping()) return 1;
        missing += r.missing ? 1 : 0;
        denied = denied || r.denied;
        if (!r.problem.empty()) {
            std::cout << r.problem << std::endl;
        } else if (r.baud == 0) {
            std::cout << "no tracker answered at " << speeds << " baud" << std::endl;
        } else {
            ++found;
            std::cout << "a tracker at " << r.baud << " baud (" << r.how << "); ";
            if (r.stations.empty()) {
                std::cout << "no station sent a record (are the receivers plugged in?)";
            } else {
                std::cout << "records from station" << (r.stations.size() > 1 ? "s " : " ");
                for (size_t i = 0; i < r.stations.size(); ++i) std::cout << (i > 0 ? ", " : "") << r.stations[i];
            }
            std::cout << "; in a [device] section:\n    port " << port << "\n    baud " << r.baud << "\n";
            if (!r.stations.empty()) {
                std::cout << "    sensors";
                for (int s = 1; s <= 4; ++s)
                    std::cout << (std::find(r.stations.begin(), r.stations.end(), s) != r.stations.end() ? " 1" : " 0");
                std::cout << "\n";
            }
            std::cout << std::flush;
        }
    }
    if (found > 0) return 0;
    if (missing == ports.size()) std::cout << "no such port; check:\n" << noPortAdvice();
    if (denied) std::cout << "permission denied: " << permissionAdvice() << "\n";
    std::cout << "no tracker found; docs/troubleshooting.md lists what to check" << std::endl;
    return 1;
}

}  // namespace

int runProbe(const std::vector<std::string>& given) {
    // Every way out puts the port in hand back first: the signal only ends the current try.
    for (int number : {SIGINT, SIGTERM}) std::signal(number, onProbeSignal);
#if defined(SIGHUP)
    std::signal(SIGHUP, onProbeSignal);
#endif
    const int status = probeAll(given);
    if (stopping()) {
        std::cout << "stopped by a signal; the port in hand was left as it was found" << std::endl;
        std::signal(stopSignal, SIG_DFL);
        std::raise(stopSignal);
    }
    return status;
}

}  // namespace fastrakhost
