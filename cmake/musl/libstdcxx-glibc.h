/* Read before every C++ source of the musl build (-include). Debian's C++
 * library headers were configured for glibc; these few glibc names let them
 * compile against musl's headers. The client itself uses only their header
 * code; the unit tests also link Debian's static C++ library, whose objects
 * expect the same names (cmake/musl/libstdcxx-glibc.c provides them). */
#ifndef HALVORPIN_LIBSTDCXX_GLIBC_H
#define HALVORPIN_LIBSTDCXX_GLIBC_H

#include <locale.h>
#include <pthread.h>
#include <time.h>

/* bits/os_defines.h asks for glibc's version: answer as a current glibc,
 * whose thread and math interfaces musl has as well. */
#define __GLIBC_PREREQ(major, minor) 1

/* bits/c++locale.h names the locale type by glibc's internal name. */
typedef locale_t __locale_t;

/* bits/ctype_base.h takes its classes from glibc's character table bits
 * (little-endian layout, as the library's objects were built with). */
#define _ISbit(bit) ((bit) < 8 ? ((1 << (bit)) << 8) : ((1 << (bit)) >> 8))
enum {
  _ISupper = _ISbit(0),
  _ISlower = _ISbit(1),
  _ISalpha = _ISbit(2),
  _ISdigit = _ISbit(3),
  _ISxdigit = _ISbit(4),
  _ISspace = _ISbit(5),
  _ISprint = _ISbit(6),
  _ISgraph = _ISbit(7),
  _ISblank = _ISbit(8),
  _IScntrl = _ISbit(9),
  _ISpunct = _ISbit(10),
  _ISalnum = _ISbit(11)
};

/* Declared for the library's inline timed waits (glibc 2.30 and later). */
#ifdef __cplusplus
extern "C" {
#endif
int pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
int pthread_mutex_clocklock(pthread_mutex_t*, clockid_t, const struct timespec*);
int pthread_rwlock_clockrdlock(pthread_rwlock_t*, clockid_t, const struct timespec*);
int pthread_rwlock_clockwrlock(pthread_rwlock_t*, clockid_t, const struct timespec*);
#ifdef __cplusplus
}
#endif

#endif
