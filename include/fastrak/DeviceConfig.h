// DeviceConfig and OptionLine: the host's pre-parsed option record for one device.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t { kMaxOptionLines = 32, kMaxOptionArgs = 64 };

struct OptionLine {
    uint32_t lineNumber;  // line in the host's text, for diagnostics only
    char* keyword;
    char* args[kMaxOptionArgs];  // the first argCount are valid
    uint32_t argCount;
    uint8_t used;  // set to 1 by the reader that accepts the line
    uint8_t hostReserved[3];
};

struct DeviceConfig {
    uint32_t hostReserved0;
    char* deviceName;
    uint8_t hostReserved1[268];
    OptionLine entries[kMaxOptionLines];
    uint32_t lineCount;  // entries in use
};

static_assert(offsetof(OptionLine, keyword) == sizeof(void*), "OptionLine layout");
static_assert(offsetof(OptionLine, args) == 2 * sizeof(void*), "OptionLine layout");
static_assert(offsetof(OptionLine, argCount) == offsetof(OptionLine, args) + kMaxOptionArgs * sizeof(void*),
              "OptionLine layout");
static_assert(offsetof(OptionLine, used) == offsetof(OptionLine, argCount) + 4, "OptionLine layout");
static_assert(offsetof(DeviceConfig, deviceName) == sizeof(void*), "DeviceConfig layout");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(OptionLine) == 272, "OptionLine is 272 bytes on 32-bit hosts");
static_assert(offsetof(OptionLine, argCount) == 264, "OptionLine layout");
static_assert(offsetof(OptionLine, used) == 268, "OptionLine layout");
static_assert(offsetof(DeviceConfig, deviceName) == 4, "DeviceConfig layout");
static_assert(offsetof(DeviceConfig, entries) == 276, "DeviceConfig layout");
static_assert(offsetof(DeviceConfig, lineCount) == 8980, "DeviceConfig layout");
static_assert(sizeof(DeviceConfig) == 8984, "DeviceConfig is 8984 bytes on 32-bit hosts");
#endif
