// GetLastError, the errno-to-ERROR_* table and FormatMessageA/LocalFree for the POSIX shim.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/LastError.h"
#include "platform/win32.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
// The errno behind lastError, when it came from one: its message is the system's own text.
thread_local int lastErrno = 0;

struct ErrnoMapping {
    int error;
    DWORD code;
};

// The one errno table of the shim.
const ErrnoMapping kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},      {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND},       {ENODEV, ERROR_DEV_NOT_EXIST},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},       {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},        {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},   {EBUSY, ERROR_SHARING_VIOLATION},
    {EINVAL, ERROR_INVALID_PARAMETER},   {ENOTTY, ERROR_INVALID_FUNCTION},
    {EIO, ERROR_DEVICE_NOT_CONNECTED},   {EPIPE, ERROR_BROKEN_PIPE},
    {ETIMEDOUT, ERROR_SEM_TIMEOUT},      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EEXIST, ERROR_FILE_EXISTS},         {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},   {EAGAIN, ERROR_BUSY},
    {EINTR, ERROR_OPERATION_ABORTED},    {EDEADLK, ERROR_NOT_OWNER},
    {EOWNERDEAD, ERROR_SEM_OWNER_DIED},  {ENOTRECOVERABLE, ERROR_INVALID_HANDLE},
};

struct MessageEntry {
    DWORD code;
    const char* text;
};

// English texts as the Windows system gives them, without the trailing line break.
const MessageEntry kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_BAD_UNIT, "The system cannot find the device specified."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_SEM_OWNER_DIED, "The previous ownership of this semaphore has ended."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
};

// strerror_r comes in two forms; each overload takes the one this C library has.
[[maybe_unused]] const char* pickText(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* pickText(const char* result, const char*) { return result; }

const char* errnoText(int error, char* buffer, size_t size) {
    buffer[0] = '\0';
    const char* text = pickText(strerror_r(error, buffer, size), buffer);
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

}  // namespace

namespace platform {

DWORD win32ErrorFromErrno(int error) {
    for (const ErrnoMapping& entry : kErrnoTable) {
        if (entry.error == error) return entry.code;
    }
    return ERROR_GEN_FAILURE;
}

DWORD setLastErrorFromErrno(int error) {
    lastError = win32ErrorFromErrno(error);
    lastErrno = error;
    return lastError;
}

}  // namespace platform

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD code) {
    lastError = code;
    lastErrno = 0;
}

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD messageId, DWORD /*languageId*/, LPSTR buffer,
                     DWORD size, va_list* /*arguments*/) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char unknown[64];
    char systemText[256];
    const char* text = nullptr;
    // The system's own words for the error that just happened ("No such file or directory"); the
    // Windows texts only for codes that no errno stands behind.
    if (messageId == lastError && lastErrno != 0) text = errnoText(lastErrno, systemText, sizeof systemText);
    for (const MessageEntry& entry : kMessages) {
        if (text == nullptr && entry.code == messageId) text = entry.text;
    }
    if (text == nullptr) {
        std::snprintf(unknown, sizeof unknown, "Unknown error %lu.", static_cast<unsigned long>(messageId));
        text = unknown;
    }
    const size_t length = std::strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // The caller passes the address of its pointer and frees the text with LocalFree.
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return static_cast<DWORD>(length);
    }
    if (size <= length) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
