// Builds a host DeviceConfig from keyword and argument strings, owning the strings.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>

#include "fastrak/DeviceConfig.h"

namespace testsupport {

class ConfigBuilder {
public:
    explicit ConfigBuilder(const std::string& deviceName = "fastrak");

    // Appends a line; returns its index in the record.
    uint32_t add(uint32_t lineNumber, const std::string& keyword, std::initializer_list<std::string> args = {});

    DeviceConfig* get() { return config_.get(); }
    OptionLine& line(uint32_t index) { return config_->entries[index]; }

private:
    char* keep(const std::string& text);

    std::unique_ptr<DeviceConfig> config_;
    std::deque<std::string> strings_;
};

}  // namespace testsupport
