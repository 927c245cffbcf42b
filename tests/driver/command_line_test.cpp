#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace halvorpin {
namespace {

struct UrlCase {
  const char* url;
  const char* host;
  int port;
};

class UrlSplit : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UrlSplit, GivesHostAndPort) {
  std::string host;
  int port = -1;
  split_url(GetParam().url, host, port);
  EXPECT_EQ(host, GetParam().host);
  EXPECT_EQ(port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UrlSplit,
    ::testing::Values(UrlCase{"https://collector.test:8443", "collector.test", 8443},
                      UrlCase{"collector.test", "collector.test", 443},
                      UrlCase{"https://collector.test", "collector.test", 443},
                      UrlCase{"https://collector.test/path", "collector.test/path", 443},
                      UrlCase{"ftp://h:12ab", "h", 12}, UrlCase{"h:", "h", 0},
                      UrlCase{"h:x", "h", 0}, UrlCase{"https://h:70000", "h", 70000},
                      UrlCase{"a://b://c:1", "b", 0}, UrlCase{"", "", 443}));

TEST(CommandLine, UrlIsCutTo159Characters) {
  std::string url = "https://" + std::string(300, 'h');
  CommandLine out;
  const char* argv[] = {"halvorpin", url.c_str(), "-v"};
  ASSERT_TRUE(parse_command_line(3, argv, out));
  EXPECT_EQ(std::string(out.url), url.substr(0, 159));
}

TEST(Timeouts, EnvironmentOverridesOnlyWhatIsSet) {
  ::setenv("CONN_TIMEOUT", "5", 1);
  ::setenv("READ_TIMEOUT", "abc", 1);
  ::unsetenv("WRITE_TIMEOUT");
  Timeouts t;
  read_timeouts_from_environment(t);
  EXPECT_EQ(t.ct, 5);
  EXPECT_EQ(t.rt, 0);
  EXPECT_EQ(t.wt, 30);
  ::unsetenv("CONN_TIMEOUT");
  ::unsetenv("READ_TIMEOUT");
}

}  // namespace
}  // namespace halvorpin
