#include "unix_time.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>

namespace {

/* The native microsecond sleep is never given a whole second. */
constexpr uint64_t kSliceMicroseconds = 999999;

void sSleepMicroseconds(uint64_t microseconds) {
  struct timespec wanted;
  wanted.tv_sec = static_cast<time_t>(microseconds / 1000000);
  wanted.tv_nsec = static_cast<long>((microseconds % 1000000) * 1000);
  struct timespec left;
  /* A signal cuts a sleep short; sleep the rest. */
  while (nanosleep(&wanted, &left) != 0 && errno == EINTR) wanted = left;
}

}  // namespace

extern "C" {

uint64_t aTime_GetMSTicks(void) {
  struct timeval now;
  if (gettimeofday(&now, NULL) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

aErr aTime_MSSleep(uint64_t milliseconds) {
  const uint64_t limit = UINT64_MAX / 1000u;
  uint64_t remaining = (milliseconds > limit ? limit : milliseconds) * 1000u;
  while (remaining > 0) {
    uint64_t slice = remaining < kSliceMicroseconds ? remaining : kSliceMicroseconds;
    sSleepMicroseconds(slice);
    remaining -= slice;
  }
  return aErrNone;
}

}  // extern "C"
