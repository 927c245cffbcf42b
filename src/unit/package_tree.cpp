#include "unit/package_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/owned.h"

namespace halvorpin {
namespace {

constexpr int kMaxDepth = 64;
constexpr mode_t kUnsafeBits = S_ISUID | S_ISGID | S_IWGRP | S_IWOTH;
// Where users write, whatever their modes say on this system.
constexpr const char* kUserDirs[] = {"/tmp", "/var/tmp", "/dev/shm"};

bool in_user_dir(const std::string& path) {
  for (const char* dir : kUserDirs) {
    const std::size_t length = std::strlen(dir);
    if (path.compare(0, length, dir) == 0 && (path.size() == length || path[length] == '/')) {
      return true;
    }
  }
  return false;
}

// Every directory on the way to `target` (and the target itself), as the
// system resolves it now: none may be where users write. A part that does
// not exist yet can only be made by whoever may write its parent.
bool system_path_ok(const std::string& target) {
  char part[PATH_MAX];
  if (target.size() >= sizeof part) return false;
  std::memcpy(part, target.c_str(), target.size() + 1);
  for (std::size_t at = 1; at <= target.size(); ++at) {
    if (part[at] != '/' && part[at] != '\0') continue;
    const char kept = part[at];
    part[at] = '\0';  // the part up to here
    struct stat st {};
    char real[PATH_MAX];
    if (::stat(part, &st) != 0 || ::realpath(part, real) == nullptr) break;
    if ((S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0) || in_user_dir(real)) return false;
    part[at] = kept;
  }
  return true;
}

bool link_ok(int dir_fd, const char* name, int depth) {
  char target[4096];
  ssize_t n = ::readlinkat(dir_fd, name, target, sizeof target - 1);
  if (n < 0) return false;
  target[n] = '\0';
  if (target[0] != '/') return link_stays_inside(target, depth);
  const std::string clean = absolute_link_target(target);
  return !clean.empty() && system_path_ok(clean);
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

std::string absolute_link_target(const char* target) {
  if (target[0] != '/') return {};
  std::string clean;
  for (const char* part = target; *part != '\0';) {
    while (*part == '/') ++part;
    const std::size_t length = std::strcspn(part, "/");
    if (length == 2 && part[0] == '.' && part[1] == '.') return {};
    if (length > 0 && !(length == 1 && part[0] == '.')) clean.append("/").append(part, length);
    part += length;
  }
  if (clean.empty()) clean = "/";
  return in_user_dir(clean) ? std::string() : clean;
}

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
