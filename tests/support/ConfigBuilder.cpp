// ConfigBuilder: a zeroed host record and stable copies of every string.
#include "support/ConfigBuilder.h"

#include <cstring>

namespace testsupport {

ConfigBuilder::ConfigBuilder(const std::string& deviceName) : config_(new DeviceConfig) {
    std::memset(config_.get(), 0, sizeof(DeviceConfig));
    config_->deviceName = keep(deviceName);
}

char* ConfigBuilder::keep(const std::string& text) {
    strings_.push_back(text);
    return &strings_.back()[0];
}

uint32_t ConfigBuilder::add(uint32_t lineNumber, const std::string& keyword, std::initializer_list<std::string> args) {
    const uint32_t index = config_->lineCount++;
    OptionLine& entry = config_->entries[index];
    entry.lineNumber = lineNumber;
    entry.keyword = keep(keyword);
    for (const std::string& arg : args) entry.args[entry.argCount++] = keep(arg);
    return index;
}

}  // namespace testsupport
