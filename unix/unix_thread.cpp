#include "unix_thread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

struct aThreadRecord {
  pthread_t thread;
};

extern "C" {

aThreadRef aThread_Create(aThreadProc function, void* argument) {
  if (!function) return NULL;
  aThreadRef thread = static_cast<aThreadRef>(calloc(1, sizeof(aThreadRecord)));
  if (!thread) return NULL;
  if (pthread_create(&thread->thread, NULL, function, argument) != 0) {
    free(thread);
    return NULL;
  }
  return thread;
}

int aThread_Destroy(aThreadRef* thread) {
  if (!thread || !*thread) return EINVAL;
  int rc;
  if (pthread_equal((*thread)->thread, pthread_self())) {
    /* A thread cannot wait for itself; let it clean up when it ends. */
    pthread_detach((*thread)->thread);
    rc = EDEADLK;
  } else {
    rc = pthread_join((*thread)->thread, NULL);
  }
  free(*thread);
  *thread = NULL;
  return rc;
}

void aThread_Yield(void) { usleep(5); }

}  // extern "C"
