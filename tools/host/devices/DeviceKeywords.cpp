// DeviceKeywords: the keyword list and the nearest-keyword suggestion for a failed set-up.
#include "devices/DeviceKeywords.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace fastrakhost {
namespace {

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) from a to b, letter case aside.
size_t keywordDistance(const std::string& a, const std::string& b) {
    const std::string s = lower(a), t = lower(b);
    // Rows i-2, i-1 and i of the table of distances between prefixes of s and t.
    std::vector<size_t> before(t.size() + 1), last(t.size() + 1), row(t.size() + 1);
    for (size_t j = 0; j <= t.size(); ++j) last[j] = j;
    for (size_t i = 1; i <= s.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= t.size(); ++j) {
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (s[i - 1] == t[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && s[i - 1] == t[j - 2] && s[i - 2] == t[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        before.swap(last);
        last.swap(row);
    }
    return last[t.size()];
}

}  // namespace

const std::vector<std::string>& deviceKeywords() {
    static const std::vector<std::string> keywords = [] {
        std::istringstream words(
            "port serialport baud baudrate reset sensors sensor stylus hemisphere "  // the device's reader
            "transmitteroffset transmitterrotation transmitterrotationmatrix sensoroffset sensortranslation "
            "sensorrotation sensorrotationmatrix calibration calib cavecoord cavecoordinates trackerorder "
            "unitorder order "                                          // the tracker's
            "buttonorder valuatororder valuatorscale emulatetracker");  // the controller's
        std::vector<std::string> list;
        for (std::string word; words >> word;) list.push_back(word);
        return list;
    }();
    return keywords;
}

std::string likelyKeyword(const std::string& word) { return nearestWord(word, deviceKeywords()); }

std::string nearestWord(const std::string& word, const std::vector<std::string>& words) {
    // One edit in a short word, about one in four in a long one: further off is another word.
    const size_t limit = std::max<size_t>(1, (word.size() + 2) / 4);
    size_t best = limit + 1, runnerUp = limit + 1;
    std::string found;
    for (const std::string& keyword : words) {
        const size_t d = keywordDistance(word, keyword);
        if (d == 0) return std::string();
        if (d < best) {
            runnerUp = best;
            best = d;
            found = keyword;
        } else if (d < runnerUp) {
            runnerUp = d;
        }
    }
    return best <= limit && best < runnerUp ? found : std::string();
}

std::string keywordSuggestions(const DeviceConfig& config) {
    std::string text;
    const uint32_t count = std::min<uint32_t>(config.lineCount, kMaxOptionLines);
    for (uint32_t i = 0; i < count; ++i) {
        const OptionLine& line = config.entries[i];
        if (line.used != 0 || line.keyword == nullptr) continue;
        const std::string meant = likelyKeyword(line.keyword);
        if (meant.empty()) continue;
        text += (text.empty() ? "" : "; ") + std::string("line ") + std::to_string(line.lineNumber) + ": '" +
                line.keyword + "' is no keyword, did you mean '" + meant + "'?";
    }
    return text;
}

}  // namespace fastrakhost
