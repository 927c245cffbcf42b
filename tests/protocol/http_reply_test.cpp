#include "protocol/http_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace halvorpin {
namespace {

TEST(RequestText, RefusesToGrowPastItsCapacity) {
  RequestText text(8);  // room for 7 characters and the NUL
  text.add("1234").add("567");
  EXPECT_TRUE(text.ok());
  EXPECT_STREQ(text.c_str(), "1234567");
  text.add("8");
  EXPECT_FALSE(text.ok());
  text.add("");  // a failed text stays failed
  EXPECT_FALSE(text.ok());
  EXPECT_STREQ(text.c_str(), "1234567");
}

}  // namespace
}  // namespace halvorpin
