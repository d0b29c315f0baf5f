// Loads the built module as a host does and looks up its two exports.
#pragma once

#include <string>

#include "fastrak/fastrak.h"

namespace testsupport {

class ModuleLoader {
public:
    explicit ModuleLoader(const std::string& path);
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    CreateDevFunction createDev() const { return createDev_; }
    DeleteDevFunction deleteDev() const { return deleteDev_; }

private:
    void* handle_;
    std::string error_;
    CreateDevFunction createDev_;
    DeleteDevFunction deleteDev_;
};

}  // namespace testsupport
