/* Starts a musl program's clock at the epoch, as `faketime -f "@1970-01-01
 * 00:00:00"` does for glibc programs: Debian's libfaketime is built for
 * glibc and does nothing in a musl one. Loaded with LD_PRELOAD by the
 * end-to-end tests of the musl build (HALVORPIN_CLOCK_AT_EPOCH). The real
 * time clock runs on from 0 when the program started; the monotonic clocks
 * stay as they are, like faketime with DONT_FAKE_MONOTONIC. */
#define _GNU_SOURCE
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static struct timespec start;

static int real_clock(clockid_t clock, struct timespec *now) {
  return (int)syscall(SYS_clock_gettime, clock, now);
}

__attribute__((constructor)) static void remember_start(void) {
  (void)real_clock(CLOCK_REALTIME, &start);
}

int clock_gettime(clockid_t clock, struct timespec *now) {
  if (real_clock(clock, now) != 0) return -1;
  if (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) {
    now->tv_sec -= start.tv_sec;
    now->tv_nsec -= start.tv_nsec;
    if (now->tv_nsec < 0) {
      now->tv_nsec += 1000000000L;
      now->tv_sec--;
    }
  }
  return 0;
}

time_t time(time_t *result) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return (time_t)-1;
  if (result != NULL) *result = now.tv_sec;
  return now.tv_sec;
}

int gettimeofday(struct timeval *restrict now, void *restrict zone) {
  struct timespec exact;
  (void)zone;
  if (clock_gettime(CLOCK_REALTIME, &exact) != 0) return -1;
  if (now != NULL) {
    now->tv_sec = exact.tv_sec;
    now->tv_usec = (suseconds_t)(exact.tv_nsec / 1000);
  }
  return 0;
}
