#include "unit/unit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/monotonic.h"

namespace halvorpin {

Status lock_unit(const char* path, int wait_seconds, UniqueFd& lock) {
  lock.reset(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat st {};
  if (!lock.valid() || ::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    lock.reset();
    return Status(Code::kLockUnusable, path);
  }
  const double deadline = monotonic_seconds() + wait_seconds;
  for (;;) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return {};
    if (errno == EINTR) continue;  // asked again at once: no one holds it yet
    if (errno != EWOULDBLOCK) break;
    if (wait_seconds != kLockWaitUnbounded && monotonic_seconds() >= deadline) {
      lock.reset();
      return Status(Code::kLockTimeout, path);
    }
    timespec pause{0, 100L * 1000 * 1000};
    (void)::nanosleep(&pause, nullptr);
  }
  lock.reset();
  return Status(Code::kLockUnusable, path);
}

}  // namespace halvorpin
