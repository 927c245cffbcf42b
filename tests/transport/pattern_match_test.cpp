#include <gtest/gtest.h>

#include <random>
#include <string>

#include "transport/cert_check.h"

namespace halvorpin {
namespace {

struct MatchCase {
  const char* pattern;
  const char* string;
  int expected;
};

class PatternMatchTable : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PatternMatchTable, GivesTheExpectedResult) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(pattern_match(c.pattern, c.string), c.expected)
      << "pattern '" << c.pattern << "' string '" << c.string << "'";
}

INSTANTIATE_TEST_SUITE_P(
    CommonNames, PatternMatchTable,
    ::testing::Values(MatchCase{"srv.a.b", "srv.a.b", 1}, MatchCase{"SRV.A.b", "srv.a.B", 1},
                      MatchCase{"*.a.b", "srv.a.b", 1}, MatchCase{"*.a.b", "x.srv.a.b", 0},
                      MatchCase{"*.a.b", "a.b", 0}, MatchCase{"*.a.b", ".a.b", 1},
                      MatchCase{"s*.a.b", "srv.a.b", 1}, MatchCase{"s*.a.b", "s.a.b", 1},
                      MatchCase{"s*v.a.b", "sv.a.b", 1}, MatchCase{"srv*", "srv", 1},
                      MatchCase{"srv*", "srv.a.b", 0}, MatchCase{"*", "srv", 1},
                      MatchCase{"*", "srv.a.b", 0}, MatchCase{"srv.a.b", "srv.a.b.", 0},
                      MatchCase{"srv.a.b", "srv.a", 0}, MatchCase{"srv.a.b", "*.a.b", 0},
                      MatchCase{"", "", 1}, MatchCase{"**.a.b", "srv.a.b", 1},
                      MatchCase{"*.*.b", "srv.a.b", 1}, MatchCase{"*r*.a.b", "srv.a.b", 1},
                      MatchCase{"*x*.a.b", "srv.a.b", 0}, MatchCase{"*.", "srv.", 1},
                      MatchCase{"", "x", 0}, MatchCase{"x", "", 0}));

// The matching rules written out directly, recursion and all; exponential in
// the number of stars, so only for short inputs.
int fold(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int reference_match(const char* p, const char* s) {
  for (;;) {
    int pc = fold(static_cast<unsigned char>(*p++));
    if (pc == 0) return *s == 0 ? 1 : 0;
    if (pc == '*') break;
    if (*s == 0 || fold(static_cast<unsigned char>(*s)) != pc) return 0;
    ++s;
  }
  while (*p == '*') ++p;
  int n = fold(static_cast<unsigned char>(*p));
  for (; *s != 0; ++s) {
    if (fold(static_cast<unsigned char>(*s)) == n && reference_match(p, s)) return 1;
    if (*s == '.') return 0;
  }
  return n == 0 ? 1 : 0;
}

TEST(PatternMatch, AgreesWithTheDirectRulesOnRandomShortInputs) {
  std::mt19937 rng(20261206);
  const std::string pattern_alphabet = "aAb.*";
  const std::string string_alphabet = "aAbB.*";
  auto random_text = [&](const std::string& alphabet, int max_length) {
    std::string text(static_cast<std::size_t>(rng() % static_cast<unsigned>(max_length + 1)), ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    return text;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string pattern = random_text(pattern_alphabet, 8);
    std::string string = random_text(string_alphabet, 8);
    ASSERT_EQ(pattern_match(pattern.c_str(), string.c_str()),
              reference_match(pattern.c_str(), string.c_str()))
        << "pattern '" << pattern << "' string '" << string << "'";
  }
}

TEST(PatternMatch, ManyStarsAgainstALongHostFinishQuickly) {
  // Alternating stars and letters defeat a plain backtracking matcher: this
  // would not finish within the test's time limit.
  std::string pattern;
  while (pattern.size() < 252) pattern += "*a";
  pattern += "*b";
  std::string host(159, 'a');
  EXPECT_EQ(pattern_match(pattern.c_str(), host.c_str()), 0);
  EXPECT_EQ(pattern_match((pattern.substr(0, 252) + "*b*").c_str(), host.c_str()), 0);
  std::string matching(pattern.substr(0, 100) + "*");
  EXPECT_EQ(pattern_match(matching.c_str(), host.c_str()), 1);
}

}  // namespace
}  // namespace halvorpin
