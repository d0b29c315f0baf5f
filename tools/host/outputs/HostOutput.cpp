// HostOutput: an output's calls passed on to each of its parts.
#include "outputs/HostOutput.h"

#include "HostLog.h"

namespace fastrakhost {

void HostOutput::start() {
    lastReport_ = std::chrono::steady_clock::now();
    for (auto& part : parts_) part->start();
}

void HostOutput::publish(const Sample& sample) {
    for (auto& part : parts_) part->publish(sample);
}

void HostOutput::stop() {
    for (auto& part : parts_) part->stop();
}

OutputTotals HostOutput::totals() const {
    OutputTotals totals;
    for (const auto& part : parts_) part->count(totals);
    return totals;
}

void HostOutput::report() {
    const SteadyTime now = std::chrono::steady_clock::now();
    if (now - lastReport_ < std::chrono::seconds(1)) return;
    lastReport_ = now;
    std::vector<std::string> lines;
    for (auto& part : parts_) part->reportLines(lines);
    for (const std::string& line : lines) hostWarning(line);
}

std::string HostOutput::summary() const {
    if (empty()) return std::string();
    const OutputTotals all = totals();
    std::string text = label_;
    const char* separator = " ";
    for (const OutputCount& count : counts_) {
        // "1 client", "1 error": a count word in the plural loses its "s" for one.
        std::string word = count.word;
        if (all.*count.total == 1 && word.size() > 1 && word.back() == 's') word.pop_back();
        text += separator + std::to_string(all.*count.total) + " " + word;
        separator = ", ";
    }
    return text;
}

OpenResult HostOutput::open(const std::string& where, std::string& message) {
    message = where + ": this build of fastrak-host has no " + what_ + " (it was built without " + library_ + ")";
    return OpenResult::BadAddress;
}

}  // namespace fastrakhost
