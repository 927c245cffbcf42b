#include "unit/unit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/monotonic.h"

namespace halvorpin {

UniqueFd lock_unit(const char* path, int wait_seconds) {
  UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "Unable to lock %s\n", path);
    return UniqueFd();
  }
  const double deadline = monotonic_seconds() + wait_seconds;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (monotonic_seconds() >= deadline) {
      std::fprintf(stderr, "Another run holds %s; gave up after %d seconds\n", path, wait_seconds);
      return UniqueFd();
    }
    timespec pause{0, 100L * 1000 * 1000};
    (void)::nanosleep(&pause, nullptr);
  }
  std::fprintf(stderr, "Unable to lock %s\n", path);
  return UniqueFd();
}

}  // namespace halvorpin
