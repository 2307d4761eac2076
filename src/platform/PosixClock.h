// Milliseconds on the monotonic clock, for POSIX code: the clock behind
// Platform_GetTickCount64 and the real clock a simulated unit plays on.
#ifndef POSIXCLOCK_H
#define POSIXCLOCK_H

#include <stdint.h>
#include <time.h>

// From an arbitrary start, never going back.
inline uint64_t posixMonotonicMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

#endif
