// SummaryFilter: a device's configuration summary once in the log pane. Every set-up prints the
// whole block again, so a device that reconnects would otherwise push everything else out of view.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace fastrakhost {

class SummaryFilter {
public:
    // Hands on the lines to show now: a line outside a summary at once, a summary's lines when its
    // closing line comes and it differs from that device's last one.
    void take(const std::string& line, std::vector<std::string>& out);
    // A block held for longer than this is shown as it is (its end is not coming).
    void releaseIfHeldFor(std::chrono::milliseconds longest, std::vector<std::string>& out);
    void release(std::vector<std::string>& out);

private:
    std::vector<std::string> held_;  // the open block, as written
    std::string device_;             // its "DEVICE NAME" line
    std::vector<std::string> body_;  // its text without the line prefixes (date, time, thread)
    std::chrono::steady_clock::time_point since_;
    std::map<std::string, std::vector<std::string>> shown_;  // the last block shown per device
};

}  // namespace fastrakhost
