#include "unit/package_tree.h"

#include <gtest/gtest.h>

namespace halvorpin {
namespace {

struct LinkCase {
  const char* target;
  int depth;
  bool inside;
};

TEST(PackageTree, LinksMayNotLeaveThePackage) {
  const LinkCase cases[] = {
      {"runonce.sh", 0, true},     {"./bin/tool", 0, true},
      {"../shared.conf", 1, true}, {"../../top", 2, true},
      {"..//./x", 1, true},        {"..", 0, false},  // the package's parent
      {"../..", 1, false},         {"/etc/passwd", 3, false},
      {"bin/../x", 2, false},  // bin may itself be a link that climbs
      {"./x/..", 1, false},        {"", 0, false},
  };
  for (const LinkCase& c : cases) {
    EXPECT_EQ(link_stays_inside(c.target, c.depth), c.inside) << c.target << " at " << c.depth;
  }
}

struct AbsoluteCase {
  const char* target;
  const char* as_read;  // empty: refused
};

TEST(PackageTree, AbsoluteLinksNameNoPlaceOfUsers) {
  const AbsoluteCase cases[] = {
      {"/bin/busybox", "/bin/busybox"},
      {"//usr/./lib//libx.so", "/usr/lib/libx.so"},
      {"/", "/"},
      {"/tmp", ""},
      {"/tmp/x", ""},
      {"//tmp/./x", ""},
      {"/var/tmp/x", ""},
      {"/dev/shm", ""},
      {"/tmpfiles/x", "/tmpfiles/x"},
      {"/var/tmpx", "/var/tmpx"},
      {"/bin/../tmp/x", ""},
      {"/usr/..", ""},
      {"relative/x", ""},
  };
  for (const AbsoluteCase& c : cases) {
    EXPECT_EQ(absolute_link_target(c.target), c.as_read) << c.target;
  }
}

}  // namespace
}  // namespace halvorpin
