#include "unit/rsa_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorpin {
namespace {

class RsaKey : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { key_ = generate_unit_key().release(); }
  static void TearDownTestSuite() { EVP_PKEY_free(key_); }
  static EVP_PKEY* key_;
};
EVP_PKEY* RsaKey::key_ = nullptr;

TEST_F(RsaKey, PublicKeyFromDecimalDigits) {
  std::string text = rsa_key_text(key_);
  std::string::size_type dot = text.find('.');
  EvpPkeyPtr rebuilt = rsa_public_from_decimal(text.substr(0, dot), text.substr(dot + 1));
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(rsa_public_pem(rebuilt.get()), rsa_public_pem(key_));
  EXPECT_FALSE(rsa_public_from_decimal(text.substr(0, dot), ""));
  EXPECT_FALSE(rsa_public_from_decimal("", "65537"));
  EXPECT_FALSE(rsa_public_from_decimal("12a4", "65537"));
  EXPECT_FALSE(rsa_public_from_decimal("0", "65537"));
}

TEST_F(RsaKey, EncryptionIsRandomizedAndNeedsAnEncryptingKey) {
  RsaEncryptor enc;
  ASSERT_TRUE(init_rsa_encryptor(enc, key_));
  const unsigned char message[] = "same message";
  std::vector<unsigned char> first(128), second(128);
  ASSERT_EQ(rsa_encrypt_block(enc, message, sizeof message, first.data(), first.size()), 128);
  ASSERT_EQ(rsa_encrypt_block(enc, message, sizeof message, second.data(), second.size()), 128);
  EXPECT_NE(first, second);
  std::vector<unsigned char> small(127);
  EXPECT_EQ(rsa_encrypt_block(enc, message, sizeof message, small.data(), small.size()), -1);
  RsaEncryptor none;
  EXPECT_FALSE(init_rsa_encryptor(none, nullptr));
  EXPECT_EQ(rsa_encrypt_block(none, message, sizeof message, first.data(), first.size()), -1);
}

TEST_F(RsaKey, BlocksRoundTripUpTo117BytesAndDamageIsReported) {
  EvpPkeyPtr pub = parse_rsa_public_pem(rsa_public_pem(key_));
  RsaEncryptor enc;
  ASSERT_TRUE(init_rsa_encryptor(enc, pub.get()));
  EvpPkeyCtxPtr dec = make_rsa_decrypt_ctx(key_);
  ASSERT_TRUE(dec);
  for (std::size_t length : {0u, 1u, 57u, 116u, 117u}) {
    std::vector<unsigned char> clear(length);
    for (std::size_t i = 0; i < length; ++i) clear[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> block(128);
    ASSERT_EQ(rsa_encrypt_block(enc, clear.data(), length, block.data(), block.size()), 128);
    std::vector<unsigned char> back(128);
    int n = rsa_decrypt_block(dec.get(), block.data(), block.size(), back.data(), back.size());
    ASSERT_EQ(n, static_cast<int>(length));
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + n), clear);
  }
  std::vector<unsigned char> too_long(118, 1), block(128);
  EXPECT_EQ(rsa_encrypt_block(enc, too_long.data(), too_long.size(), block.data(), block.size()),
            -1);

  // A flipped byte breaks the padding: reported as -1, never as random clear text.
  unsigned char clear[10] = {1, 2, 3};
  ASSERT_EQ(rsa_encrypt_block(enc, clear, sizeof clear, block.data(), block.size()), 128);
  int failures = 0;
  for (int i = 0; i < 8; ++i) {
    std::vector<unsigned char> damaged = block;
    damaged[static_cast<std::size_t>(5 + i * 13)] ^= 0x5a;
    std::vector<unsigned char> out(128);
    if (rsa_decrypt_block(dec.get(), damaged.data(), damaged.size(), out.data(), out.size()) ==
        -1) {
      ++failures;
    }
  }
  EXPECT_EQ(failures, 8);
}

}  // namespace
}  // namespace halvorpin
