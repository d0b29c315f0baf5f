// ModuleLibrary: the device module loaded as a host service loads it, and its two exports.
#pragma once

#include <string>

#include "fastrak/fastrak.h"

namespace fastrakhost {

class ModuleLibrary {
public:
    ModuleLibrary() = default;
    // Loads at once; loaded() and error() tell how it went.
    explicit ModuleLibrary(const std::string& path) { load(path); }
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    // Loads the library and looks up createDev and deleteDev; on failure error() says why.
    bool load(const std::string& path);
    const std::string& error() const { return error_; }
    // The library is loaded, whether or not it exports both functions.
    bool loaded() const { return handle_ != nullptr; }
    CreateDevFunction createDev() const { return createDev_; }
    DeleteDevFunction deleteDev() const { return deleteDev_; }

    // The module's file name on this platform, and the folder this program runs from.
    static const char* fileName();
    static std::string programFolder();
    // Beside this program (a build tree, the Windows archive), else where an install put it.
    static std::string defaultPath();

private:
    void* handle_ = nullptr;
    std::string error_;
    CreateDevFunction createDev_ = nullptr;
    DeleteDevFunction deleteDev_ = nullptr;
};

}  // namespace fastrakhost
