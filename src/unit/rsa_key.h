// RSA keys as the unit and the server exchange them: PKCS #1 PEM files,
// the decimal "modulus.exponent" key text, and PKCS #1 v1.5 block
// encryption and decryption.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/owned.h"

namespace halvorpin {

constexpr int kUnitKeyBits = 1024;

// A fresh 1024-bit key pair with public exponent 65537, or null.
EvpPkeyPtr generate_unit_key();

// PEM text of the public key ("RSA PUBLIC KEY", PKCS #1) or of the whole
// private key ("RSA PRIVATE KEY", PKCS #1, unencrypted). Empty on failure.
std::string rsa_public_pem(EVP_PKEY* key);
std::string rsa_private_pem(EVP_PKEY* key);

// Parses one RSA key from PEM text; null when the text holds none.
EvpPkeyPtr parse_rsa_public_pem(const std::string& pem);
EvpPkeyPtr parse_rsa_private_pem(const std::string& pem);

// "<decimal modulus>.<decimal exponent>"; empty on failure.
std::string rsa_key_text(EVP_PKEY* key);

// A public key from decimal modulus and exponent digits; null when either
// is not a positive decimal number.
EvpPkeyPtr rsa_public_from_decimal(const std::string& modulus, const std::string& exponent);

// Size in bytes of the key's modulus: the length of every cipher block.
int rsa_size(EVP_PKEY* key);

// PKCS #1 v1.5 encryption (block type 2) with one key for a whole run. The
// padding is laid out here and its random bytes are drawn from the system
// generator a few thousand at a time: per block, the library's own padding
// spends a quarter of the time fetching 100-odd random bytes.
struct RsaEncryptor {
  EvpPkeyCtxPtr raw;  // the bare RSA operation, no padding
  std::size_t block_size = 0;
  std::vector<unsigned char> padded;
  std::vector<unsigned char> random_pool;
  std::size_t random_used = 0;
};
// False when the key cannot encrypt.
bool init_rsa_encryptor(RsaEncryptor& encryptor, EVP_PKEY* key);
// Encrypts `length` bytes (at most block size - 11) into one block at `out`.
// Returns the block length, or -1.
int rsa_encrypt_block(RsaEncryptor& encryptor, const unsigned char* in, std::size_t length,
                      unsigned char* out, std::size_t out_capacity);

// Decryption reports bad padding as a failure (no implicit rejection).
EvpPkeyCtxPtr make_rsa_decrypt_ctx(EVP_PKEY* key);
// Decrypts one block. Returns the clear length, kBlockDamaged when the key
// does not decrypt it, or kBlockFailed when the decryption failed for a
// local reason (memory).
inline constexpr int kBlockDamaged = -1;
inline constexpr int kBlockFailed = -2;
int rsa_decrypt_block(EVP_PKEY_CTX* ctx, const unsigned char* in, std::size_t length,
                      unsigned char* out, std::size_t out_capacity);

}  // namespace halvorpin
