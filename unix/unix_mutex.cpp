#include "unix_mutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct aMutexRecord {
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_MAX + 1];
};

namespace {

aErr sLockResult(int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr sTryLockResult(int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    default: return aErrUnknown;
  }
}

aErr sUnlockResult(int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EPERM: return aErrPermission;
    default: return aErrUnknown;
  }
}

aErr sDestroyResult(int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY: return aErrBusy;
    case EAGAIN: return aErrResource;
    default: return aErrUnknown;
  }
}

}  // namespace

extern "C" {

aMutexRef aMutex_Create(const char* name) {
  if (!name) name = "";
  size_t length = strnlen(name, aMUTEX_NAME_MAX + 1);
  if (length > aMUTEX_NAME_MAX) return NULL;
  aMutexRef mutex = static_cast<aMutexRef>(calloc(1, sizeof(aMutexRecord)));
  if (!mutex) return NULL;
  /* Error-checking, so that locking twice from one thread reports instead of
   * hanging, and an unlock by a thread that does not hold it is refused. */
  pthread_mutexattr_t attributes;
  int rc = pthread_mutexattr_init(&attributes);
  if (rc == 0) {
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    rc = pthread_mutex_init(&mutex->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  if (rc != 0) {
    free(mutex);
    return NULL;
  }
  memcpy(mutex->name, name, length);
  mutex->name[length] = '\0';
  return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex) { return mutex ? mutex->name : ""; }

aErr aMutex_Lock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return sLockResult(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return sTryLockResult(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return sUnlockResult(pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutexRef* mutex) {
  if (!mutex || !*mutex) return aErrParam;
  aErr err = sDestroyResult(pthread_mutex_destroy(&(*mutex)->mutex));
  free(*mutex);
  *mutex = NULL;
  return err;
}

}  // extern "C"
