// Logger: the 516-byte logging record shared with the host, and its operations.
#pragma once

#include <cstddef>
#include <cstdint>

// Every field is fixed-width and byte-aligned after the flags, so the record has no padding.
struct Logger {
    uint8_t showDate;
    uint8_t showTime;
    uint8_t showThreadId;
    uint8_t enabled;
    char name[100];
    char infoLabel[100];
    char errorLabel[100];
    char warningLabel[100];
    char debugLabel[100];
    int32_t debugThreshold;
    int32_t debugLevel;
    int32_t objectDebugLevel;

    Logger& setDefaults();
    void setName(const char* text);
    void setDebugThreshold(const int32_t& level);
    void setObjectDebugLevel(const int32_t& level);
    bool isDebugOn() const;
    void writePrefix() const;
    void info(const char* text, const bool& endLine) const;
    void error(const char* text, const bool& endLine) const;
    void warning(const char* text, const bool& endLine) const;
    void debug(const char* text, const bool& endLine) const;
    void debugFormat(const char* format, ...) const
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // Called by an owner before it frees its copy; the record holds nothing to release.
    void release();
};

static_assert(sizeof(Logger) == 516, "Logger is 516 bytes");
static_assert(offsetof(Logger, enabled) == 3, "Logger layout");
static_assert(offsetof(Logger, name) == 4, "Logger layout");
static_assert(offsetof(Logger, infoLabel) == 104, "Logger layout");
static_assert(offsetof(Logger, errorLabel) == 204, "Logger layout");
static_assert(offsetof(Logger, warningLabel) == 304, "Logger layout");
static_assert(offsetof(Logger, debugLabel) == 404, "Logger layout");
static_assert(offsetof(Logger, debugThreshold) == 504, "Logger layout");
static_assert(offsetof(Logger, debugLevel) == 508, "Logger layout");
static_assert(offsetof(Logger, objectDebugLevel) == 512, "Logger layout");
