// The replaceable sleeper: the system's Sleep by default.
#include "platform/Sleeper.h"

#include <atomic>

#include "platform/win32.h"

namespace platform {
namespace {

void systemSleep(uint32_t milliseconds) { Sleep(milliseconds); }

std::atomic<SleepFunction> currentSleeper{&systemSleep};

}  // namespace

void sleepMs(uint32_t milliseconds) { currentSleeper.load()(milliseconds); }

SleepFunction setSleeper(SleepFunction sleeper) { return currentSleeper.exchange(sleeper ? sleeper : &systemSleep); }

}  // namespace platform
