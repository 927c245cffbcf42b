#include "unit/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/monotonic.h"
#include "base/owned.h"
#include "unit/child_process.h"

namespace halvorpin {
namespace {

constexpr int kMaxDepth = 64;        // directories open at once while removing
constexpr int kMaxFlattening = 256;  // passes, each lifting what lies deeper

// A tree being emptied: its top directory, the directories that lay deeper
// than kMaxDepth and were lifted up into it, to be removed next pass, and
// what may still be spent.
struct Removal {
  int top;
  RemovalBudget* budget;
  unsigned names_used = 0;  // "lifted.N" names are never used twice
  bool lifted = false;      // in this pass
};

bool empty_directory(int fd, int depth, Removal& removal);
bool empty_as_owner(int fd, const struct stat& st, RemovalBudget& budget);

// The directory `name` in `at`, for reading without following a link. A
// directory of ours that we may not read or search is opened up first.
int open_subdirectory(int at, const char* name) {
  int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES && ::fchmodat(at, name, 0700, 0) == 0) {
    fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  return fd;
}

// Removes the subdirectory `name` of the directory `at`: its contents as
// its owner, then the empty directory itself.
bool remove_subdirectory(int at, const char* name, int depth, Removal& removal) {
  if (depth <= 0) {
    // A rename moves a tree of any depth: deeper levels go up to the top,
    // to be removed in the next pass.
    const std::string lifted = "lifted." + std::to_string(removal.names_used++);
    removal.lifted = true;
    return ::renameat(at, name, removal.top, lifted.c_str()) == 0;
  }
  const int child = open_subdirectory(at, name);
  struct stat st {};
  if (child < 0 || ::fstat(child, &st) != 0) {
    if (child >= 0) ::close(child);
    return false;
  }
  bool emptied = false;
  if (st.st_uid == ::geteuid()) {
    emptied = empty_directory(child, depth - 1, removal);
  } else {
    emptied = empty_as_owner(child, st, *removal.budget);
    ::close(child);
  }
  return emptied && ::unlinkat(at, name, AT_REMOVEDIR) == 0;
}

// Removes everything inside the directory `fd` (consumed), never following
// a link, so that trees far deeper than kMaxDepth (to about kMaxDepth *
// kMaxFlattening levels) are removed while the descriptors open at once
// stay bounded.
bool empty_directory(int fd, int depth, Removal& removal) {
  DirPtr dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return false;
  }
  bool ok = true;
  while (dirent* entry = ::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!removal.budget->take()) return false;
    const int at = ::dirfd(dir.get());
    if (::unlinkat(at, name, 0) == 0) continue;
    if ((errno != EISDIR && errno != EPERM) || !remove_subdirectory(at, name, depth, removal)) {
      ok = false;
    }
  }
  return ok;
}

// Empties the directory `fd` (kept open) in passes until nothing had to be
// lifted, or the budget is spent.
bool empty_tree(int fd, RemovalBudget& budget) {
  // A directory its owner closed to itself is opened up again.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU) (void)::fchmod(fd, 0700);
  Removal removal{fd, &budget};
  for (int pass = 0; pass < kMaxFlattening && !budget.spent(); ++pass) {
    removal.lifted = false;
    // A description of its own each pass, so the listing starts afresh.
    const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return false;
    if (empty_directory(listing, kMaxDepth, removal) && !removal.lifted) return true;
  }
  return false;
}

struct OwnerWork {
  int fd;
  RemovalBudget* budget;
};

bool empty_tree_work(void* arg) {
  auto* work = static_cast<OwnerWork*>(arg);
  return empty_tree(work->fd, *work->budget);
}

// Empties the directory `fd` (of another user, `st`) in a child running as
// that user, waited for no longer than the budget allows.
bool empty_as_owner(int fd, const struct stat& st, RemovalBudget& budget) {
  if (budget.spent()) return false;
  OwnerWork work{fd, &budget};
  const pid_t pid = start_as_user(st.st_uid, st.st_gid, empty_tree_work, &work);
  return pid >= 0 && wait_for_exit_until(pid, budget.deadline()) == 0;
}

}  // namespace

RemovalBudget::RemovalBudget(double seconds, long entries)
    : deadline_(monotonic_seconds() + seconds), entries_(entries) {}

bool RemovalBudget::take() {
  if (spent()) return false;
  --entries_;
  return true;
}

bool RemovalBudget::spent() const { return entries_ <= 0 || monotonic_seconds() >= deadline_; }

bool remove_tree(const char* path, RemovalBudget& budget) {
  if (::unlink(path) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  UniqueFd top(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!top.valid() || ::fstat(top.get(), &st) != 0) return false;
  const bool emptied = st.st_uid == ::geteuid() ? empty_tree(top.get(), budget)
                                                : empty_as_owner(top.get(), st, budget);
  // The name is in a directory of ours: removing the empty directory from
  // it takes nothing from its owner.
  return emptied && ::rmdir(path) == 0;
}

bool remove_tree(const char* path) {
  RemovalBudget budget(kRemovalSeconds, kRemovalEntries);
  return remove_tree(path, budget);
}

}  // namespace halvorpin
