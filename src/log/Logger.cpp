// Logger operations: defaults, the line prefix, the four levels and the DEBUG filter.
#include "fastrak/Logger.h"
#include "log/LogLine.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

#include "platform/LocalTime.h"
#include "platform/win32.h"

namespace {

void copyField(char (&field)[100], const char* text) { std::strncpy(field, text ? text : "", sizeof field); }

// A field that filled all 100 bytes has no terminator; never read past it.
void addField(std::string& line, const char (&field)[100]) { line.append(field, strnlen(field, sizeof field)); }

std::string prefixOf(const Logger& logger) {
    std::string line;
    char format[16] = "";
    if (logger.showDate) std::strcat(format, "%b %d ");
    if (logger.showTime) std::strcat(format, "%X ");
    if (logger.showDate || logger.showTime) {
        std::tm local{};
        char stamp[100];
        const size_t length =
            platform::localTime(std::time(nullptr), local) ? std::strftime(stamp, sizeof stamp, format, &local) : 0;
        line.append(stamp, length);
    }
    addField(line, logger.name);
    if (logger.showThreadId) {
        line += '[' + std::to_string(static_cast<unsigned long>(GetCurrentThreadId())) + "]: ";
    } else {
        line += ": ";
    }
    return line;
}

// One write for what a call produces: standard output's own lock keeps it whole, so lines of
// several devices' threads never land inside each other.
void writeWhole(const std::string& text, bool flush) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (flush) std::cout.flush();
}

}  // namespace

Logger& Logger::setDefaults() {
    showDate = 1;
    showTime = 1;
    showThreadId = 1;
    enabled = 1;
    copyField(name, "MESSAGE");
    copyField(infoLabel, "INFO");
    copyField(errorLabel, "ERROR");
    copyField(warningLabel, "WARNING");
    copyField(debugLabel, "DEBUG");
    debugThreshold = 1;
    debugLevel = 0;
    objectDebugLevel = 0;
    return *this;
}

void Logger::setName(const char* text) { copyField(name, text); }

void Logger::setDebugThreshold(const int32_t& level) { debugThreshold = level; }

void Logger::setObjectDebugLevel(const int32_t& level) { objectDebugLevel = level; }

bool Logger::isDebugOn() const {
    return debugLevel != 0 && (debugLevel == objectDebugLevel || debugLevel >= debugThreshold);
}

void Logger::writePrefix() const { writeWhole(prefixOf(*this), false); }

namespace {

void writeLevel(const Logger& logger, const char (&label)[100], const char* text, bool endLine) {
    if (!logger.enabled) return;
    std::string line = prefixOf(logger);
    addField(line, label);
    line += ": ";
    line += text ? text : "";
    if (endLine) line += '\n';
    writeWhole(line, endLine);
}

}  // namespace

void Logger::info(const char* text, const bool& endLine) const { writeLevel(*this, infoLabel, text, endLine); }

void Logger::error(const char* text, const bool& endLine) const { writeLevel(*this, errorLabel, text, endLine); }

void Logger::warning(const char* text, const bool& endLine) const { writeLevel(*this, warningLabel, text, endLine); }

void Logger::debug(const char* text, const bool& endLine) const {
    if (!isDebugOn()) return;
    writeLevel(*this, debugLabel, text, endLine);
}

void Logger::debugFormat(const char* format, ...) const {
    if (!enabled) return;
    // Bounded: a long argument (a 255-character port name) is cut, never written past the buffer.
    char buffer[256] = {};
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    // A cut text keeps the line break that its format ends with.
    const size_t formatLength = std::strlen(format);
    if (length >= static_cast<int>(sizeof buffer) && formatLength > 0 && format[formatLength - 1] == '\n') {
        buffer[sizeof buffer - 2] = '\n';
    }
    if (!isDebugOn()) return;
    std::string line = prefixOf(*this);
    addField(line, debugLabel);
    line += ": ";
    line += buffer;
    writeWhole(line, true);
}

void Logger::release() {}

void logLine(const Logger& logger, LogLevel level, const std::string& head, const std::string& tail) {
    if (!logger.enabled) {
        writeWhole(tail + "\n", true);
        return;
    }
    writeLevel(logger, level == LogLevel::Error ? logger.errorLabel : logger.warningLabel, (head + tail).c_str(), true);
}
