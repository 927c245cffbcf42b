#include "unit/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace halvorpin {

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
  if (fd.valid() && ::fchmod(fd.get(), mode) != 0) {
    (void)::unlink(path);
    return UniqueFd();
  }
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

}  // namespace halvorpin
