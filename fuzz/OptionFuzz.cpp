// Fuzz target for the option readers: arbitrary option lines through the tracker and controller
// readers, the unknown-option check and both summaries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "config/CConfigH.h"
#include "config/OptionText.h"
#include "controller/CConCommonH.h"
#include "fastrak/DeviceConfig.h"
#include "tracker/CTraCommonH.h"

namespace {

// Input: a first byte of switches, then lines of blank-separated words (keyword first).
struct FuzzConfig {
    std::vector<std::string> words;  // owns every string the record points to
    DeviceConfig config{};
};

void build(const uint8_t* data, size_t size, FuzzConfig& out) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<std::string>> lines;
    size_t start = 0;
    while (start <= text.size() && lines.size() < kMaxOptionLines) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> line;
        size_t at = start;
        while (at < end && line.size() <= kMaxOptionArgs) {
            const size_t stop = std::min(text.find(' ', at), end);
            if (stop > at) line.push_back(text.substr(at, stop - at));
            at = stop + 1;
        }
        // A calibration line would load whatever library it names: not a thing to fuzz.
        if (!line.empty() && compareNoCase(line[0].c_str(), "calibration") != 0) lines.push_back(line);
        start = end + 1;
    }
    size_t total = 0;
    for (const auto& line : lines) total += line.size();
    out.words.reserve(total);
    for (size_t i = 0; i < lines.size(); ++i) {
        OptionLine& entry = out.config.entries[i];
        entry.lineNumber = static_cast<uint32_t>(i + 1);
        for (size_t w = 0; w < lines[i].size(); ++w) {
            out.words.push_back(lines[i][w]);
            char* word = &out.words.back()[0];
            if (w == 0) {
                entry.keyword = word;
            } else {
                entry.args[entry.argCount++] = word;
            }
        }
    }
    out.config.lineCount = static_cast<uint32_t>(lines.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(nullptr);  // summaries and diagnostics go nowhere
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t switches = data[0];
    FuzzConfig fuzz;
    build(data + 1, size - 1, fuzz);

    CTraCommonH tracker(nullptr);
    tracker.inputConnector = (switches & 1) != 0;
    tracker.allocateStations(1 + ((switches >> 1) & 3));
    tracker.parseOptions(&fuzz.config);
    tracker.printSummary();

    bool stylus[CConCommonH::kStations] = {(switches & 8) != 0, (switches & 16) != 0, false, (switches & 32) != 0};
    CConCommonH controller(nullptr);
    controller.inputConnector = (switches & 64) != 0;
    controller.setupStylusTable(stylus);
    controller.parseOptions(&fuzz.config);
    controller.printControllerSummary();

    CConfigH::checkUnknownOptions(&fuzz.config, nullptr);
    return 0;
}
