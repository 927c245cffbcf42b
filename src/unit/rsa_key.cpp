#include "unit/rsa_key.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>

namespace halvorpin {
namespace {

// Named here so the code builds against 3.0 and 3.1 headers, which lack it;
// providers that do not know the parameter ignore it.
constexpr const char* kImplicitRejection = "implicit-rejection";

constexpr int kPkcs1Overhead = 11;  // 00 02, eight padding bytes at least, 00
constexpr std::size_t kRandomPoolSize = 4096;

bool next_nonzero_random(RsaEncryptor& encryptor, unsigned char& out) {
  for (;;) {
    if (encryptor.random_used == encryptor.random_pool.size()) {
      if (RAND_bytes(encryptor.random_pool.data(),
                     static_cast<int>(encryptor.random_pool.size())) != 1) {
        return false;
      }
      encryptor.random_used = 0;
    }
    unsigned char byte = encryptor.random_pool[encryptor.random_used];
    encryptor.random_pool[encryptor.random_used++] = 0;  // never used twice
    if (byte != 0) {
      out = byte;
      return true;
    }
  }
}

std::string encode_pem(EVP_PKEY* key, int selection) {
  if (key == nullptr) return {};
  EncoderCtxPtr ctx(OSSL_ENCODER_CTX_new_for_pkey(key, selection, "PEM", "type-specific", nullptr));
  if (!ctx || OSSL_ENCODER_CTX_get_num_encoders(ctx.get()) == 0) return {};
  unsigned char* data = nullptr;
  std::size_t length = 0;
  if (OSSL_ENCODER_to_data(ctx.get(), &data, &length) != 1) return {};
  std::string pem(reinterpret_cast<char*>(data), length);
  OPENSSL_free(data);
  return pem;
}

EvpPkeyPtr decode_pem(const std::string& pem, const char* structure, int selection) {
  EVP_PKEY* key = nullptr;
  DecoderCtxPtr ctx(
      OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", structure, "RSA", selection, nullptr, nullptr));
  if (!ctx) return nullptr;
  const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
  std::size_t length = pem.size();
  if (OSSL_DECODER_from_data(ctx.get(), &data, &length) != 1) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return EvpPkeyPtr(key);
}

std::string bn_param_decimal(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
  BignumPtr bn(raw);
  char* dec = BN_bn2dec(bn.get());
  if (dec == nullptr) return {};
  std::string text(dec);
  OPENSSL_free(dec);
  return text;
}

BignumPtr positive_decimal(const std::string& digits) {
  if (digits.empty() || digits.size() > 4096) return nullptr;
  for (char c : digits) {
    if (c < '0' || c > '9') return nullptr;
  }
  BIGNUM* raw = nullptr;
  if (BN_dec2bn(&raw, digits.c_str()) != static_cast<int>(digits.size())) {
    BN_free(raw);
    return nullptr;
  }
  BignumPtr bn(raw);
  if (BN_is_zero(bn.get())) return nullptr;
  return bn;
}

// What the key cannot decrypt fails its padding or does not fit the
// modulus, and the library says so first; anything else (an allocation that
// failed first, say) is not the block's fault.
bool block_damaged() {
  const unsigned long error = ERR_peek_error();
  const int reason = ERR_GET_REASON(error);
  return ERR_GET_LIB(error) == ERR_LIB_RSA &&
         (reason == RSA_R_PKCS_DECODING_ERROR || reason == RSA_R_PADDING_CHECK_FAILED ||
          reason == RSA_R_DATA_TOO_LARGE_FOR_MODULUS);
}

}  // namespace

EvpPkeyPtr generate_unit_key() {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kUnitKeyBits) != 1) {
    return nullptr;
  }
  BignumPtr exponent(BN_new());
  if (!exponent || BN_set_word(exponent.get(), RSA_F4) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &key) != 1) return nullptr;
  return EvpPkeyPtr(key);
}

std::string rsa_public_pem(EVP_PKEY* key) {
  return encode_pem(key, OSSL_KEYMGMT_SELECT_PUBLIC_KEY);
}

std::string rsa_private_pem(EVP_PKEY* key) { return encode_pem(key, OSSL_KEYMGMT_SELECT_KEYPAIR); }

EvpPkeyPtr parse_rsa_public_pem(const std::string& pem) {
  return decode_pem(pem, "type-specific", OSSL_KEYMGMT_SELECT_PUBLIC_KEY);
}

