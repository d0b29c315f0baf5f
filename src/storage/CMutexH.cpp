// CMutexH: lock and unlock of the host's mutex handle, with the system's text on failure.
#include "fastrak/DataStorage.h"

#include <iostream>

#include "platform/SystemMessage.h"
#include "platform/win32.h"

namespace {

void reportFailure(const Logger* logger, const char* text) {
    // Read before anything else can overwrite it.
    const DWORD code = GetLastError();
    if (logger == nullptr) return;
    logger->error(text, false);
    std::cout << platform::systemMessage(code) << std::endl;
}

}  // namespace

bool CMutexH::lock() {
    const DWORD result = WaitForSingleObject(handle, INFINITE);
    if (result == WAIT_OBJECT_0) return true;
    // An abandoned wait sets no error code on Windows; name the cause so the line says something true.
    // The caller owns the mutex now and releases it with unlock as usual.
    if (result == WAIT_ABANDONED) SetLastError(ERROR_SEM_OWNER_DIED);
    reportFailure(logger, "CMutexH: Locking mutex: ");
    return false;
}

bool CMutexH::unlock() {
    if (ReleaseMutex(handle)) return true;
    reportFailure(logger, "CMutexH: Unlocking mutex: ");
    return false;
}
