// CCalibH: calls an external calibration library's calib_init, calib_evaluate and calib_exit.
#pragma once

#include <cstdint>

#include "calib/CDynamicLibH.h"

class CCalibH : public CDynamicLibH {
public:
    enum : int32_t { kMaxArgs = 10 };

    // The library's entry points, plain C functions.
    typedef void* (*CalibInitFunction)(char** args, int32_t count);
    typedef void (*CalibEvaluateFunction)(void* handle, float* sample);
    typedef void (*CalibExitFunction)(void* handle);

    // Loads the library at once; a failed load surfaces at init.
    CCalibH(const char* libraryName, const Logger* creatorLogger);
    ~CCalibH() override;

    // Copies the count strings (at most kMaxArgs) and hands the copies to calib_init.
    bool init(const char* const* args, int32_t count);
    // sample: x, y, z, azimuth, elevation, roll, which the library may correct in place.
    bool evaluate(float* sample);
    // Calls calib_exit, then frees the argument copies (freed also when it is missing).
    bool exit();

    void* handle() const { return calibHandle; }
    int32_t argumentCount() const { return calibArgCount; }
    // The copy made by init, or null once exit has freed it.
    const char* argument(int32_t index) const;

private:
    enum : uint32_t { kInitSlot = 0, kEvaluateSlot = 1, kExitSlot = 3 };

    void freeArguments();

    void* calibHandle;
    char* calibArgs[kMaxArgs];
    int32_t calibArgCount;
};
