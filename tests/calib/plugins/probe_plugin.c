/* A calibration library for the tests: records every call; entry points chosen at build time. */
#include <string.h>

#include "ProbeState.h"
#include "calibration/fastrak_calibration.h"

static ProbeState state;

ProbeState* probe_state(void);

ProbeState* probe_state(void) { return &state; }

static void copyText(char* target, const char* text) {
    strncpy(target, text != NULL ? text : "(null)", PROBE_TEXT - 1);
    target[PROBE_TEXT - 1] = '\0';
}

void* calib_init(char** args, int32_t count) {
    int32_t i;
    ++state.initCalls;
    state.initArgs = args;
    state.initCount = count;
    for (i = 0; i < count && i < PROBE_MAX_ARGS; ++i) copyText(state.initText[i], args[i]);
    return state.initResult;
}

#if PROBE_WITH_EVALUATE
/* A change of every value that no other step makes: x+1, y*2, z negated, angles +10, +20, +30. */
void calib_evaluate(void* handle, float* sample) {
    ++state.evaluateCalls;
    state.evaluateHandle = handle;
    state.evaluateSample = sample;
    sample[0] += 1.0f;
    sample[1] *= 2.0f;
    sample[2] = -sample[2];
    sample[3] += 10.0f;
    sample[4] += 20.0f;
    sample[5] += 30.0f;
}
#endif

#if PROBE_WITH_EXIT
void calib_exit(void* handle) {
    ++state.exitCalls;
    state.exitHandle = handle;
    /* The strings are promised until calib_exit returns; reading them here must be safe. */
    if (state.initCount > 0 && state.initArgs != NULL) copyText(state.exitFirstArg, state.initArgs[0]);
}
#endif
