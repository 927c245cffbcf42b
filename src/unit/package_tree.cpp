#include "unit/package_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "base/owned.h"

namespace halvorpin {
namespace {

constexpr int kMaxDepth = 64;
constexpr mode_t kUnsafeBits = S_ISUID | S_ISGID | S_IWGRP | S_IWOTH;

bool link_ok(int dir_fd, const char* name, int depth) {
  char target[4096];
  ssize_t n = ::readlinkat(dir_fd, name, target, sizeof target - 1);
  if (n < 0) return false;
  target[n] = '\0';
  return link_stays_inside(target, depth);
}

bool secure_entry(int dir_fd, const char* name, int depth);

// `fd` is consumed.
bool secure_directory(int fd, int depth) {
  DirPtr dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return false;
  }
  while (dirent* entry = ::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!secure_entry(::dirfd(dir.get()), entry->d_name, depth)) return false;
  }
  return true;
}

bool secure_entry(int dir_fd, const char* name, int depth) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != ::geteuid()) {
    return false;
  }
  if (S_ISLNK(st.st_mode)) return link_ok(dir_fd, name, depth);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & kUnsafeBits) != 0 &&
      ::fchmodat(dir_fd, name, st.st_mode & 07777 & ~kUnsafeBits, 0) != 0) {
    return false;
  }
  if (S_ISREG(st.st_mode)) return true;
  if (depth >= kMaxDepth) return false;
  int child = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return child >= 0 && secure_directory(child, depth + 1);
}

}  // namespace

bool link_stays_inside(const char* target, int depth) {
  if (target[0] == '/' || target[0] == '\0') return false;
  bool named = false;  // a name was passed: no ".." may follow
  for (const char* part = target; *part != '\0';) {
    std::size_t length = std::strcspn(part, "/");
    if (length == 2 && part[0] == '.' && part[1] == '.') {
      if (named || --depth < 0) return false;
    } else if (!(length == 0 || (length == 1 && part[0] == '.'))) {
      named = true;
    }
    part += length;
    if (*part == '/') ++part;
  }
  return true;
}

bool secure_package_tree(const char* root) {
  struct stat st {};
  if (::lstat(root, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & kUnsafeBits) != 0 && ::chmod(root, st.st_mode & 07777 & ~kUnsafeBits) != 0) {
    return false;
  }
  int fd = ::open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd >= 0 && secure_directory(fd, 0);
}

}  // namespace halvorpin
