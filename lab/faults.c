/* A preload that counts the fallible C library calls of the process it is
 * loaded into, by kind, and fails the Nth call of one kind with a chosen
 * errno; every other call, and every later one of that kind, passes. Built
 * and driven by lab/faults.py; glibc only (it reaches glibc's own allocator
 * and stream flags).
 *
 *   HALVORPIN_FAULT_RECORD  a file of sizeof(struct record) bytes made by
 *                           the caller; the counts and the fault that fired
 *                           are kept in it, mapped shared, so they survive
 *                           any end of the process (_exit, a signal)
 *   HALVORPIN_FAULT         "KIND:N:ERRNO" to fail the Nth call of KIND, or
 *                           "KIND:N:ERRNO:PATH" the Nth of those that name
 *                           PATH (either name of a rename or link);
 *                           absent: count only
 *
 * Only the process the preload was loaded into counts: a child it forks
 * passes everything through (it has another pid), and the variables above
 * and LD_PRELOAD are taken out of the environment at load time, so the
 * programs it starts (gzip, tar, a start script) run without the preload.
 * Writes and reads of standard input, output and error are not counted:
 * they carry the messages the run is judged by. Nor are the allocations
 * glibc's name service makes inside getaddrinfo: glibc 2.36 asserts, or
 * deadlocks in the next lookup, when one of them fails (nss_database.c),
 * which no program can help. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

enum kind {
  K_OPEN,
  K_READ,
  K_WRITE,
  K_FSYNC,
  K_RENAME,
  K_LINK,
  K_UNLINK,
  K_MKDIR,
  K_CHMOD,
  K_TRUNCATE,
  K_FLOCK,
  K_MALLOC,
  K_FORK,
  K_PIPE,
  K_SOCKET,
  K_CONNECT,
  K_POLL,
  K_SOCKIO,
  K_COUNT
};

static const char *const kind_names[K_COUNT] = {
    "open",     "read",  "write",  "fsync", "rename", "link",   "unlink",  "mkdir", "chmod",
    "truncate", "flock", "malloc", "fork",  "pipe",   "socket", "connect", "poll",  "sockio"};

/* The shared record, read by lab/faults.py (same layout there). */
#define RECORD_MAGIC 0x746c7566u /* "fult" */
struct record {
  uint32_t magic;
  uint32_t fired; /* 1 once the fault was injected */
  uint64_t counts[K_COUNT];
  int32_t fired_errno;
  int32_t pad;
  uint64_t fired_offset;  /* the caller's address within fired_object */
  char fired_call[32];    /* the function that failed */
  char fired_object[200]; /* the file the caller's code lives in */
};

static struct record *record;
static pid_t own_pid;
static int fault_kind = -1;
static uint64_t fault_nth;
static int fault_errno;
static char fault_path[256]; /* empty: any call of the kind */
static uint64_t fault_matches;
static int in_name_service; /* inside getaddrinfo: allocations pass uncounted */

__attribute__((constructor)) static void faults_init(void) {
  const char *path = getenv("HALVORPIN_FAULT_RECORD");
  const char *fault = getenv("HALVORPIN_FAULT");
  if (path != NULL) {
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      void *map = mmap(NULL, sizeof *record, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (map != MAP_FAILED) record = map;
      syscall(SYS_close, fd);
    }
  }
  if (fault != NULL) {
    char name[32] = {0};
    unsigned long long nth = 0;
    int error = 0;
    if (sscanf(fault, "%31[a-z]:%llu:%d:%255s", name, &nth, &error, fault_path) >= 3) {
      for (int k = 0; k < K_COUNT; ++k) {
        if (strcmp(name, kind_names[k]) == 0) fault_kind = k;
      }
      fault_nth = nth;
      fault_errno = error;
    }
  }
  if (record != NULL) record->magic = RECORD_MAGIC;
  (void)unsetenv("LD_PRELOAD");
  (void)unsetenv("HALVORPIN_FAULT_RECORD");
  (void)unsetenv("HALVORPIN_FAULT");
  own_pid = getpid();
}

static int names_fault_path(const char *path, const char *other) {
  return (path != NULL && strcmp(path, fault_path) == 0) ||
         (other != NULL && strcmp(other, fault_path) == 0);
}

/* Counts a call of `kind` by `call` (naming `path` and `other`, or NULL);
 * true when this one is to fail, with errno set. Only the preloaded process
 * itself counts. */
