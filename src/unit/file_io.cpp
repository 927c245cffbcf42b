#include "unit/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace halvorpin {
namespace {

constexpr int kMaxDepth = 64;        // directories open at once while removing
constexpr int kMaxFlattening = 256;  // passes, each lifting what lies deeper

// A tree being removed: its top directory, and the directories that lay
// deeper than kMaxDepth and were lifted up into it, to be removed next pass.
struct Removal {
  int top;
  unsigned names_used = 0;  // "lifted.N" names are never used twice
  bool lifted = false;      // in this pass
};

// Removes everything inside the directory `fd` (consumed), never following
// a link. A directory deeper than kMaxDepth is moved up into the top
// directory instead (a rename moves a tree of any depth) for the next pass,
// so trees far deeper than kMaxDepth (to about kMaxDepth * kMaxFlattening
// levels) are removed while the descriptors open at once stay bounded.
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
    int at = ::dirfd(dir.get());
    if (::unlinkat(at, name, 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      ok = false;
      continue;
    }
    if (depth <= 0) {
      const std::string lifted = "lifted." + std::to_string(removal.names_used++);
      if (::renameat(at, name, removal.top, lifted.c_str()) != 0) ok = false;
      removal.lifted = true;
      continue;
    }
    int child = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0 || !empty_directory(child, depth - 1, removal) ||
        ::unlinkat(at, name, AT_REMOVEDIR) != 0) {
      ok = false;
    }
  }
  return ok;
}

}  // namespace

UniqueFd open_regular_file(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  return fd;
}

UniqueFd create_fresh_file(const char* path, mode_t mode) {
  if (::unlink(path) != 0 && errno != ENOENT) return UniqueFd();
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  // The umask must not decide who may read what root writes here.
  if (fd.valid() && ::fchmod(fd.get(), mode) != 0) return UniqueFd();
  return fd;
}

namespace {

FilePtr stream_on(UniqueFd fd, const char* mode) {
  FilePtr stream(fd.valid() ? ::fdopen(fd.get(), mode) : nullptr);
  if (stream) (void)fd.release();
  return stream;
}

}  // namespace

FilePtr open_regular_stream(const char* path) { return stream_on(open_regular_file(path), "r"); }

FilePtr create_fresh_stream(const char* path, mode_t mode) {
  return stream_on(create_fresh_file(path, mode), "w");
}

bool write_all(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void sync_directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  std::string dir = slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) (void)::fsync(fd.get());
}

UniqueFd create_temp_beside(const char* final_path, mode_t mode, std::string& name) {
  name = std::string(final_path) + ".XXXXXX";
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.valid() && ::fchmod(fd.get(), mode) != 0) {
    (void)::unlink(name.c_str());
    return UniqueFd();
  }
  return fd;
}

bool commit_temp_file(UniqueFd fd, const std::string& temp, const char* path) {
  bool ok = ::fsync(fd.get()) == 0;
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path) != 0) {
    (void)::unlink(temp.c_str());
    return false;
  }
  sync_directory_of(path);
  return true;
}

bool write_file_atomic(const char* path, const std::string& data, mode_t mode) {
  std::string temp;
  UniqueFd fd = create_temp_beside(path, mode, temp);
  if (!fd.valid()) return false;
  if (!write_all(fd.get(), data.data(), data.size())) {
    (void)::unlink(temp.c_str());
    return false;
  }
  return commit_temp_file(std::move(fd), temp, path);
}

long read_file_prefix(const char* path, void* out, std::size_t capacity) {
  UniqueFd fd = open_regular_file(path);
  if (!fd.valid()) return -1;
  auto* bytes = static_cast<char*>(out);
  std::size_t total = 0;
  while (total < capacity) {
    ssize_t n = ::read(fd.get(), bytes + total, capacity - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  return static_cast<long>(total);
}

bool read_small_file(const char* path, std::size_t limit, std::string& out) {
  out.assign(limit + 1, '\0');
  long n = read_file_prefix(path, out.data(), limit + 1);
  if (n < 0 || static_cast<std::size_t>(n) > limit) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

bool remove_tree(const char* path) {
  if (::unlink(path) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  UniqueFd top(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!top.valid()) return false;
  bool emptied = false;
  Removal removal{top.get()};
  for (int pass = 0; pass < kMaxFlattening && !emptied; ++pass) {
    removal.lifted = false;
    // A description of its own each pass, so the listing starts afresh.
    int fd = ::openat(top.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // Until nothing had to be lifted, another pass finds more to remove.
    emptied = empty_directory(fd, kMaxDepth, removal) && !removal.lifted;
  }
  return ::rmdir(path) == 0;
}

}  // namespace halvorpin
