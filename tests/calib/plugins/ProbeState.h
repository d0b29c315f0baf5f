/* What a probe calibration library received, as the tests read it back through probe_state. */
#ifndef PROBE_STATE_H
#define PROBE_STATE_H

#include <stdint.h>

#define PROBE_MAX_ARGS 10
#define PROBE_TEXT 64

typedef struct ProbeState {
    int32_t initCalls;
    int32_t evaluateCalls;
    int32_t exitCalls;
    char** initArgs;                           /* the array calib_init received */
    int32_t initCount;                         /* the count calib_init received */
    char initText[PROBE_MAX_ARGS][PROBE_TEXT]; /* the strings as calib_init saw them */
    void* initResult;                          /* what calib_init returns; set by the test */
    void* evaluateHandle;
    float* evaluateSample;
    void* exitHandle;
    char exitFirstArg[PROBE_TEXT]; /* the first argument re-read during calib_exit */
} ProbeState;

typedef ProbeState* (*ProbeStateFunction)(void);

#endif
