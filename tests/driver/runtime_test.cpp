// The client's runtime (linked into this test as into the client): memory
// that cannot be had ends the run with a message and status 1, never a
// signal.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace {

TEST(Runtime, AllocationThatCannotBeHadEndsTheRunWithStatusOne) {
  // Read at run time, so the compiler cannot see the size coming.
  volatile std::size_t size = SIZE_MAX / 2;
  const std::size_t huge = size;
  EXPECT_EXIT((void)::operator new(huge), testing::ExitedWithCode(1), "^Out of memory\n$");
  EXPECT_EXIT(std::vector<char>(huge).push_back('x'), testing::ExitedWithCode(1),
              "^Out of memory\n$");
  EXPECT_EXIT(std::string(huge, 'x').push_back('x'), testing::ExitedWithCode(1),
              "^Out of memory\n$");
}

TEST(Runtime, NothrowAllocationReportsFailure) {
  volatile std::size_t size = SIZE_MAX / 2;
  EXPECT_EQ(::operator new(size, std::nothrow), nullptr);
}

}  // namespace
