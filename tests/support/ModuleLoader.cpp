// ModuleLoader over LoadLibrary on Windows and dlopen elsewhere.
#include "support/ModuleLoader.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

namespace testsupport {

namespace {

template <typename Function>
Function lookUp(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)));
#else
    return reinterpret_cast<Function>(dlsym(handle, name));
#endif
}

}  // namespace

ModuleLoader::ModuleLoader(const std::string& path) : handle_(nullptr), createDev_(nullptr), deleteDev_(nullptr) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (handle_ == nullptr) error_ = "LoadLibraryA failed with code " + std::to_string(GetLastError());
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = dlerror();
#endif
    if (handle_ == nullptr) return;
    createDev_ = lookUp<CreateDevFunction>(handle_, "createDev");
    deleteDev_ = lookUp<DeleteDevFunction>(handle_, "deleteDev");
}

ModuleLoader::~ModuleLoader() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

}  // namespace testsupport
