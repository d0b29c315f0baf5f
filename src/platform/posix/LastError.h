// Shim-internal: the thread's last Win32 error and its errno mapping.
#pragma once

#include "platform/win32.h"

namespace platform {

// Maps an errno value onto the Win32 code that the same failure gives on Windows.
DWORD win32ErrorFromErrno(int error);

// Records errno as the thread's last error (mapped); returns the mapped code.
DWORD setLastErrorFromErrno(int error);

}  // namespace platform
