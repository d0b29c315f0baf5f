// SummaryFilter: blocks from the "DEVICE NAME" line to the dashed line, compared without prefixes.
#include "view/SummaryFilter.h"

namespace fastrakhost {
namespace {

const char kInfo[] = "INFO: ";
const char kStart[] = "DEVICE NAME           : ";
const char kEnd[] = "-----------------------";
const size_t kLongest = 200;  // lines; a summary has far fewer

// The line after its logger prefix; lines written without one are kept whole.
std::string text(const std::string& line) {
    const size_t at = line.find(kInfo);
    return at == std::string::npos ? line : line.substr(at + sizeof kInfo - 1);
}

}  // namespace

void SummaryFilter::take(const std::string& line, std::vector<std::string>& out) {
    const std::string body = text(line);
    const bool starts = body.compare(0, sizeof kStart - 1, kStart) == 0 && line.find(kInfo) != std::string::npos;
    if (starts) {
        release(out);
        device_ = body;
        since_ = std::chrono::steady_clock::now();
    } else if (held_.empty()) {
        out.push_back(line);
        return;
    }
    held_.push_back(line);
    body_.push_back(body);
    if (body == kEnd) {
        std::vector<std::string>& last = shown_[device_];
        if (body_ != last) {
            out.insert(out.end(), held_.begin(), held_.end());
            last = body_;
        }
        held_.clear();
        body_.clear();
    } else if (held_.size() >= kLongest) {
        release(out);
    }
}

void SummaryFilter::releaseIfHeldFor(std::chrono::milliseconds longest, std::vector<std::string>& out) {
    if (!held_.empty() && std::chrono::steady_clock::now() - since_ >= longest) release(out);
}

void SummaryFilter::release(std::vector<std::string>& out) {
    out.insert(out.end(), held_.begin(), held_.end());
    held_.clear();
    body_.clear();
}

}  // namespace fastrakhost
