/* The three entry points that a calibration library exports for the Fastrak device module. */
#ifndef FASTRAK_CALIBRATION_H
#define FASTRAK_CALIBRATION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Called once when the device starts. args holds count zero-terminated strings: the words that
 * follow the library name on the calibration option line (at most 10, possibly none); the array
 * has no terminating null entry. The strings belong to the module and stay valid until calib_exit
 * returns; copy what you want to keep longer. The value returned (null included) is passed back
 * unchanged to calib_evaluate and calib_exit; the module never looks inside it.
 */
void* calib_init(char** args, int32_t count);

/*
 * Called for every tracker sample. sample points to six consecutive floats: x, y, z (feet, in the
 * axes the module uses at that point, CAVE axes when that option is on), then azimuth, elevation
 * and roll (degrees). Correct them in place; the module applies the transmitter and sensor
 * transforms afterwards.
 */
void calib_evaluate(void* handle, float* sample);

/* Called once when the device stops. Release what calib_init made. */
void calib_exit(void* handle);

#ifdef __cplusplus
}
#endif

#endif
