/* Named, non-recursive mutexes. */
#ifndef QUILLOMAT_UNIX_MUTEX_H
#define QUILLOMAT_UNIX_MUTEX_H

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest mutex name, without the terminator. */
#define aMUTEX_NAME_MAX 255

typedef struct aMutexRecord aMutexRecord;
typedef aMutexRecord* aMutexRef;

/* Null name means ""; null for a name of 256 characters or more or when the
 * mutex cannot be made. */
aMutexRef aMutex_Create(const char* name);

/* The name given at creation ("" for a null mutex). */
const char* aMutex_Identifier(aMutexRef mutex);

/* aErrDuplicate when the caller already holds it. */
aErr aMutex_Lock(aMutexRef mutex);
/* aErrBusy when another holder has it. */
aErr aMutex_TryLock(aMutexRef mutex);
/* aErrPermission when the caller does not hold it. */
aErr aMutex_Unlock(aMutexRef mutex);
/* Frees the record and nulls *mutex whatever the native result; aErrBusy
 * for a locked mutex. */
aErr aMutex_Destroy(aMutexRef* mutex);

#ifdef __cplusplus
}
#endif

#endif
