// A calibration library for the tracker tests: shifts x by its first argument and adds 10 to roll.
#include <cstdint>
#include <cstdlib>

#ifdef _WIN32
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

namespace {

struct ShiftState {
    float shift;
};

ShiftState state = {1.0f};

}  // namespace

extern "C" {

PLUGIN_EXPORT void* calib_init(char** args, int32_t count) {
    state.shift = count > 0 ? static_cast<float>(std::atof(args[0])) : 1.0f;
    return &state;
}

#if PLUGIN_WITH_EVALUATE
// Without calib_init's handle nothing is known, and nothing is changed.
PLUGIN_EXPORT void calib_evaluate(void* handle, float* sample) {
    if (handle == nullptr) return;
    sample[0] += static_cast<ShiftState*>(handle)->shift;
    sample[5] += 10.0f;
}
#endif

PLUGIN_EXPORT void calib_exit(void* /*handle*/) {}

}  // extern "C"
