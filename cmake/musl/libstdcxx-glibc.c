/* The glibc names that Debian's static C++ library (libstdc++.a) and
 * unwinder (libgcc_eh.a) take from the C library, for the unit tests of the
 * musl build: GoogleTest needs the C++ library, and Debian builds that
 * against glibc only. The client itself links none of it.
 *
 * The library reads its character tables straight out of glibc's locale
 * structure, so it is handed a glibc-shaped "C" locale here, and every
 * function that takes such a locale works in musl's current locale, which a
 * test program never changes from "C". Other locales are refused, as on a
 * system without them. */
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <langinfo.h>
#include <link.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <wchar.h>
#include <wctype.h>

/* glibc 2.32: whether the process is known to have one thread. "No" is
 * always safe: the library then uses atomic reference counts. */
char __libc_single_threaded = 0;

/* glibc 2.36, for std::random_device. */
uint32_t arc4random(void) {
  uint32_t value;
  while (getrandom(&value, sizeof value, 0) != (ssize_t)sizeof value) {
  }
  return value;
}

/* glibc 2.35: the unwinder finds the loaded object and its exception frame
 * header for a code address through this; musl offers dl_iterate_phdr. */
struct dl_find_object {
  unsigned long long dlfo_flags;
  void *dlfo_map_start;
  void *dlfo_map_end;
  struct link_map *dlfo_link_map;
  void *dlfo_eh_frame;
  unsigned long long __dlfo_reserved[7];
};

struct object_query {
  uintptr_t pc;
  struct dl_find_object *result;
};

static int find_object(struct dl_phdr_info *info, size_t size, void *data) {
  struct object_query *query = data;
  uintptr_t start = UINTPTR_MAX, end = 0;
  void *eh_frame = NULL;
  int holds_pc = 0;
  (void)size;
  for (size_t i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
    uintptr_t from = info->dlpi_addr + segment->p_vaddr;
    if (segment->p_type == PT_LOAD) {
      uintptr_t to = from + segment->p_memsz;
      if (query->pc >= from && query->pc < to) holds_pc = 1;
      if (from < start) start = from;
      if (to > end) end = to;
    } else if (segment->p_type == PT_GNU_EH_FRAME) {
      eh_frame = (void *)from;
    }
  }
  if (!holds_pc) return 0;
  memset(query->result, 0, sizeof *query->result);
  query->result->dlfo_map_start = (void *)start;
  query->result->dlfo_map_end = (void *)end;
  query->result->dlfo_eh_frame = eh_frame;
  return 1;
}

int _dl_find_object(void *pc, struct dl_find_object *result) {
  struct object_query query = {(uintptr_t)pc, result};
  return dl_iterate_phdr(find_object, &query) ? 0 : -1;
}

/* glibc 2.30 timed waits on a chosen clock. musl's waits take a
 * CLOCK_REALTIME deadline: a monotonic one is moved onto that clock. */
static struct timespec on_realtime(clockid_t clock, const struct timespec *deadline) {
  struct timespec now_clock, now_real, result;
  if (clock == CLOCK_REALTIME) return *deadline;
  clock_gettime(clock, &now_clock);
  clock_gettime(CLOCK_REALTIME, &now_real);
  result.tv_sec = now_real.tv_sec + (deadline->tv_sec - now_clock.tv_sec);
  result.tv_nsec = now_real.tv_nsec + (deadline->tv_nsec - now_clock.tv_nsec);
  while (result.tv_nsec < 0) result.tv_nsec += 1000000000L, result.tv_sec--;
  while (result.tv_nsec >= 1000000000L) result.tv_nsec -= 1000000000L, result.tv_sec++;
  return result;
}

int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const struct timespec *deadline) {
  struct timespec real = on_realtime(clock, deadline);
  return pthread_cond_timedwait(cond, mutex, &real);
}

int pthread_mutex_clocklock(pthread_mutex_t *mutex, clockid_t clock,
                            const struct timespec *deadline) {
  struct timespec real = on_realtime(clock, deadline);
  return pthread_mutex_timedlock(mutex, &real);
}

int pthread_rwlock_clockrdlock(pthread_rwlock_t *lock, clockid_t clock,
                               const struct timespec *deadline) {
  struct timespec real = on_realtime(clock, deadline);
  return pthread_rwlock_timedrdlock(lock, &real);
}

int pthread_rwlock_clockwrlock(pthread_rwlock_t *lock, clockid_t clock,
                               const struct timespec *deadline) {
  struct timespec real = on_realtime(clock, deadline);
  return pthread_rwlock_timedwrlock(lock, &real);
}

