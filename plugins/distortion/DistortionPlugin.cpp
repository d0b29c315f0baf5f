// fastrak_distortion: a calibration library that corrects every tracker sample with a fitted model.
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "CorrectionModel.h"
#include "calibration/fastrak_calibration.h"

#if defined(_WIN32)
#define DISTORTION_EXPORT extern "C" __declspec(dllexport)
#else
#define DISTORTION_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// One line on standard output in the module's own log form; the device then runs uncorrected.
void* refuse(const std::string& reason) {
    std::printf("fastrak_distortion: ERROR: %s; no correction is applied.\n", reason.c_str());
    std::fflush(stdout);
    return nullptr;
}

}  // namespace

DISTORTION_EXPORT void* calib_init(char** args, int32_t count) {
    try {
        if (count != 1 || args == nullptr || args[0] == nullptr || args[0][0] == '\0')
            return refuse("expected one argument, the model file written by fastrak-calibrate, got " +
                          std::to_string(count));
        distortion::CorrectionModel model;
        std::string error;
        if (!distortion::CorrectionModel::load(args[0], model, error))
            return refuse("cannot use the model \"" + std::string(args[0]) + "\": " + error);
        return new distortion::CorrectionModel(std::move(model));
    } catch (const std::exception& e) {
        // Out of memory while reading: the host keeps running without correction.
        return refuse(std::string("cannot load the model: ") + e.what());
    }
}

DISTORTION_EXPORT void calib_evaluate(void* handle, float* sample) {
    if (handle == nullptr || sample == nullptr) return;
    static_cast<const distortion::CorrectionModel*>(handle)->correct(sample);
}

DISTORTION_EXPORT void calib_exit(void* handle) { delete static_cast<distortion::CorrectionModel*>(handle); }
