// Sleep, GetCurrentThreadId and the 32-bit wall clock for the POSIX shim.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/win32.h"

void Sleep(DWORD milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

void _ftime32(__timeb32* clock) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    clock->time = static_cast<int32_t>(now.tv_sec);
    clock->millitm = static_cast<uint16_t>(now.tv_nsec / 1000000L);
    // tm_gmtoff is seconds east of UTC and already includes daylight saving; _ftime reports the
    // standard zone's minutes west and a separate flag.
    const long eastSeconds = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600L : 0L);
    clock->timezone = static_cast<int16_t>(-eastSeconds / 60);
    clock->dstflag = static_cast<int16_t>(local.tm_isdst > 0 ? 1 : 0);
}
