// Runs only inside the end-to-end sandbox (fresh /tmp, a veth eth0 with a
// fixed MAC, or none): it works on the client's real fixed paths.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "base/paths.h"
#include "protocol/enrollment.h"
#include "unit/file_io.h"
#include "unit/mac_address.h"
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
    ASSERT_EQ(run_shell("rm -rf /tmp/tolvenra && mkdir -p /tmp/tolvenra"), 0);
  }
};

TEST_F(StateFiles, LoadKeysNeedsTwoParsableKeys) {
  EvpPkeyPtr unit = generate_unit_key();
  EvpPkeyPtr server = generate_unit_key();
  ServerLink link;
  EXPECT_EQ(loadKeys(&link), 0);  // neither file
  put(kUnitPrivateKeyPath, rsa_private_pem(unit.get()));
  EXPECT_EQ(loadKeys(&link), 0);  // no server key
  put(kServerKeyPath, "garbage that is not a key\n");
  EXPECT_EQ(loadKeys(&link), 0);
  put(kServerKeyPath, rsa_public_pem(server.get()));
  EXPECT_EQ(loadKeys(&link), 1);
  EXPECT_EQ(rsa_key_text(link.unit_key.get()), rsa_key_text(unit.get()));
  EXPECT_EQ(rsa_key_text(link.server_key.get()), rsa_key_text(server.get()));
  put(kUnitPrivateKeyPath, rsa_public_pem(unit.get()));  // a public key cannot decrypt
  EXPECT_EQ(loadKeys(&link), 0);
  put(kUnitPrivateKeyPath, "");
  EXPECT_EQ(loadKeys(&link), 0);
}

TEST_F(StateFiles, UnitIdIsReadAsIsAndAlwaysEndsWithinItsBuffer) {
  ServerLink link;
  EXPECT_EQ(loadUnitId(&link), 0);
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
    ASSERT_EQ(loadUnitId(&link), 1);
    EXPECT_EQ(link.unit_id, c.id);
  }
}

TEST_F(StateFiles, InstalledVersionEndsAtTheFirstOtherByte) {
  char version[kVersionCapacity];
  std::memset(version, 0, sizeof version);
  std::strcpy(version, "keep");
  EXPECT_EQ(getcurver(version, sizeof version), 0);
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
    ASSERT_EQ(getcurver(version, sizeof version), 1);
    EXPECT_STREQ(version, c.text);
    EXPECT_EQ(version[kVersionCapacity - 1], '\0');
  }
}

TEST_F(StateFiles, EnrolledMeansAServerKeyFileOfTwoBytesOrMore) {
  EXPECT_EQ(checkunitactivated(), 0);
  put(kServerKeyPath, "x");
  EXPECT_EQ(checkunitactivated(), 0);
  put(kServerKeyPath, "xy");
  EXPECT_EQ(checkunitactivated(), 1);
}

TEST_F(StateFiles, CleanupRemovesTheKeysButKeepsIdentifierAndVersion) {
  for (const char* path :
       {kUnitPublicKeyPath, kUnitPrivateKeyPath, kServerKeyPath, kUnitIdPath, kVersionPath}) {
    put(path, "data");
  }
  cleanup_nvram();
  struct stat st {};
  EXPECT_NE(::stat(kUnitPublicKeyPath, &st), 0);
  EXPECT_NE(::stat(kUnitPrivateKeyPath, &st), 0);
  EXPECT_NE(::stat(kServerKeyPath, &st), 0);
  EXPECT_EQ(::stat(kUnitIdPath, &st), 0);
  EXPECT_EQ(::stat(kVersionPath, &st), 0);
}

TEST_F(StateFiles, KeygenWritesThePairWithAPrivateFileOfMode0600) {
  ASSERT_EQ(run_shell("rm -rf /tmp/tolvenra"), 0);
  ServerLink link;
  ASSERT_EQ(keygen(&link), 1);
  struct stat st {};
  ASSERT_EQ(::stat(kUnitPrivateKeyPath, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string pub;
  ASSERT_TRUE(read_small_file(kUnitPublicKeyPath, 65536, pub));
  EXPECT_EQ(pub.rfind("-----BEGIN RSA PUBLIC KEY-----", 0), 0u);
  EvpPkeyPtr back = parse_rsa_public_pem(pub);
  EXPECT_EQ(rsa_key_text(back.get()), rsa_key_text(link.unit_key.get()));
  // Nothing but the two key files: no temporary leftovers.
  int entries = 0;
  if (DIR* dir = ::opendir(kStateDir)) {
    while (dirent* e = ::readdir(dir)) entries += e->d_name[0] != '.';
    ::closedir(dir);
  }
  EXPECT_EQ(entries, 2);
}

TEST(MacAddress, Eth0GivesItsFixedAddress) {
  const char* expected = std::getenv("HALVORPIN_EXPECTED_MAC");
  ASSERT_NE(expected, nullptr) << "run by the sandbox harness";
  char mac[13] = {};
  EXPECT_EQ(getmac("eth0", mac, sizeof mac), 0);
  EXPECT_STREQ(mac, expected);
  char direct[13] = {};
  EXPECT_EQ(getmacforinterface("eth0", direct, sizeof direct), 0);
  EXPECT_STREQ(direct, expected);
  char other[13] = "untouched";
  EXPECT_EQ(getmac("eth0x", other, sizeof other), 0);  // names match exactly
  EXPECT_STREQ(other, "untouched");
}

TEST(MacAddressNoEth0, LeavesTheTextEmptyAndSucceeds) {
  char mac[13] = {};
  EXPECT_EQ(getmac("eth0", mac, sizeof mac), 0);
  EXPECT_STREQ(mac, "");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(getmacforinterface("eth0", mac, sizeof mac), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ioctl Error: SIOCGIFHWADDR \n");
}

}  // namespace
}  // namespace halvorpin
