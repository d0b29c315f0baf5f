// PeerLogLimit: at most one log line per client address per window, so a client that reconnects in a
// loop cannot flood the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace fastrakhost {

class PeerLogLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kWindowSeconds = 10;
    static constexpr size_t kAddresses = 1024;  // addresses remembered; past that, new ones are held back

    // The line to log about a client at this address (no port), or "" when one went out less than
    // a window ago. A line let through after some were held back says how many.
    std::string pass(const std::string& address, const std::string& line, Clock::time_point now = Clock::now());

private:
    struct Entry {
        Clock::time_point last;
        uint64_t held = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace fastrakhost
