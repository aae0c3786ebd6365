/* Wall-clock milliseconds and sleeping. */
#ifndef QUILLOMAT_UNIX_TIME_H
#define QUILLOMAT_UNIX_TIME_H

#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds since the Unix epoch by the wall clock; 0 when the clock
 * cannot be read. Time-outs measured with it follow changes of the system
 * time. */
uint64_t aTime_GetMSTicks(void);

/* Sleeps `milliseconds`; 0 returns at once. */
aErr aTime_MSSleep(uint64_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif
