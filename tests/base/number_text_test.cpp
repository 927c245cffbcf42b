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

TEST(DecimalText, WritesEveryDigitOfSixtyFourBits) {
  for (std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{65536}, std::uint64_t{16777216},
        std::uint64_t{4294967296}, std::uint64_t{1000000000000}, UINT64_MAX}) {
    EXPECT_EQ(decimal_text(value), std::to_string(value));
  }
}

}  // namespace
}  // namespace halvorpin