static int fails_naming(int kind, const char *call, const void *caller, const char *path,
                        const char *other) {
  if (own_pid == 0 || record == NULL || getpid() != own_pid) return 0;
  uint64_t n = ++record->counts[kind];
  if (kind != fault_kind) return 0;
  if (fault_path[0] != '\0') {
    if (!names_fault_path(path, other)) return 0;
    n = ++fault_matches;
  }
  if (n != fault_nth) return 0;
  record->fired = 1;
  record->fired_errno = fault_errno;
  snprintf(record->fired_call, sizeof record->fired_call, "%s", call);
  Dl_info info;
  if (dladdr(caller, &info) != 0 && info.dli_fname != NULL) {
    snprintf(record->fired_object, sizeof record->fired_object, "%s", info.dli_fname);
    record->fired_offset = (uint64_t)((uintptr_t)caller - (uintptr_t)info.dli_fbase);
  }
  errno = fault_errno;
  return 1;
}

#define should_fail(kind, call, caller) fails_naming(kind, call, caller, NULL, NULL)
#define CALLER __builtin_return_address(0)
#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
/* The real function, looked up once. */
#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL) real_##name = NEXT(name)

/* A wrapper of `name` that fails it with `failed` when `test` says so. */
#define WRAP(type, name, params, args, failed, test) \
  type name params {                                 \
    REAL(name);                                      \
    if (test) return failed;                         \
    return real_##name args;                         \
  }
