// CCalibH: argument copies and the three calls into a calibration library.
#include "calib/CCalibH.h"

#include <cstring>
#include <iostream>
#include <new>

namespace {

// A missing string is handed to the library as an empty one rather than as null.
char* copyOf(const char* text) {
    const char* source = text != nullptr ? text : "";
    const size_t length = std::strlen(source);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) std::memcpy(copy, source, length + 1);
    return copy;
}

}  // namespace

CCalibH::CCalibH(const char* libraryName, const Logger* creatorLogger)
    : CDynamicLibH(libraryName, creatorLogger), calibHandle(nullptr), calibArgs(), calibArgCount(0) {
    if (creatorLogger == nullptr && logger != nullptr) logger->setName("CCalibH");
    debugLine("CCalibH: \"init\" called.");
}

CCalibH::~CCalibH() {
    debugLine("CCalibH: \"destructor\" called.");
    // Copies of an init that no exit followed would otherwise be lost.
    freeArguments();
}

void CCalibH::freeArguments() {
    for (char*& copy : calibArgs) {
        delete[] copy;
        copy = nullptr;
    }
}

const char* CCalibH::argument(int32_t index) const {
    if (index < 0 || index >= kMaxArgs) return nullptr;
    return calibArgs[index];
}

bool CCalibH::init(const char* const* args, int32_t count) {
    debugLine("CCalibH: \"init\" called.");
    const CalibInitFunction calibInit = reinterpret_cast<CalibInitFunction>(getProcAddrCached("calib_init", kInitSlot));
    // A second init replaces the copies of the first.
    freeArguments();
    calibArgCount = 0;
    if (count < 0 || count > kMaxArgs || (count > 0 && args == nullptr)) {
        errorLine("CCalibH: Can not pass these library arguments, count ", false);
        std::cout << count << std::endl;
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        calibArgs[i] = copyOf(args[i]);
        if (calibArgs[i] == nullptr) {
            freeArguments();
            errorLine("CCalibH: Not enough memory for the library arguments.", true);
            return false;
        }
    }
    calibArgCount = count;
    if (calibInit == nullptr) {
        debugLine("CCalibH: could not call \"calib_init\".");
        return false;
    }
    calibHandle = calibInit(calibArgs, calibArgCount);
    debugLine("CCalibH: \"calib_init\" called.");
    return true;
}

bool CCalibH::evaluate(float* sample) {
    const CalibEvaluateFunction calibEvaluate =
        reinterpret_cast<CalibEvaluateFunction>(getProcAddrCached("calib_evaluate", kEvaluateSlot));
    if (calibEvaluate == nullptr || sample == nullptr) return false;
    calibEvaluate(calibHandle, sample);
    return true;
}

bool CCalibH::exit() {
    debugLine("CCalibH: \"exit\" called.");
    const CalibExitFunction calibExit = reinterpret_cast<CalibExitFunction>(getProcAddrCached("calib_exit", kExitSlot));
    if (calibExit == nullptr) {
        freeArguments();
        debugLine("CCalibH: could not call \"calib_exit\".");
        return false;
    }
    // The library may still read its arguments while it finishes; free them after it returns.
    calibExit(calibHandle);
    freeArguments();
    debugLine("CCalibH: \"calib_exit\" called.");
    return true;
}
