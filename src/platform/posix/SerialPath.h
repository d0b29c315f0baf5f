// Shim-internal: the device path that a Win32 port name opens on POSIX.
#pragma once

#include <string>

namespace platform {

// "comN" in any letter case is /dev/ttyS<N-1>, as Wine maps COM ports; a name with a '/' is a
// path used as it is; any other name lives under /dev/. A leading "\\.\" (the Win32 device
// prefix that ports above COM9 need) is dropped first. An empty name gives an empty path.
std::string serialDevicePath(const char* name);

}  // namespace platform
