// Probe: finds a tracker on the machine's serial ports without changing the tracker's state.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fastrakhost {

struct ProbeResult {
    std::string port;
    unsigned baud = 0;          // 0: no tracker answered
    std::string how;            // "continuous binary output", "status reply", ...
    std::string problem;        // why the port could not be tried
    bool missing = false;       // no such port
    bool denied = false;        // the user may not open it
    std::vector<int> stations;  // the stations whose records it sent, in order
};

// The serial ports worth trying: /dev/serial/by-id names first, then ttyUSB, ttyACM and ttyS ports
// that answer as terminals (COM1 to COM256 that open, on Windows).
std::vector<std::string> serialPorts();

// The speeds the tracker's switches offer, the likely ones first.
const std::vector<unsigned>& trackerSpeeds();

// Tries each speed on the port: listens first (a tracker left in continuous output is known by its
// records), then sends the status request "S", which changes nothing. Where a quiet tracker
// answered, the single-record request "P" names its active stations. The port is left as found.
ProbeResult probePort(const std::string& port);

// What the bytes heard at one speed say: "" when they are not the tracker's.
std::string recognise(const std::string& bytes);

// The stations whose whole records (binary or ASCII) are among the bytes, in order.
std::vector<int> stationsHeard(const std::string& bytes);

// --probe: one line per port and the configuration lines to use; 0 when a tracker answered.
int runProbe(const std::vector<std::string>& ports);

}  // namespace fastrakhost
