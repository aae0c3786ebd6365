/* Native threads: start, join, yield. */
#ifndef QUILLOMAT_UNIX_THREAD_H
#define QUILLOMAT_UNIX_THREAD_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void* (*aThreadProc)(void* argument);

typedef struct aThreadRecord aThreadRecord;
typedef aThreadRecord* aThreadRef;

/* Starts `function(argument)` on a new thread; null when it cannot start. */
aThreadRef aThread_Create(aThreadProc function, void* argument);

/* Waits for the thread to end, frees the handle and nulls *thread. Returns
 * the native join result: 0 on success, an errno value otherwise (EINVAL
 * for a null handle). */
int aThread_Destroy(aThreadRef* thread);

/* Gives up the processor for a moment (5 microseconds). */
void aThread_Yield(void);

#ifdef __cplusplus
}
#endif

#endif
