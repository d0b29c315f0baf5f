// HostLog: fastrak-host's own log lines, in the module's line format, on standard output.
#pragma once

#include <string>

#include "HostConfig.h"

namespace fastrakhost {

void setHostLogStyle(const HostSettings& settings);
void hostInfo(const std::string& text);
void hostWarning(const std::string& text);
void hostError(const std::string& text);

}  // namespace fastrakhost
