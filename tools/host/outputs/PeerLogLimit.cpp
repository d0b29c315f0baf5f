// PeerLogLimit: one line per client address per window; the lines held back are counted.
#include "outputs/PeerLogLimit.h"

#include <iterator>

namespace fastrakhost {

std::string PeerLogLimit::pass(const std::string& address, const std::string& line, Clock::time_point now) {
    const auto window = std::chrono::seconds(kWindowSeconds);
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = entries_.find(address);
    if (found == entries_.end()) {
        if (entries_.size() >= kAddresses) {
            for (auto it = entries_.begin(); it != entries_.end();)
                it = now - it->second.last >= window ? entries_.erase(it) : std::next(it);
            if (entries_.size() >= kAddresses) return std::string();
        }
        entries_[address].last = now;
        return line;
    }
    Entry& entry = found->second;
    if (now - entry.last < window) {
        ++entry.held;
        return std::string();
    }
    const uint64_t held = entry.held;
    entry = Entry{now, 0};
    if (held == 0) return line;
    return line + " (" + std::to_string(held) + (held == 1 ? " line" : " lines") + " about " + address +
           " not shown before this one)";
}

}  // namespace fastrakhost
