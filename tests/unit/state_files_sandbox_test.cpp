// Runs only inside the end-to-end sandbox (a fresh /tmp): it works on the
// client's real fixed paths.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "unit/file_io.h"
#include "unit/rsa_key.h"
#include "unit/state_files.h"

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

void put_or_remove(const char* path, const char* data) {
  if (data != nullptr) {
    put(path, data);
  } else {
    (void)std::remove(path);
  }
}

// A flow loads the one key it uses, and nothing but the server's key file
// (two bytes or more) decides whether the unit is enrolled.
TEST_F(StateFiles, IdentityHoldsOnlyTheKeyTheFlowUses) {
  EvpPkeyPtr unit = generate_unit_key();
  EvpPkeyPtr server = generate_unit_key();
  const std::string unit_pem = rsa_private_pem(unit.get());
  const std::string unit_public_pem = rsa_public_pem(unit.get());
  const std::string server_pem = rsa_public_pem(server.get());
  const char* kGarbage = "garbage that is not a key\n";
  const struct {
    const char* name;
    const char* private_key;  // nullptr: no file
    const char* server_key;
    const char* unit_id;
    KeyUse use;
    bool ok;
  } cases[] = {
      {"decrypt", unit_pem.c_str(), kGarbage, "U1", KeyUse::kDecrypt, true},
      {"decrypt-no-private-key", nullptr, server_pem.c_str(), "U1", KeyUse::kDecrypt, false},
      {"decrypt-private-key-garbage", kGarbage, server_pem.c_str(), "U1", KeyUse::kDecrypt, false},
      {"decrypt-public-key-as-private", unit_public_pem.c_str(), server_pem.c_str(), "U1",
       KeyUse::kDecrypt, false},
      {"decrypt-empty-private-key", "", server_pem.c_str(), "U1", KeyUse::kDecrypt, false},
      {"encrypt", kGarbage, server_pem.c_str(), "U1", KeyUse::kEncrypt, true},
      {"encrypt-server-key-garbage", unit_pem.c_str(), kGarbage, "U1", KeyUse::kEncrypt, false},
      {"clear", nullptr, "xx", "U1", KeyUse::kNone, true},
      {"clear-server-key-one-byte", unit_pem.c_str(), "x", "U1", KeyUse::kNone, false},
      {"clear-no-server-key", unit_pem.c_str(), nullptr, "U1", KeyUse::kNone, false},
      {"decrypt-no-server-key", unit_pem.c_str(), nullptr, "U1", KeyUse::kDecrypt, false},
      {"clear-no-unitid", unit_pem.c_str(), server_pem.c_str(), nullptr, KeyUse::kNone, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    put_or_remove(kUnitPrivateKeyPath, c.private_key);
    put_or_remove(kServerKeyPath, c.server_key);
    put_or_remove(kUnitIdPath, c.unit_id);
    ServerLink link;
    ASSERT_EQ(load_identity(&link, c.use).ok(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(link.unit_id, c.unit_id);
    EXPECT_EQ(rsa_key_text(link.unit_key.get()),
              c.use == KeyUse::kDecrypt ? rsa_key_text(unit.get()) : "");
    EXPECT_EQ(rsa_key_text(link.server_key.get()),
              c.use == KeyUse::kEncrypt ? rsa_key_text(server.get()) : "");
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
