// The one replaceable sleeper through which every wait of the module goes.
#pragma once

#include <cstdint>

namespace platform {

using SleepFunction = void (*)(uint32_t milliseconds);

// Waits through the installed sleeper (the system's Sleep unless a test replaced it).
void sleepMs(uint32_t milliseconds);

// Installs a sleeper and returns the previous one; null restores the system's Sleep.
SleepFunction setSleeper(SleepFunction sleeper);

}  // namespace platform
