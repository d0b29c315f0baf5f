// Bounded access to the host's DeviceConfig: its lines and their arguments.
#pragma once

#include <cstdint>

#include "fastrak/DeviceConfig.h"

// Lines in use, never more than the record holds even if the host's count is larger.
inline uint32_t optionLineCount(const DeviceConfig& config) {
    return config.lineCount < kMaxOptionLines ? config.lineCount : kMaxOptionLines;
}

// Valid arguments of a line, never more than the line holds.
inline uint32_t optionArgCount(const OptionLine& line) {
    return line.argCount < kMaxOptionArgs ? line.argCount : kMaxOptionArgs;
}

// Argument i of a line, or "" when it is missing or null.
inline const char* optionArg(const OptionLine& line, uint32_t index) {
    return index < optionArgCount(line) && line.args[index] != nullptr ? line.args[index] : "";
}