EvpPkeyPtr parse_rsa_private_pem(const std::string& pem) {
  EvpPkeyPtr key = decode_pem(pem, nullptr, OSSL_KEYMGMT_SELECT_KEYPAIR);
  // A public key alone cannot decrypt; refuse it here rather than at first use.
  if (key) {
    BIGNUM* d = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_D, &d) != 1) return nullptr;
    BN_clear_free(d);
  }
  return key;
}

std::string rsa_key_text(EVP_PKEY* key) {
  if (key == nullptr) return {};
  std::string modulus = bn_param_decimal(key, OSSL_PKEY_PARAM_RSA_N);
  std::string exponent = bn_param_decimal(key, OSSL_PKEY_PARAM_RSA_E);
  if (modulus.empty() || exponent.empty()) return {};
  return modulus + "." + exponent;
}

EvpPkeyPtr rsa_public_from_decimal(const std::string& modulus, const std::string& exponent) {
  BignumPtr n = positive_decimal(modulus);
  BignumPtr e = positive_decimal(exponent);
  if (!n || !e) return nullptr;
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return nullptr;
  }
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return EvpPkeyPtr(key);
}

int rsa_size(EVP_PKEY* key) { return key == nullptr ? 0 : EVP_PKEY_get_size(key); }

bool init_rsa_encryptor(RsaEncryptor& encryptor, EVP_PKEY* key) {
  encryptor = RsaEncryptor{};
  if (key == nullptr || rsa_size(key) <= kPkcs1Overhead) return false;
  encryptor.raw.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!encryptor.raw || EVP_PKEY_encrypt_init(encryptor.raw.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(encryptor.raw.get(), RSA_NO_PADDING) != 1) {
    encryptor.raw.reset();
    return false;
  }
  encryptor.block_size = static_cast<std::size_t>(rsa_size(key));
  encryptor.padded.resize(encryptor.block_size);
  encryptor.random_pool.resize(kRandomPoolSize);
  encryptor.random_used = kRandomPoolSize;
  return true;
}
EvpPkeyCtxPtr make_rsa_decrypt_ctx(EVP_PKEY* key) {
  if (key == nullptr) return nullptr;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return nullptr;
  }
  // From 3.2 on the library would answer bad padding with random bytes;
  // a damaged block must be reported so it can be skipped.
  unsigned int off = 0;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(kImplicitRejection, &off),
                         OSSL_PARAM_construct_end()};
  (void)EVP_PKEY_CTX_set_params(ctx.get(), params);
  return ctx;
}

int rsa_encrypt_block(RsaEncryptor& encryptor, const unsigned char* in, std::size_t length,
                      unsigned char* out, std::size_t out_capacity) {
  const std::size_t k = encryptor.block_size;
  if (!encryptor.raw || length + kPkcs1Overhead > k || out_capacity < k || k > INT_MAX) return -1;
  // 00 02, at least eight non-zero random bytes, 00, then the message.
  unsigned char* em = encryptor.padded.data();
  em[0] = 0x00;
  em[1] = 0x02;
  const std::size_t padding_end = k - length - 1;
  for (std::size_t i = 2; i < padding_end; ++i) {
    if (!next_nonzero_random(encryptor, em[i])) return -1;
  }
  em[padding_end] = 0x00;
  if (length != 0) std::memcpy(em + padding_end + 1, in, length);
  std::size_t out_length = out_capacity;
  int result = EVP_PKEY_encrypt(encryptor.raw.get(), out, &out_length, em, k);
  OPENSSL_cleanse(em, k);
  if (result != 1 || out_length != k) return -1;
  return static_cast<int>(out_length);
}

int rsa_decrypt_block(EVP_PKEY_CTX* ctx, const unsigned char* in, std::size_t length,
                      unsigned char* out, std::size_t out_capacity) {
  std::size_t out_length = out_capacity;
  if (ctx == nullptr) return kBlockFailed;
  // The library's queue then holds this block's failure alone.
  ERR_clear_error();
  if (EVP_PKEY_decrypt(ctx, out, &out_length, in, length) != 1 || out_length > INT_MAX) {
    return block_damaged() ? kBlockDamaged : kBlockFailed;
  }
  return static_cast<int>(out_length);
}

}  // namespace halvorpin
