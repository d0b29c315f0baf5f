// localTime over the reentrant call each platform offers.
#include "platform/LocalTime.h"

namespace platform {

bool localTime(std::time_t when, std::tm& result) {
#if defined(_WIN32)
    return localtime_s(&result, &when) == 0;
#else
    return localtime_r(&when, &result) != nullptr;
#endif
}

}  // namespace platform
