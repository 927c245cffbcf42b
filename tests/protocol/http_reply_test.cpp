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

struct HeaderCase {
  const char* reply;
  const char* stop;
  HeaderScan result;
  const char* value;
};

class HeaderValues : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderValues, ScanLikeTheRepliesNeed) {
  const HeaderCase& c = GetParam();
  std::string value = "stale";
  EXPECT_EQ(find_header_value(c.reply, "X-Unit-ID:", c.stop, 8, value), c.result) << c.reply;
  EXPECT_EQ(value, c.value) << c.reply;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HeaderValues,
    ::testing::Values(HeaderCase{"HTTP/1.1 200 OK\r\nX-Unit-ID: AB12\r\n\r\n", "\r",
                                 HeaderScan::kFound, "AB12"},
                      HeaderCase{"X-Unit-ID:AB12\r\n", "\r", HeaderScan::kFound, "AB12"},
                      HeaderCase{"X-Unit-ID:    AB12\r\n", "\r", HeaderScan::kFound, "AB12"},
                      HeaderCase{"X-Unit-ID: AB12\r\n", "\n", HeaderScan::kFound, "AB12\r"},
                      HeaderCase{"X-Unit-ID: AB12", "\r", HeaderScan::kFound, "AB12"},
                      HeaderCase{"X-Unit-ID: 1234567\r\n", "\r", HeaderScan::kFound, "1234567"},
                      HeaderCase{"X-Unit-ID: 12345678\r\n", "\r", HeaderScan::kTooLong, ""},
                      HeaderCase{"X-Unit-ID: \r\n", "\r", HeaderScan::kMissing, ""},
                      HeaderCase{"X-Unit-ID:", "\r", HeaderScan::kMissing, ""},
                      HeaderCase{"x-unit-id: AB12\r\n", "\r", HeaderScan::kMissing, ""},
                      HeaderCase{"HTTP/1.1 200 OK\r\n\r\n", "\r", HeaderScan::kMissing, ""}));

TEST(ContentLength, TakesLeadingDigitsOfAShortPositiveValue) {
  struct Case {
    const char* reply;
    std::int64_t length;
  };
  for (Case c : {Case{"Content-Length: 128\r\n", 128}, Case{"Content-Length:128\r\n", 128},
                 Case{"Content-Length:     128\r\n", 128}, Case{"Content-Length: 12x\r\n", 12},
                 Case{"Content-Length: 0\r\n", -1}, Case{"Content-Length: -5\r\n", -1},
                 Case{"Content-Length: abc\r\n", -1}, Case{"content-length: 5\r\n", -1},
                 Case{"Content-Length: 123456789012345\r\n", 123456789012345},
                 Case{"Content-Length: 1234567890123456\r\n", -1}, Case{"", -1}}) {
    EXPECT_EQ(content_length(c.reply), c.length) << c.reply;
  }
}

TEST(BodyOffset, IsRightAfterTheFirstBlankLine) {
  EXPECT_EQ(body_offset("HTTP/1.1 200 OK\r\n\r\nbody\r\n\r\n"), 19u);
  EXPECT_EQ(body_offset("HTTP/1.1 200 OK\n\nbody"), 0u);
  EXPECT_EQ(body_offset(""), 0u);
}

TEST(ReplyContains, StopsAtTheFirstNul) {
  const char reply[] = "HTTP/1.1 404 Not Found\r\n\r\n\0HTTP/1.1 200 OK";
  EXPECT_FALSE(reply_contains(reply, "HTTP/1.1 200 OK"));
  EXPECT_TRUE(reply_contains(reply, "404"));
}

}  // namespace
}  // namespace halvorpin
