// Runs only inside the end-to-end sandbox (a fresh /tmp): it works on the
// client's real fixed paths.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "unit/file_io.h"
#include "unit/rsa_key.h"
#include "unit/state_files.h"
#include "unit/tree_removal.h"

namespace halvorpin {
namespace {

void put(const char* path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

class StateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(remove_tree(kStateDir));
    ASSERT_TRUE(prepare_state_dir().ok());
  }
};

// A flow loads the one key it uses, whatever the other file holds; the
// server's key file of two bytes or more marks an enrolled unit.
TEST_F(StateFiles, IdentityHoldsOnlyTheKeyTheFlowUses) {
  EvpPkeyPtr unit = generate_unit_key();
  const std::string unit_pem = rsa_private_pem(unit.get());
  const std::string unit_public = rsa_public_pem(unit.get());
  const struct {
    std::string private_key, server_key;
    KeyUse use;
    bool ok;
  } cases[] = {{unit_pem, "xx", KeyUse::kDecrypt, true},
               {unit_public, "xx", KeyUse::kDecrypt, false},
               {"x", unit_public, KeyUse::kEncrypt, true},
               {unit_pem, "xx", KeyUse::kEncrypt, false},
               {"", "xx", KeyUse::kNone, true},
               {unit_pem, "x", KeyUse::kNone, false}};
  put(kUnitIdPath, "U1");
  for (const auto& c : cases) {
    put(kUnitPrivateKeyPath, c.private_key);
    put(kServerKeyPath, c.server_key);
    ServerLink link;
    EXPECT_EQ(load_identity(&link, c.use).ok(), c.ok) << &c - cases;
    EXPECT_EQ(link.unit_key != nullptr, c.ok && c.use == KeyUse::kDecrypt) << &c - cases;
    EXPECT_EQ(link.server_key != nullptr, c.ok && c.use == KeyUse::kEncrypt) << &c - cases;
  }
}

TEST_F(StateFiles, UnitIdIsReadAsIsAndAlwaysEndsWithinItsBuffer) {
  ServerLink link;
  EXPECT_FALSE(loadUnitId(&link).ok());
  struct Case {
    std::string file;
    std::string id;
  };
  for (const Case& c : {Case{"7f3a9c", "7f3a9c"}, Case{"AB12\n", "AB12\n"},
                        Case{std::string(99, 'x'), std::string(99, 'x')},
                        Case{std::string(100, 'y'), std::string(99, 'y')},
                        Case{std::string(5000, 'z'), std::string(99, 'z')},
                        Case{std::string("ab\0cd", 5), "ab"}, Case{"", ""}}) {
    put(kUnitIdPath, c.file);
    ASSERT_TRUE(loadUnitId(&link).ok());
    EXPECT_EQ(link.unit_id, c.id);
  }
}

TEST_F(StateFiles, InstalledVersionEndsAtTheFirstOtherByte) {
  char version[kVersionCapacity];
  std::memset(version, 0, sizeof version);
  std::strcpy(version, "keep");
  EXPECT_FALSE(getcurver(version, sizeof version));
  EXPECT_STREQ(version, "keep");
  struct Case {
    std::string file;
    const char* text;
  };
  for (const Case& c :
       {Case{"1.4.2\n", "1.4.2"}, Case{"2.0.1 beta\n", "2.0.1"}, Case{"v2.0.1\n", ""},
        Case{std::string(30, '7'), "7777777777777777777"}, Case{"1.0\xe2\x80\x99", "1.0"}}) {
    put(kVersionPath, c.file);
    std::memset(version, 0, sizeof version);
    ASSERT_TRUE(getcurver(version, sizeof version));
    EXPECT_STREQ(version, c.text);
    EXPECT_EQ(version[kVersionCapacity - 1], '\0');
  }
}

}  // namespace
}  // namespace halvorpin