/* Any call of `name` counts as one of `kind`. */
#define FAILS(type, name, params, args, failed, kind) \
  WRAP(type, name, params, args, failed, should_fail(kind, #name, CALLER))
/* A fault given a path fails only the calls that name it. */
#define FAILS_NAMING(type, name, params, args, failed, kind, path, other) \
  WRAP(type, name, params, args, failed, fails_naming(kind, #name, CALLER, path, other))

static int is_socket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

static int is_standard_stream(FILE *stream) {
  return stream == stdin || stream == stdout || stream == stderr;
}

/* A failed stream call leaves the stream's error indicator set, as a real
 * failure of its write or read would. */
static void mark_stream_failed(FILE *stream) { stream->_flags |= _IO_ERR_SEEN; }

/* ---- memory ---------------------------------------------------------- */

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *block, size_t size);

void *malloc(size_t size) {
  if (!in_name_service && should_fail(K_MALLOC, "malloc", CALLER)) return NULL;
  return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
  if (!in_name_service && should_fail(K_MALLOC, "calloc", CALLER)) return NULL;
  return __libc_calloc(n, size);
}

void *realloc(void *block, size_t size) {
  if (!in_name_service && size != 0 && should_fail(K_MALLOC, "realloc", CALLER)) return NULL;
  return __libc_realloc(block, size);
}

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **result) {
  REAL(getaddrinfo);
  ++in_name_service;
  int status = real_getaddrinfo(node, service, hints, result);
  --in_name_service;
  return status;
}

/* ---- opening --------------------------------------------------------- */

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

/* The open family takes a mode only when it creates. */
#define OPENS(name, params, args)                                   \
  int name params {                                                 \
    REAL(name);                                                     \
    va_list more;                                                   \
    va_start(more, flags);                                          \
    mode_t mode = mode_argument(flags, more);                       \
    va_end(more);                                                   \
    if (fails_naming(K_OPEN, #name, CALLER, path, NULL)) return -1; \
    return real_##name args;                                        \
  }

OPENS(open, (const char *path, int flags, ...), (path, flags, mode))
OPENS(open64, (const char *path, int flags, ...), (path, flags, mode))
OPENS(openat, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))
OPENS(openat64, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))

FAILS_NAMING(FILE *, fopen, (const char *path, const char *mode), (path, mode), NULL, K_OPEN, path,
             NULL)

FAILS_NAMING(FILE *, fopen64, (const char *path, const char *mode), (path, mode), NULL, K_OPEN,
             path, NULL)

FAILS_NAMING(DIR *, opendir, (const char *path), (path), NULL, K_OPEN, path, NULL)

FAILS(int, mkostemp, (char *template, int flags), (template, flags), -1, K_OPEN)

FAILS(int, mkstemp, (char *template), (template), -1, K_OPEN)

/* ---- reading and writing: files, and sockets as their own kind --------- */

static int io_kind(int fd, int file_kind) { return is_socket(fd) ? K_SOCKIO : file_kind; }

WRAP(ssize_t, read, (int fd, void *buffer, size_t length), (fd, buffer, length), -1,
     fd > 2 && should_fail(io_kind(fd, K_READ), "read", CALLER))

FAILS(ssize_t, pread, (int fd, void *buffer, size_t length, off_t offset),
      (fd, buffer, length, offset), -1, K_READ)

FAILS(ssize_t, pread64, (int fd, void *buffer, size_t length, off64_t offset),
      (fd, buffer, length, offset), -1, K_READ)

WRAP(ssize_t, write, (int fd, const void *buffer, size_t length), (fd, buffer, length), -1,
     fd > 2 && should_fail(io_kind(fd, K_WRITE), "write", CALLER))

FAILS(ssize_t, pwrite, (int fd, const void *buffer, size_t length, off_t offset),
      (fd, buffer, length, offset), -1, K_WRITE)

FAILS(ssize_t, pwrite64, (int fd, const void *buffer, size_t length, off64_t offset),
      (fd, buffer, length, offset), -1, K_WRITE)

size_t fread(void *buffer, size_t size, size_t n, FILE *stream) {
  REAL(fread);
  if (!is_standard_stream(stream) && should_fail(K_READ, "fread", CALLER)) {
    mark_stream_failed(stream);
    return 0;
  }
  return real_fread(buffer, size, n, stream);
}

char *fgets(char *buffer, int size, FILE *stream) {
  REAL(fgets);
  if (!is_standard_stream(stream) && should_fail(K_READ, "fgets", CALLER)) {
    mark_stream_failed(stream);
    return NULL;
  }
  return real_fgets(buffer, size, stream);
}

size_t fwrite(const void *buffer, size_t size, size_t n, FILE *stream) {
  REAL(fwrite);
  if (!is_standard_stream(stream) && should_fail(K_WRITE, "fwrite", CALLER)) {
    mark_stream_failed(stream);
    return 0;
  }
  return real_fwrite(buffer, size, n, stream);
}

int fflush(FILE *stream) {
  REAL(fflush);
  if (stream != NULL && !is_standard_stream(stream) && __fwriting(stream) &&
      should_fail(K_WRITE, "fflush", CALLER)) {
    mark_stream_failed(stream);
    return EOF;
  }
  return real_fflush(stream);
}

int fclose(FILE *stream) {
  REAL(fclose);
  if (!is_standard_stream(stream) && __fwriting(stream) && should_fail(K_WRITE, "fclose", CALLER)) {
    /* The stream goes all the same, as after a failed flush. */
    int error = errno;
    (void)real_fclose(stream);
    errno = error;
    return EOF;
  }
  return real_fclose(stream);
}

FAILS(ssize_t, send, (int fd, const void *buffer, size_t length, int flags),
      (fd, buffer, length, flags), -1, K_SOCKIO)

FAILS(ssize_t, recv, (int fd, void *buffer, size_t length, int flags), (fd, buffer, length, flags),
      -1, K_SOCKIO)

FAILS(ssize_t, sendto,
      (int fd, const void *buffer, size_t length, int flags, const struct sockaddr *to,
       socklen_t to_length),
      (fd, buffer, length, flags, to, to_length), -1, K_SOCKIO)

FAILS(ssize_t, recvfrom,
      (int fd, void *buffer, size_t length, int flags, struct sockaddr *from,
       socklen_t *from_length),
      (fd, buffer, length, flags, from, from_length), -1, K_SOCKIO)

FAILS(ssize_t, sendmsg, (int fd, const struct msghdr *message, int flags), (fd, message, flags), -1,
      K_SOCKIO)

FAILS(ssize_t, recvmsg, (int fd, struct msghdr *message, int flags), (fd, message, flags), -1,
      K_SOCKIO)

WRAP(ssize_t, writev, (int fd, const struct iovec *pieces, int count), (fd, pieces, count), -1,
     fd > 2 && should_fail(io_kind(fd, K_WRITE), "writev", CALLER))

WRAP(ssize_t, readv, (int fd, const struct iovec *pieces, int count), (fd, pieces, count), -1,
     fd > 2 && should_fail(io_kind(fd, K_READ), "readv", CALLER))

/* ---- durability and names -------------------------------------------- */

FAILS(int, fsync, (int fd), (fd), -1, K_FSYNC)

FAILS(int, fdatasync, (int fd), (fd), -1, K_FSYNC)

FAILS_NAMING(int, rename, (const char *from, const char *to), (from, to), -1, K_RENAME, from, to)

FAILS_NAMING(int, renameat, (int from_dir, const char *from, int to_dir, const char *to),
             (from_dir, from, to_dir, to), -1, K_RENAME, from, to)

FAILS_NAMING(int, renameat2,
             (int from_dir, const char *from, int to_dir, const char *to, unsigned flags),
             (from_dir, from, to_dir, to, flags), -1, K_RENAME, from, to)

/* A C library without the renameat2 wrapper leaves a program the system
 * call itself: that one rename is counted here, everything else passes. */
long syscall(long number, ...) {
  REAL(syscall);
  va_list args;
  va_start(args, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
  va_end(args);
  if (number == SYS_renameat2 &&
      fails_naming(K_RENAME, "renameat2", CALLER, (const char *)a[1], (const char *)a[3])) {
    return -1;
  }
  return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

FAILS_NAMING(int, link, (const char *from, const char *to), (from, to), -1, K_LINK, from, to)

FAILS_NAMING(int, linkat, (int from_dir, const char *from, int to_dir, const char *to, int flags),
             (from_dir, from, to_dir, to, flags), -1, K_LINK, from, to)

FAILS_NAMING(int, unlink, (const char *path), (path), -1, K_UNLINK, path, NULL)

FAILS_NAMING(int, unlinkat, (int dir, const char *path, int flags), (dir, path, flags), -1,
             K_UNLINK, path, NULL)

FAILS_NAMING(int, remove, (const char *path), (path), -1, K_UNLINK, path, NULL)

FAILS_NAMING(int, rmdir, (const char *path), (path), -1, K_UNLINK, path, NULL)

FAILS_NAMING(int, mkdir, (const char *path, mode_t mode), (path, mode), -1, K_MKDIR, path, NULL)

FAILS_NAMING(int, mkdirat, (int dir, const char *path, mode_t mode), (dir, path, mode), -1, K_MKDIR,
             path, NULL)

FAILS(char *, mkdtemp, (char *template), (template), NULL, K_MKDIR)

FAILS_NAMING(int, chmod, (const char *path, mode_t mode), (path, mode), -1, K_CHMOD, path, NULL)

FAILS(int, fchmod, (int fd, mode_t mode), (fd, mode), -1, K_CHMOD)

FAILS_NAMING(int, fchmodat, (int dir, const char *path, mode_t mode, int flags),
             (dir, path, mode, flags), -1, K_CHMOD, path, NULL)

FAILS_NAMING(int, chown, (const char *path, uid_t uid, gid_t gid), (path, uid, gid), -1, K_CHMOD,
             path, NULL)

FAILS(int, fchown, (int fd, uid_t uid, gid_t gid), (fd, uid, gid), -1, K_CHMOD)

FAILS_NAMING(int, lchown, (const char *path, uid_t uid, gid_t gid), (path, uid, gid), -1, K_CHMOD,
             path, NULL)

FAILS_NAMING(int, fchownat, (int dir, const char *path, uid_t uid, gid_t gid, int flags),
             (dir, path, uid, gid, flags), -1, K_CHMOD, path, NULL)

FAILS_NAMING(int, truncate, (const char *path, off_t length), (path, length), -1, K_TRUNCATE, path,
             NULL)

FAILS(int, ftruncate, (int fd, off_t length), (fd, length), -1, K_TRUNCATE)

FAILS(int, fallocate, (int fd, int mode, off_t offset, off_t length), (fd, mode, offset, length),
      -1, K_TRUNCATE)

FAILS(int, flock, (int fd, int operation), (fd, operation), -1, K_FLOCK)

/* ---- processes, pipes, sockets, waits --------------------------------- */

FAILS(pid_t, fork, (void), (), -1, K_FORK)

pid_t vfork(void) {
  /* vfork's child shares the caller's stack: fork does the same job here. */
  return fork();
}

WRAP(int, posix_spawn,
     (pid_t * pid, const char *path, const posix_spawn_file_actions_t *actions,
      const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]),
     (pid, path, actions, attributes, argv, envp), errno,
     should_fail(K_FORK, "posix_spawn", CALLER))

WRAP(int, posix_spawnp,
     (pid_t * pid, const char *file, const posix_spawn_file_actions_t *actions,
      const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]),
     (pid, file, actions, attributes, argv, envp), errno,
     should_fail(K_FORK, "posix_spawnp", CALLER))

FAILS(int, pipe, (int ends[2]), (ends), -1, K_PIPE)

FAILS(int, pipe2, (int ends[2], int flags), (ends, flags), -1, K_PIPE)

FAILS(int, socket, (int domain, int type, int protocol), (domain, type, protocol), -1, K_SOCKET)

int connect(int fd, const struct sockaddr *address, socklen_t length) {
  REAL(connect);
  if (should_fail(K_CONNECT, "connect", CALLER)) {
    /* An interrupted connect goes on in the background, as the kernel's
     * does; any other failure leaves the socket unconnected. */
    int error = errno;
    if (error == EINTR) (void)real_connect(fd, address, length);
    errno = error;
    return -1;
  }
  return real_connect(fd, address, length);
}

FAILS(int, poll, (struct pollfd * fds, nfds_t n, int timeout), (fds, n, timeout), -1, K_POLL)

FAILS(int, ppoll,
      (struct pollfd * fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask),
      (fds, n, timeout, mask), -1, K_POLL)

FAILS(int, select,
      (int n, fd_set *readable, fd_set *writable, fd_set *failed, struct timeval *timeout),
      (n, readable, writable, failed, timeout), -1, K_POLL)
