// LoadLibraryA, GetProcAddress and FreeLibrary for the POSIX shim, over dlopen, dlsym and dlclose.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

// Windows appends ".dll" to a name whose last path component has no '.'; we append ".so" by the
// same rule, so one configured name serves both platforms. A trailing '.' means "no extension,
// append nothing" there, and the file opened is the name without that dot.
std::string fileNameFor(const char* name) {
    std::string file(name);
    const size_t slash = file.find_last_of('/');
    const size_t componentStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = file.find('.', componentStart);
    if (dot == std::string::npos) return file + ".so";
    if (file.size() > componentStart + 1 && file.back() == '.' && file[file.size() - 2] != '.') file.pop_back();
    return file;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (*name == '\0') {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string file;
    try {
        file = fileNameFor(name);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Windows resolves every import at load time and keeps a library's symbols to itself.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        dlerror();  // consume the text so a later dlerror does not report this failure
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module, name);
    if (address == nullptr) {
        dlerror();
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // dlsym hands out object pointers; POSIX guarantees they convert to function pointers.
    FARPROC procedure = nullptr;
    static_assert(sizeof procedure == sizeof address, "function and object pointers have one size");
    std::memcpy(&procedure, &address, sizeof procedure);
    return procedure;
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr || dlclose(module) != 0) {
        dlerror();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
