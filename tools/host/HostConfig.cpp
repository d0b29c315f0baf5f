// HostConfig: the configuration text reader and the DeviceConfig records built from it.
#include "HostConfig.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "devices/DeviceKeywords.h"

namespace fastrakhost {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

// The quotes are dropped; "" is an empty word.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& problem) {
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at])) ++at;
        if (at >= line.size() || line[at] == '#') break;
        std::string word;
        bool quoted = false;
        while (at < line.size() && (quoted || !isBlank(line[at]))) {
            if (line[at] == '"') {
                quoted = !quoted;
            } else {
                word += line[at];
            }
            ++at;
        }
        if (quoted) {
            problem = "unterminated double quote";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

namespace {

bool lowerEquals(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
}

bool readSwitch(const std::string& word, bool& value) {
    if (lowerEquals(word, "yes") || lowerEquals(word, "on")) {
        value = true;
        return true;
    }
    if (lowerEquals(word, "no") || lowerEquals(word, "off")) {
        value = false;
        return true;
    }
    return false;
}

bool readInteger(const std::string& word, int32_t& value) {
    if (word.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < INT32_MIN || number > INT32_MAX) return false;
    value = static_cast<int32_t>(number);
    return true;
}

}  // namespace

bool isPortLine(const OptionText& option) {
    return lowerEquals(option.keyword, "port") || lowerEquals(option.keyword, "serialport");
}

namespace {

// One [host] line; returns an empty string or the problem.
std::string applyHostSetting(const std::vector<std::string>& words, HostSettings& host) {
    const std::string& key = words[0];
    if (words.size() != 2) return "\"" + key + "\" takes exactly one value";
    const std::string& value = words[1];
    bool* flag = nullptr;
    int32_t* number = nullptr;
    std::string* path = nullptr;
    if (lowerEquals(key, "osc")) {
        if (value.empty()) return "\"osc\" needs a destination URL";
        host.oscUrls.push_back(value);
        return std::string();
    }
    if (lowerEquals(key, "igtl")) {
        if (value.empty()) return "\"igtl\" needs [ADDR:]PORT";
        host.igtl = value;
        return std::string();
    }
    if (lowerEquals(key, "web")) {
        if (value.empty()) return "\"web\" needs [ADDR:]PORT";
        host.web = value;
        return std::string();
    }
    if (lowerEquals(key, "log-date"))
        flag = &host.logDate;
    else if (lowerEquals(key, "log-time"))
        flag = &host.logTime;
    else if (lowerEquals(key, "log-thread-id"))
        flag = &host.logThreadId;
    else if (lowerEquals(key, "lsl"))
        flag = &host.lsl;
    else if (lowerEquals(key, "debug-level"))
        number = &host.debugLevel;
    else if (lowerEquals(key, "debug-threshold"))
        number = &host.debugThreshold;
    else if (lowerEquals(key, "csv"))
        path = &host.csvPath;
    else if (lowerEquals(key, "jsonl"))
        path = &host.jsonlPath;
    else {
        static const std::vector<std::string> settings = {
            "osc", "igtl", "web", "lsl", "log-date", "log-time", "log-thread-id", "debug-level", "debug-threshold",
            "csv", "jsonl"};
        const std::string meant = nearestWord(key, settings);
        return "unknown host setting \"" + key + "\"" + (meant.empty() ? "" : "; did you mean \"" + meant + "\"?");
    }
    if (flag != nullptr && !readSwitch(value, *flag)) return "\"" + key + "\" takes yes, no, on or off";
    if (number != nullptr && !readInteger(value, *number)) return "\"" + key + "\" takes a whole number";
    if (path != nullptr) {
        if (value.empty()) return "\"" + key + "\" needs a file name";
        *path = value;
    }
    return std::string();
}

}  // namespace

std::string ConfigError::text() const {
    if (line == 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

namespace {

// The offset of the first byte that is not part of well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF), or npos.
size_t notUtf8At(const std::string& text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        size_t length = 1;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return i;
        for (size_t k = 2; k < length; ++k)
            if ((byte(i + k) & 0xC0) != 0x80) return i;
        i += length;
    }
    return std::string::npos;
}

}  // namespace

bool parseConfig(const std::string& text, const std::string& fileName, HostConfig& config, ConfigError& error) {
    HostConfig result;
    enum class Section { None, Host, Device } section = Section::None;
    uint32_t lineNumber = 0;
    // Windows editors start a UTF-8 file with a byte order mark.
    const bool bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    std::istringstream lines(bom ? text.substr(3) : text);
    std::string line;
    auto fail = [&](const std::string& message) {
        error.file = fileName;
        error.line = lineNumber;
        error.message = message;
        return false;
    };
    while (std::getline(lines, line)) {
        ++lineNumber;
        // The module reads C strings: a NUL would silently cut a word short.
        if (line.find('\0') != std::string::npos) return fail("a NUL byte in the line");
        // Names and words reach JSON (the recordings, the web view), which is UTF-8 only.
        const size_t bad = notUtf8At(line);
        if (bad != std::string::npos) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(line[bad]));
            return fail("not UTF-8 (byte " + std::string(hex) + " at column " + std::to_string(bad + 1) +
                        "); save the file as UTF-8");
        }
        size_t first = 0;
        while (first < line.size() && isBlank(line[first])) ++first;
        if (first < line.size() && line[first] == '[') {
            const size_t close = line.find(']', first);
            if (close == std::string::npos) return fail("section header without \"]\"");
            std::vector<std::string> rest;
            std::string problem;
            if (!splitWords(line.substr(close + 1), rest, problem)) return fail(problem);
            if (!rest.empty()) return fail("text after the section header");
            std::vector<std::string> header;
            if (!splitWords(line.substr(first + 1, close - first - 1), header, problem)) return fail(problem);
            if (header.size() == 1 && lowerEquals(header[0], "host")) {
                section = Section::Host;
            } else if (!header.empty() && lowerEquals(header[0], "device")) {
                if (header.size() != 2 || header[1].empty())
                    return fail("a device section needs one name: [device NAME]");
                for (const DeviceSection& other : result.devices) {
                    if (other.name == header[1]) {
                        return fail("device \"" + header[1] + "\" is already defined at line " +
                                    std::to_string(other.lineNumber));
                    }
                }
                DeviceSection device;
                device.name = header[1];
                device.lineNumber = lineNumber;
                result.devices.push_back(device);
                section = Section::Device;
            } else {
                return fail("unknown section \"" + line.substr(first, close - first + 1) +
                            "\" (sections are [host] and [device NAME])");
            }
            continue;
        }
        std::vector<std::string> words;
        std::string problem;
        if (!splitWords(line, words, problem)) return fail(problem);
        if (words.empty()) continue;
        if (section == Section::None) return fail("option line before the first section");
        if (section == Section::Host) {
            const std::string message = applyHostSetting(words, result.host);
            if (!message.empty()) return fail(message);
            continue;
        }
        DeviceSection& device = result.devices.back();
        if (lowerEquals(words[0], "latency")) {
            // The host's own line, not the module's.
            char* end = nullptr;
            const double ms = words.size() == 2 ? std::strtod(words[1].c_str(), &end) : -1;
            if (end == nullptr || *end != '\0' || !(ms >= 0 && ms <= 1000))
                return fail("latency takes the tracker's output latency in milliseconds, 0 to 1000 (latency 4)");
            device.latencyMs = ms;
            continue;
        }
        if (device.options.size() == kMaxOptionLines) {
            return fail("device \"" + device.name + "\" has more than " + std::to_string(kMaxOptionLines) +
                        " option lines");
        }
        if (words.size() - 1 > kMaxOptionArgs) {
            return fail("more than " + std::to_string(kMaxOptionArgs) + " arguments to \"" + words[0] + "\"");
        }
        OptionText option;
        option.lineNumber = lineNumber;
        option.keyword = words[0];
        option.args.assign(words.begin() + 1, words.end());
        device.options.push_back(option);
    }
    // Without a port line the module would open its default port and send the commands there.
    for (const DeviceSection& device : result.devices) {
        bool port = false;
        for (const OptionText& option : device.options) port |= isPortLine(option);
        if (!port) {
            lineNumber = device.lineNumber;
            return fail("device \"" + device.name + "\" has no port line (port /dev/ttyUSB0, port COM3, ...)");
        }
    }
    config = result;
    return true;
}

bool readConfigFile(const std::string& path, HostConfig& config, ConfigError& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error.file = path;
        error.line = 0;
        error.message = std::string("cannot read the file: ") + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error.file = path;
        error.line = 0;
        error.message = "cannot read the file";
        return false;
    }
    return parseConfig(text.str(), path, config, error);
}

DeviceRecord::DeviceRecord(const DeviceSection& section) : name_(section.name), config_(new DeviceConfig()) {
    config_->deviceName = keep(section.name);
    for (const OptionText& option : section.options) {
        if (config_->lineCount == kMaxOptionLines) break;  // the reader never lets this happen
        OptionLine& line = config_->entries[config_->lineCount++];
        line.lineNumber = option.lineNumber;
        line.keyword = keep(option.keyword);
        for (const std::string& arg : option.args) {
            if (line.argCount == kMaxOptionArgs) break;
            line.args[line.argCount++] = keep(arg);
        }
    }
}

char* DeviceRecord::keep(const std::string& text) {
    strings_.push_back(text);
    return &strings_.back()[0];
}

}  // namespace fastrakhost
