// Helpers of the calibration tests: a quiet host Logger, line counting and probe access.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "calib/CDynamicLibH.h"
#include "fastrak/Logger.h"
#include "plugins/ProbeState.h"

namespace calibtest {

// A host record without date, time or thread id, so lines compare exactly; debugLevel 3 shows the
// loader's and the calibration object's DEBUG lines, 0 shows none.
inline Logger hostLogger(int32_t debugLevel) {
    Logger logger;
    logger.setDefaults();
    logger.setName("Host");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    logger.debugLevel = debugLevel;
    return logger;
}

inline long countLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<long>(std::count(lines.begin(), lines.end(), line));
}

// Every platform lookup of the loader writes this line when DEBUG is on.
const char* const kLookupLine = "Host: DEBUG: CDynamicLibH: \"getProcAddr\" called.";

// The probe's record of its calls, reached through the library the object loaded.
inline ProbeState* probeOf(CDynamicLibH& library) {
    ProbeStateFunction function = reinterpret_cast<ProbeStateFunction>(library.getProcAddr("probe_state"));
    return function != nullptr ? function() : nullptr;
}

}  // namespace calibtest
