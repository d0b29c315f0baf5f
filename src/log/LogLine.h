// LogLine: a WARNING or ERROR line written whole, for the lines that other devices' threads must
// not land inside (the reports the host reads).
#pragma once

#include <string>

#include "fastrak/Logger.h"

enum class LogLevel { Warning, Error };

// The level line of `head` and `tail` in one write. A disabled record writes the tail alone, as a
// caller's own text after an open line was always written.
void logLine(const Logger& logger, LogLevel level, const std::string& head, const std::string& tail);
