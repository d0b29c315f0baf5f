// The system's text for a Win32 error code, as the module's error lines print it.
#pragma once

#include <string>

#include "platform/win32.h"

namespace platform {

// FormatMessageA from the system table (neutral language), freed with LocalFree; the trailing
// line break that Windows appends is removed because callers end the line themselves.
std::string systemMessage(DWORD code);

}  // namespace platform
