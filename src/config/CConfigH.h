// CConfigH: the check that every option line was accepted by some reader.
#pragma once

#include "fastrak/DeviceConfig.h"
#include "fastrak/Logger.h"

class CConfigH {
public:
    // Reports each line whose used mark is still 0, in order; true when there is none.
    static bool checkUnknownOptions(const DeviceConfig* config, const Logger* logger);
};
