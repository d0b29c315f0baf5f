// WaitForSingleObject and ReleaseMutex over a host-owned robust pthread mutex.
#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "platform/posix/LastError.h"
#include "platform/win32.h"

// The HANDLE is the address of the host's pthread_mutex_t, initialised PTHREAD_MUTEX_ROBUST so
// that a thread that dies holding it leaves it abandoned rather than locked for ever.

namespace {

pthread_mutex_t* mutexOf(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<pthread_mutex_t*>(object);
}

int lockWithin(pthread_mutex_t* mutex, DWORD milliseconds) {
    if (milliseconds == INFINITE) return pthread_mutex_lock(mutex);
    if (milliseconds == 0) return pthread_mutex_trylock(mutex);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(mutex, &deadline);
}

}  // namespace

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    pthread_mutex_t* mutex = mutexOf(object);
    if (mutex == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const int result = lockWithin(mutex, milliseconds);
    switch (result) {
        case 0:
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // We own it now, as on Windows; marking it consistent keeps it usable after our unlock.
            pthread_mutex_consistent(mutex);
            platform::setLastErrorFromErrno(EOWNERDEAD);
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            platform::setLastErrorFromErrno(result);
            return WAIT_FAILED;
    }
}

BOOL ReleaseMutex(HANDLE object) {
    pthread_mutex_t* mutex = mutexOf(object);
    if (mutex == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const int result = pthread_mutex_unlock(mutex);
    if (result == 0) return TRUE;
    // Releasing a mutex the caller does not hold is ERROR_NOT_OWNER on Windows.
    if (result == EPERM) {
        SetLastError(ERROR_NOT_OWNER);
    } else {
        platform::setLastErrorFromErrno(result);
    }
    return FALSE;
}
