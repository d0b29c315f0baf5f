// HostLog: fastrak-host's own log lines, in the module's line format, on standard output.
#pragma once

#include <string>

#include "HostConfig.h"

namespace fastrakhost {

void setHostLogStyle(const HostSettings& settings);
// Lines wider than `columns` wrap between words, as in the live view (0: as they are). For the
// lines after the view has given the terminal back.
void setHostLogWidth(size_t columns);
void hostInfo(const std::string& text);
void hostWarning(const std::string& text);
void hostError(const std::string& text);

}  // namespace fastrakhost
