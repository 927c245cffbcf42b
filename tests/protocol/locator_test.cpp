#include <gtest/gtest.h>

#include <string>

#include "protocol/package_download.h"
#include "protocol/update_flows.h"

namespace halvorpin {
namespace {

struct LocatorCase {
  const char* locator;
  const char* host;
  int port;
  const char* path;
};

class LocatorSplit : public ::testing::TestWithParam<LocatorCase> {};

TEST_P(LocatorSplit, GivesHostPortAndPath) {
  const LocatorCase& c = GetParam();
  PackageLocator out;
  ASSERT_TRUE(split_locator(c.locator, out));
  EXPECT_EQ(out.host, c.host);
  EXPECT_EQ(out.port, c.port);
  EXPECT_EQ(out.path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LocatorSplit,
    ::testing::Values(LocatorCase{"https://packages.test:9443/p/pkg.tar.gz", "packages.test", 9443,
                                  "/p/pkg.tar.gz"},
                      LocatorCase{"packages.test/pkg.tar.gz", "packages.test", 443, "/pkg.tar.gz"},
                      LocatorCase{"packages.test", "packages.test", 443, ""},
                      LocatorCase{"ftp://packages.test/x", "packages.test", 443, "/x"},
                      LocatorCase{"packages.test:abc/x", "packages.test", 0, "/x"},
                      LocatorCase{"", "", 443, ""}, LocatorCase{"h/a://b/c", "b", 443, "/c"},
                      LocatorCase{"https://h/p\nmore", "h", 443, "/p\nmore"}));

TEST(LocatorSplit, RefusesAHostOf200Characters) {
  PackageLocator out;
  EXPECT_TRUE(split_locator(("https://" + std::string(199, 'h') + "/x").c_str(), out));
  EXPECT_FALSE(split_locator(("https://" + std::string(200, 'h') + "/x").c_str(), out));
}

// Nothing of a locator may change the request it becomes.
TEST(LocatorUsable, OnlyPlainBytesAndAPathFromTheRoot) {
  struct Case {
    const char* locator;
    bool usable;
  };
  for (Case c : {Case{"https://h:9443/p/x.tar.gz", true}, Case{"h/\xc3\xa9", true},
                 Case{"https://h/p\r\nX-Injected: 1", false}, Case{"https://h/a b", false},
                 Case{"https://h/a\tb", false}, Case{"https://h/a\x7f", false},
                 Case{"https://h\x01/a", false}, Case{"https://h", false}, Case{"", false},
                 Case{"https://h x/a", false}}) {
    PackageLocator where;
    ASSERT_TRUE(split_locator(c.locator, where)) << c.locator;
    EXPECT_EQ(locator_usable(where), c.usable) << c.locator;
  }
}

TEST(VersionReply, FirstLineIsTheVersionTheRestTheLocator) {
  struct Case {
    const char* text;
    bool stop_at_cr;
    const char* version;
    const char* locator;
  };
  for (Case c :
       {Case{"1.11\nhttps://p/x", true, "1.11", "https://p/x"},
        Case{"1.11\r\nhttps://p/x", true, "1.11", "https://p/x"},
        Case{"1.11\r\nhttps://p/x", false, "1.11\r", "https://p/x"}, Case{"1.11", true, "1.11", ""},
        Case{"\nloc", true, "", "loc"}, Case{"\rx\nloc", true, "", "loc"}, Case{"", false, "", ""},
        Case{"1.0\na\nb", true, "1.0", "a\nb"},
        Case{"12345678901234567890123\nl", true, "1234567890123456789", "l"}}) {
    VersionReply reply = read_version_reply(c.text, c.stop_at_cr);
    EXPECT_EQ(reply.new_version, c.version) << c.text;
    EXPECT_EQ(reply.locator, c.locator) << c.text;
  }
}

TEST(VersionCompare, LooksAtEightCharactersAtMost) {
  EXPECT_TRUE(same_version("1.10", "1.10"));
  EXPECT_TRUE(same_version("1.2.3.4.5", "1.2.3.4.6"));
  EXPECT_FALSE(same_version("1.10", "1.10.1"));
  EXPECT_FALSE(same_version("1.2.3.40", "1.2.3.41"));  // the eighth character counts
  EXPECT_FALSE(same_version("", "1.0"));
  EXPECT_TRUE(same_version("", ""));
}

}  // namespace
}  // namespace halvorpin
