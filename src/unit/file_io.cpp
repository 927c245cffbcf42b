#include "unit/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/owned.h"

namespace halvorpin {
namespace {

bool write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void sync_directory_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) (void)::fsync(fd.get());
}

}  // namespace

bool write_file_atomic(const std::string& path, const std::string& data, mode_t mode) {
  std::string tmp = path + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  UniqueFd fd(::mkstemp(name.data()));
  if (!fd.valid()) return false;
  bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), data.data(), data.size()) &&
            ::fsync(fd.get()) == 0;
  int close_result = ::close(fd.release());
  if (!ok || close_result != 0 || ::rename(name.data(), path.c_str()) != 0) {
    ::unlink(name.data());
    return false;
  }
  sync_directory_of(path);
  return true;
}

long read_file_prefix(const char* path, void* out, std::size_t capacity) {
  FilePtr file(std::fopen(path, "rb"));
  if (!file) return -1;
  return static_cast<long>(std::fread(out, 1, capacity, file.get()));
}

bool read_small_file(const char* path, std::size_t limit, std::string& out) {
  FilePtr file(std::fopen(path, "rb"));
  if (!file) return false;
  out.assign(limit + 1, '\0');
  std::size_t n = std::fread(out.data(), 1, limit + 1, file.get());
  if (n > limit) return false;
  out.resize(n);
  return true;
}

int run_shell(const char* command) {
  std::fflush(nullptr);  // keep our own output ahead of the child's
  // The client ignores SIGPIPE for its sockets; the child gets the default.
  void (*previous)(int) = std::signal(SIGPIPE, SIG_DFL);
  int status = std::system(command);
  std::signal(SIGPIPE, previous);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool make_directories(const std::string& path, mode_t mode) {
  for (std::string::size_type pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace halvorpin
