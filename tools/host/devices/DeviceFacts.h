// DeviceFacts: what the module will make of a device section (its port, its speed, which station
// feeds each output, the form of its angles), read from the option lines the module reads, so the
// host can show and use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostConfig.h"

namespace fastrakhost {

struct DeviceFacts {
    std::string port = "com1";  // the module's defaults
    std::string baud = "38400";
    bool caveAngles = true;  // the cavecoord line: which form the published angles have
    // Tracker output k (from 1) comes from trackerStations[k-1], controller output k from
    // stylusStations[k-1]: the module numbers them in ascending station order.
    std::vector<uint32_t> trackerStations;
    std::vector<uint32_t> stylusStations;

    // The station behind a device's own output number; 0 when not known.
    uint32_t trackerStation(uint32_t output) const;
    uint32_t stylusStation(uint32_t output) const;
    // The stations the tracker measures in turn, a stylus's among them, in ascending order.
    std::vector<uint32_t> activeStations() const;
};

// The sensors line that takes these stations too: "sensors 1 1 1 0", ready to paste.
std::string sensorsLineWith(const DeviceFacts& facts, const std::vector<uint32_t>& stations);

// The last valid line of each kind counts, as in the module; a line the module would refuse
// changes nothing here (the set-up fails then anyway).
DeviceFacts factsOf(const DeviceSection& section);

}  // namespace fastrakhost
