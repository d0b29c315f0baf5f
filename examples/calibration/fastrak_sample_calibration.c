/* A sample calibration library: scales and shifts the tracker position per axis. */
#include <ctype.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fastrak_calibration.h"

#define LIBRARY_NAME "fastrak_sample_calibration"

/* position = position * scale + offset, per axis; orientation is left as it is. */
typedef struct Correction {
    float scale[3];
    float offset[3];
} Correction;

/* Case-insensitive comparison of the key (length bytes) with a lower-case word. */
static int keyIs(const char* key, size_t length, const char* word) {
    size_t i;
    if (strlen(word) != length) return 0;
    for (i = 0; i < length; ++i) {
        if (tolower((unsigned char)key[i]) != word[i]) return 0;
    }
    return 1;
}

/* Reads exactly three finite numbers separated by commas ("1.5,0,-2"); 1 on success. */
static int readThree(const char* text, float values[3]) {
    const char* cursor = text;
    int i;
    for (i = 0; i < 3; ++i) {
        char* end = NULL;
        double value;
        if (*cursor == '\0' || *cursor == ',' || isspace((unsigned char)*cursor)) return 0;
        value = strtod(cursor, &end);
        if (end == cursor) return 0;
        values[i] = (float)value;
        if (!isfinite(values[i])) return 0;
        cursor = end;
        if (i < 2) {
            if (*cursor != ',') return 0;
            ++cursor;
        }
    }
    return *cursor == '\0';
}

/* One line on standard output, where the module writes its own, in their "name: LEVEL: text" form.
 * Flushed at once: the library's C runtime may buffer apart from the module's. */
static void logError(const char* format, ...) {
    va_list arguments;
    printf(LIBRARY_NAME ": ERROR: ");
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf("; no correction is applied.\n");
    fflush(stdout);
}

static void* refuse(const char* argument, const char* reason) {
    logError("bad argument \"%s\": %s", argument, reason);
    return NULL;
}

void* calib_init(char** args, int32_t count) {
    Correction settings = {{1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f}};
    int seenScale = 0;
    int seenOffset = 0;
    Correction* correction;
    int32_t i;

    if (count < 0 || (count > 0 && args == NULL)) {
        logError("no arguments array for a count of %ld", (long)count);
        return NULL;
    }
    for (i = 0; i < count; ++i) {
        const char* argument = args[i] != NULL ? args[i] : "";
        const char* equals = strchr(argument, '=');
        float* target;
        int* seen;
        if (equals == NULL) return refuse(argument, "expected scale=X,Y,Z or offset=X,Y,Z");
        if (keyIs(argument, (size_t)(equals - argument), "scale")) {
            target = settings.scale;
            seen = &seenScale;
        } else if (keyIs(argument, (size_t)(equals - argument), "offset")) {
            target = settings.offset;
            seen = &seenOffset;
        } else {
            return refuse(argument, "unknown setting, expected scale or offset");
        }
        if (*seen) return refuse(argument, "this setting was already given");
        if (!readThree(equals + 1, target))
            return refuse(argument, "expected three numbers separated by commas, without blanks");
        *seen = 1;
    }

    correction = (Correction*)malloc(sizeof *correction);
    if (correction == NULL) {
        logError("out of memory");
        return NULL;
    }
    *correction = settings;
    return correction;
}

void calib_evaluate(void* handle, float* sample) {
    const Correction* correction = (const Correction*)handle;
    int axis;
    /* A null handle is what a refused calib_init returned: leave the sample alone. */
    if (correction == NULL || sample == NULL) return;
    for (axis = 0; axis < 3; ++axis) sample[axis] = sample[axis] * correction->scale[axis] + correction->offset[axis];
}

void calib_exit(void* handle) { free(handle); }
