// Thread-safe conversion of calendar time to local time.
#pragma once

#include <ctime>

namespace platform {

// False when the time cannot be represented.
bool localTime(std::time_t when, std::tm& result);

}  // namespace platform
