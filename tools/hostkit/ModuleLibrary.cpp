// ModuleLibrary over LoadLibrary on Windows and dlopen elsewhere.
#include "ModuleLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace fastrakhost {
namespace {

template <typename Function>
Function lookUp(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)));
#else
    return reinterpret_cast<Function>(dlsym(handle, name));
#endif
}

}  // namespace

ModuleLibrary::~ModuleLibrary() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

bool ModuleLibrary::load(const std::string& path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (handle_ == nullptr) error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error_ = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    }
#endif
    if (handle_ == nullptr) return false;
    createDev_ = lookUp<CreateDevFunction>(handle_, "createDev");
    deleteDev_ = lookUp<DeleteDevFunction>(handle_, "deleteDev");
    if (createDev_ == nullptr || deleteDev_ == nullptr) {
        error_ = path + " does not export createDev and deleteDev";
        return false;
    }
    return true;
}

const char* ModuleLibrary::fileName() {
#if defined(_WIN32)
    return "fastrak.dll";
#else
    return "libfastrak.so";
#endif
}

std::string ModuleLibrary::programFolder() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length < MAX_PATH ? length : 0);
    const size_t slash = text.find_last_of("\\/");
#else
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string text(path, length > 0 ? static_cast<size_t>(length) : 0);
    const size_t slash = text.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

std::string ModuleLibrary::defaultPath() {
    const std::string beside = programFolder() + "/" + fileName();
#if defined(FASTRAK_INSTALLED_MODULE_DIR)
    // The installed module folder, relative to the installed program's folder.
    const std::string installed = programFolder() + "/" + FASTRAK_INSTALLED_MODULE_DIR + "/" + fileName();
#if defined(_WIN32)
    const bool besideExists = GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    const bool besideExists = access(beside.c_str(), F_OK) == 0;
#endif
    if (!besideExists) return installed;
#endif
    return beside;
}

}  // namespace fastrakhost