/* glibc's struct __locale_struct, as the library's objects read it. */
struct glibc_locale {
  void *data[13];
  const unsigned short *ctype_b;
  const int32_t *ctype_tolower;
  const int32_t *ctype_toupper;
  const char *names[13];
};

/* The "C" character tables, indexed from -128 (signed char) to 255. */
static unsigned short class_table[384];
static int32_t lower_table[384], upper_table[384];
static struct glibc_locale c_locale;
static pthread_once_t c_locale_once = PTHREAD_ONCE_INIT;

#define IS_BIT(bit) ((bit) < 8 ? ((1 << (bit)) << 8) : ((1 << (bit)) >> 8))

static void make_c_locale(void) {
  static const char *const c_name = "C";
  for (int i = 0; i < 384; i++) {
    int c = i - 128;
    unsigned short bits = 0;
    /* Bytes from 128 up (and as signed chars) have no class in "C". */
    if (c >= 0 && c < 128) {
      if (isupper(c)) bits |= IS_BIT(0);
      if (islower(c)) bits |= IS_BIT(1);
      if (isalpha(c)) bits |= IS_BIT(2);
      if (isdigit(c)) bits |= IS_BIT(3);
      if (isxdigit(c)) bits |= IS_BIT(4);
      if (isspace(c)) bits |= IS_BIT(5);
      if (isprint(c)) bits |= IS_BIT(6);
      if (isgraph(c)) bits |= IS_BIT(7);
      if (isblank(c)) bits |= IS_BIT(8);
      if (iscntrl(c)) bits |= IS_BIT(9);
      if (ispunct(c)) bits |= IS_BIT(10);
      if (isalnum(c)) bits |= IS_BIT(11);
    }
    class_table[i] = bits;
    lower_table[i] = c >= 0 && c < 128 ? tolower(c) : c;
    upper_table[i] = c >= 0 && c < 128 ? toupper(c) : c;
  }
  c_locale.ctype_b = class_table + 128;
  c_locale.ctype_tolower = lower_table + 128;
  c_locale.ctype_toupper = upper_table + 128;
  for (int i = 0; i < 13; i++) c_locale.names[i] = c_name;
}

static void *the_c_locale(void) {
  pthread_once(&c_locale_once, make_c_locale);
  return &c_locale;
}

static _Thread_local void *current_locale;

void *__newlocale(int categories, const char *name, void *base) {
  (void)categories;
  (void)base;
  if (name != NULL && name[0] != '\0' && strcmp(name, "C") != 0 && strcmp(name, "POSIX") != 0) {
    errno = ENOENT;
    return NULL;
  }
  return the_c_locale();
}

void *__duplocale(void *locale) {
  (void)locale;
  return the_c_locale();
}

void __freelocale(void *locale) { (void)locale; }

void *__uselocale(void *locale) {
  void *previous = current_locale != NULL ? current_locale : (void *)-1; /* LC_GLOBAL_LOCALE */
  if (locale != NULL) current_locale = locale;
  return previous;
}

int __strcoll_l(const char *a, const char *b, void *locale) {
  (void)locale;
  return strcoll(a, b);
}

size_t __strxfrm_l(char *to, const char *from, size_t size, void *locale) {
  (void)locale;
  return strxfrm(to, from, size);
}

int __wcscoll_l(const wchar_t *a, const wchar_t *b, void *locale) {
  (void)locale;
  return wcscoll(a, b);
}

size_t __wcsxfrm_l(wchar_t *to, const wchar_t *from, size_t size, void *locale) {
  (void)locale;
  return wcsxfrm(to, from, size);
}

char *__nl_langinfo_l(nl_item item, void *locale) {
  (void)locale;
  return nl_langinfo(item);
}

double __strtod_l(const char *text, char **end, void *locale) {
  (void)locale;
  return strtod(text, end);
}

float __strtof_l(const char *text, char **end, void *locale) {
  (void)locale;
  return strtof(text, end);
}

size_t __strftime_l(char *to, size_t size, const char *format, const struct tm *time,
                    void *locale) {
  (void)locale;
  return strftime(to, size, format, time);
}

size_t __wcsftime_l(wchar_t *to, size_t size, const wchar_t *format, const struct tm *time,
                    void *locale) {
  (void)locale;
  return wcsftime(to, size, format, time);
}

wint_t __towlower_l(wint_t c, void *locale) {
  (void)locale;
  return towlower(c);
}

wint_t __towupper_l(wint_t c, void *locale) {
  (void)locale;
  return towupper(c);
}

int __iswctype_l(wint_t c, wctype_t type, void *locale) {
  (void)locale;
  return iswctype(c, type);
}

wctype_t __wctype_l(const char *name, void *locale) {
  (void)locale;
  return wctype(name);
}
