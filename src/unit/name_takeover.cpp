#include "unit/name_takeover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/owned.h"

namespace halvorpin {
namespace {

constexpr int kTakeRounds = 8;
constexpr unsigned kRenameExchange = 1U << 1;  // RENAME_EXCHANGE of <linux/fs.h>

// What a plain rename could not replace: a directory that is not empty, or
// an object of the other kind.
bool holder_in_the_way(int error) {
  return error == EISDIR || error == ENOTEMPTY || error == EEXIST || error == ENOTDIR;
}

bool is_our_directory(const char* path) {
  struct stat st {};
  return ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

Exchange exchange_names(const char* a, const char* b) {
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, kRenameExchange) == 0) {
    return Exchange::kDone;
  }
  return errno == ENOSYS || errno == EINVAL ? Exchange::kUnsupported : Exchange::kFailed;
#else
  (void)a;
  (void)b;
  errno = ENOSYS;
  return Exchange::kUnsupported;
#endif
}

bool move_aside(const char* path, const char* aside_stem) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return errno == ENOENT;
  char aside[PATH_MAX];
  char moved[PATH_MAX];
  const char* slash = std::strrchr(path, '/');
  if (std::snprintf(aside, sizeof aside, "%s.XXXXXX", aside_stem) >= PATH_MAX ||
      ::mkdtemp(aside) == nullptr ||
      std::snprintf(moved, sizeof moved, "%s/%s", aside, slash != nullptr ? slash + 1 : path) >=
          PATH_MAX) {
    return false;
  }
  // Inside a directory just made, the new name is free: the rename cannot
  // land on anything, and it moves a tree of any depth in one step.
  if (::rename(path, moved) == 0 || errno == ENOENT) return true;
  (void)::rmdir(aside);
  return false;
}

bool empty_into(const char* dir, const char* stash) {
  if (::mkdir(stash, 0700) != 0 && errno != EEXIST) return false;
  UniqueFd from(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd to(::open(stash, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!from.valid() || !to.valid() || ::fstat(from.get(), &st) != 0 || st.st_uid != ::geteuid()) {
    return false;
  }
  const int listing_fd = ::openat(from.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DirPtr listing(listing_fd >= 0 ? ::fdopendir(listing_fd) : nullptr);
  if (!listing) {
    if (listing_fd >= 0) ::close(listing_fd);
    return false;
  }
  bool ok = true;
  while (const dirent* entry = ::readdir(listing.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (::renameat(from.get(), name, to.get(), name) != 0) ok = false;
  }
  return ok;
}

Taken take_name(const char* ours, const char* name, const char* aside_stem, bool keep_ours) {
  for (int round = 0; round < kTakeRounds; ++round) {
    if (::rename(ours, name) == 0) return Taken::kPlaced;
    if (!holder_in_the_way(errno)) return Taken::kFailed;
    const Exchange exchanged = exchange_names(ours, name);
    if (exchanged == Exchange::kDone) return Taken::kExchanged;
    if (exchanged == Exchange::kFailed) {
      if (errno == ENOENT) continue;  // the holder went meanwhile
      return Taken::kFailed;
    }
    // No exchange here: anything but our own directory goes aside, and the
    // name stands free until the rename.
    if (keep_ours && is_our_directory(name)) return Taken::kOursInTheWay;
    if (!move_aside(name, aside_stem)) return Taken::kFailed;
  }
  return Taken::kFailed;
}

}  // namespace halvorpin
