/* A logger thread that calls one callback over and over with a log file,
 * for as long as it is enabled. The callback paces the loop itself. */
#ifndef QUILLOMAT_ALOGGER_H
#define QUILLOMAT_ALOGGER_H

#include <stdint.h>

#include "aError.h"
#include "unix_file.h"

#ifdef __cplusplus
extern "C" {
#endif

#define aLOGGERCHECK 0xDEED

typedef aErr (*aLoggerCallback)(aFileRef file, uint32_t identifier);

typedef struct aLoggerRecord aLoggerRecord;
typedef aLoggerRecord* aLoggerRef;

/* Opens `path` for appending, unbuffered. The logger starts stopped. Null
 * when the file cannot be opened or memory runs out. */
aLoggerRef aLogger_Create(uint32_t identifier, aLoggerCallback callback, const char* path);

/* Starts the logger thread unless it runs. aErrParam for an invalid logger,
 * aErrResource when the thread cannot be started. */
aErr aLogger_Enable(aLoggerRef logger);

/* Stops the thread and waits for it; from the logger thread itself it does
 * nothing. aErrUnknown when the wait fails. */
aErr aLogger_Disable(aLoggerRef logger);

/* Disables, closes the file, frees the record and nulls *logger (only when
 * disabling succeeded). An invalid handle is left alone: aErrNone. */
aErr aLogger_Destroy(aLoggerRef* logger);

#ifdef __cplusplus
}
#endif

#endif
