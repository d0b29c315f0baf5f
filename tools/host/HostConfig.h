// HostConfig: reads fastrak-host's configuration text into device sections and host settings.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fastrak/DeviceConfig.h"

namespace fastrakhost {

// One option line of a device section, split as the module expects it.
struct OptionText {
    uint32_t lineNumber = 0;
    std::string keyword;
    std::vector<std::string> args;
};

// A port line ("port" or "serialport", in any case), whatever its arguments.
bool isPortLine(const OptionText& option);

struct DeviceSection {
    std::string name;
    uint32_t lineNumber = 0;  // of the section header
    std::vector<OptionText> options;
    double latencyMs = 4.0;  // the host's own line: the tracker's output latency, for measured_time
};

// The [host] section; every field has the value used when the file does not set it.
struct HostSettings {
    bool logDate = true;
    bool logTime = true;
    bool logThreadId = true;
    int32_t debugLevel = 0;
    int32_t debugThreshold = 1;
    std::string csvPath;
    std::string jsonlPath;
    std::vector<std::string> oscUrls;  // one "osc URL" line each
    std::string igtl;                  // [ADDR:]PORT of the OpenIGTLink server; empty: none
    std::string web;                   // [ADDR:]PORT of the web view; empty: none
    bool lsl = false;                  // LSL outlets for every output
};

struct HostConfig {
    HostSettings host;
    std::vector<DeviceSection> devices;
};

// A problem in the file itself; line 0 means the file as a whole.
struct ConfigError {
    std::string file;
    uint32_t line = 0;
    std::string message;
    std::string text() const;  // "file:line: message", the form compilers use
};

// Splits one line into words as the file does: blanks separate, double quotes keep blanks in a
// word, '#' where a word would begin ends the line (as in a shell, so "a#b" is one word). False with problem set for an
// unterminated quote.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& problem);

// Parses text; on failure fills error and returns false (nothing of config is to be used then).
bool parseConfig(const std::string& text, const std::string& fileName, HostConfig& config, ConfigError& error);
// Reads and parses a file; an unreadable file is an error of line 0.
bool readConfigFile(const std::string& path, HostConfig& config, ConfigError& error);

// The module's DeviceConfig for one section, owning every string it points to. It must outlive the
// device made from it, and does not move once made.
class DeviceRecord {
public:
    explicit DeviceRecord(const DeviceSection& section);
    DeviceRecord(const DeviceRecord&) = delete;
    DeviceRecord& operator=(const DeviceRecord&) = delete;

    DeviceConfig* get() { return config_.get(); }
    const std::string& name() const { return name_; }

private:
    char* keep(const std::string& text);

    std::string name_;
    std::unique_ptr<DeviceConfig> config_;
    std::deque<std::string> strings_;  // a deque keeps its elements in place as it grows
};

}  // namespace fastrakhost
