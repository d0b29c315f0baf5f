// CConfigH::checkUnknownOptions.
#include "config/CConfigH.h"

#include <iostream>

#include "config/OptionRecord.h"

bool CConfigH::checkUnknownOptions(const DeviceConfig* config, const Logger* logger) {
    if (config == nullptr) return true;
    bool result = true;
    const uint32_t count = optionLineCount(*config);
    for (uint32_t i = 0; i < count; ++i) {
        const OptionLine& line = config->entries[i];
        if (line.used != 0) continue;
        if (logger != nullptr) logger->error("CConfigH: Unknown option \"", false);
        std::cout << (line.keyword ? line.keyword : "") << "\" found at line " << line.lineNumber << "." << std::endl;
        result = false;
    }
    return result;
}
