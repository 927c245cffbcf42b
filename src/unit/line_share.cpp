#include "unit/line_share.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace halvorpin {
namespace {

constexpr long long kScanBlock = 64LL * 1024;

// Reads [at, at + length) of `fd` into `block`; the count read, which is
// short only at the input's end, or -1.
long long read_at(int fd, long long at, long long length, std::vector<char>& block) {
  long long total = 0;
  while (total < length) {
    const ssize_t n = ::pread(fd, block.data() + total, static_cast<std::size_t>(length - total),
                              static_cast<off_t>(at + total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += n;
  }
  return total;
}

// Just past the last line feed in [from, end), or -1.
long long after_last_line_feed(int fd, long long from, long long end, std::vector<char>& block) {
  for (long long stop = end; stop > from;) {
    const long long start = std::max(from, stop - kScanBlock);
    const long long n = read_at(fd, start, stop - start, block);
    if (n <= 0) return -1;
    const void* found = ::memrchr(block.data(), '\n', static_cast<std::size_t>(n));
    if (found != nullptr) return start + (static_cast<const char*>(found) - block.data()) + 1;
    stop = start;
  }
  return -1;
}

// Just past the first line feed in [from, end), or -1.
long long after_first_line_feed(int fd, long long from, long long end, std::vector<char>& block) {
  for (long long at = from; at < end;) {
    const long long n = read_at(fd, at, std::min(kScanBlock, end - at), block);
    if (n <= 0) return -1;
    const void* found = std::memchr(block.data(), '\n', static_cast<std::size_t>(n));
    if (found != nullptr) return at + (static_cast<const char*>(found) - block.data()) + 1;
    at += n;
  }
  return -1;
}

}  // namespace

long long run_share_end(int fd, long long from) {
  const long long bound = from + kRunInputLimit;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return bound;
  const auto size = static_cast<long long>(st.st_size);
  if (size <= bound) return bound;
  std::vector<char> block(static_cast<std::size_t>(kScanBlock));
  const long long last = after_last_line_feed(fd, from, bound, block);
  if (last >= 0) return last;
  const long long first =
      after_first_line_feed(fd, bound, std::min(size, from + kLongLineLimit), block);
  return first >= 0 ? first : bound;
}

}  // namespace halvorpin
