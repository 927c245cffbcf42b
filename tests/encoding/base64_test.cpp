#include "encoding/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace halvorpin {
namespace {

std::string encode(const std::string& data) {
  return base64_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::vector<unsigned char> decode(const std::string& text) {
  return base64_decode(text.data(), text.size());
}

struct EncodeCase {
  std::size_t input_length;
  std::size_t output_length;
  std::size_t line_feeds;
};

class Base64EncodeLength : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Base64EncodeLength, LinesOf64WithoutFinalLineFeed) {
  const EncodeCase& c = GetParam();
  std::string text = encode(std::string(c.input_length, '\x5a'));
  EXPECT_EQ(text.size(), c.output_length);
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), c.line_feeds);
  EXPECT_NE(text.back(), '\n');
  for (std::size_t pos = 64; pos < text.size(); pos += 65) EXPECT_EQ(text[pos], '\n') << pos;
}

INSTANTIATE_TEST_SUITE_P(Lengths, Base64EncodeLength,
                         ::testing::Values(EncodeCase{1, 4, 0}, EncodeCase{20, 28, 0},
                                           EncodeCase{48, 64, 0}, EncodeCase{49, 69, 1},
                                           EncodeCase{96, 129, 1}, EncodeCase{97, 134, 2}));

TEST(Base64, KnownVectors) {
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode(std::string("\xfb\xff", 2)), "+/8=");
  EXPECT_EQ(encode(""), "");
}

TEST(Base64, DigestRoundTripLeavesZerosAfterTheBytes) {
  std::string digest;
  for (int i = 0; i < 20; ++i) digest.push_back(static_cast<char>(i * 13 + 1));
  std::string text = encode(digest);
  ASSERT_EQ(text.size(), 28u);
  EXPECT_EQ(text.back(), '=');
  std::vector<unsigned char> bytes = decode(text);
  ASSERT_EQ(bytes.size(), 28u);
  EXPECT_EQ(std::memcmp(bytes.data(), digest.data(), 20), 0);
  for (std::size_t i = 20; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0) << i;
}

// Decoding stops at the first group that is not Base64 text, whatever the
// library release (some would read across a line break).
TEST(Base64, DecodingStopsAtTheFirstGroupThatIsNotBase64) {
  const std::pair<const char*, const char*> cases[] = {
      {"Zm9vYmFy", "foobar"},
      {"Zm9vYmFy\r", "foobar"},
      {"Zm9v\nYmFy", "foo"},
      {"Zm9v!YmFy", "foo"},
      {"Zg==Zm9v", "f"},
      {"Zm8=", "fo"},
      {"Zg=a", ""},
      {"!!!!", ""},
      {"====", ""},
      {"@", ""},
      {"", ""},
  };
  for (const auto& [text, clear] : cases) {
    std::vector<unsigned char> out = decode(text);
    ASSERT_EQ(out.size(), std::strlen(text)) << text;
    std::string decoded(out.begin(), out.end());
    EXPECT_EQ(decoded.substr(0, decoded.find('\0')), clear) << text;
    EXPECT_TRUE(std::all_of(out.begin() + std::strlen(clear), out.end(), [](unsigned char b) {
      return b == 0;
    })) << text;
  }
}

}  // namespace
}  // namespace halvorpin
