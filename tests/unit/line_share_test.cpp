#include "unit/line_share.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "base/owned.h"

namespace halvorpin {
namespace {

constexpr long long kMiB = 1 << 20;

// An input of `size` bytes, NULs (a hole) but for the line feeds at
// `line_feeds`; in memory, so the test touches no file system.
UniqueFd input_of(long long size, const std::vector<long long>& line_feeds) {
  UniqueFd fd(::memfd_create("input", MFD_CLOEXEC));
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(::ftruncate(fd.get(), size), 0);
  for (long long at : line_feeds) EXPECT_EQ(::pwrite(fd.get(), "\n", 1, at), 1);
  return fd;
}

struct ShareCase {
  const char* what;
  long long size;
  std::vector<long long> line_feeds;
  long long from;
  long long end;
};

TEST(LineShare, ARunEndsAtALineEnd) {
  const long long limit = kRunInputLimit;
  // The lines across the mark and longer than a share: test_operator.py.
  const ShareCase cases[] = {
      {"a small input, to its end", 100, {10, 50}, 0, limit},
      {"a line feed right at the mark", 2 * limit, {10, limit - 1, limit + 5}, 0, limit},
      {"a line past the long-line limit is cut",
       kLongLineLimit + 2 * kMiB,
       {kLongLineLimit + kMiB},
       0,
       limit},
      {"counted from where the run starts",
       3 * limit,
       {limit + 10, 2 * limit},
       limit + 11,
       2 * limit + 1},
  };
  for (const ShareCase& c : cases) {
    UniqueFd fd = input_of(c.size, c.line_feeds);
    EXPECT_EQ(run_share_end(fd.get(), c.from), c.end) << c.what;
  }
}

}  // namespace
}  // namespace halvorpin
