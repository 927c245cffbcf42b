#include "base/number_text.h"

#include <gtest/gtest.h>

#include <climits>

namespace halvorpin {
namespace {

TEST(ParseLeadingInt, ReadsLikeAtoiWithoutOverflow) {
  struct Case {
    const char* text;
    int value;
  };
  for (Case c : {Case{"5", 5}, Case{"  42xyz", 42}, Case{"-3", -3}, Case{"+7", 7}, Case{"abc", 0},
                 Case{"", 0}, Case{"99999999999999", INT_MAX}, Case{"-99999999999999", INT_MIN},
                 Case{"0010", 10}}) {
    EXPECT_EQ(parse_leading_int(c.text), c.value) << c.text;
  }
}

}  // namespace
}  // namespace halvorpin
