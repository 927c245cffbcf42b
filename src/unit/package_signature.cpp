#include "unit/package_signature.h"

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "unit/file_io.h"

namespace halvorpin {
namespace {

constexpr std::size_t kKeyFileLimit = std::size_t{64} * 1024;
constexpr int kMinRsaBits = 2048;

// RSA of 2048 bits or more, or ECDSA on P-256: the keys an operator signs with.
bool acceptable(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA") == 1) return EVP_PKEY_get_bits(key) >= kMinRsaBits;
  char group[32] = {};
  return EVP_PKEY_is_a(key, "EC") == 1 &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        nullptr) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

EvpPkeyPtr decode_public_key(std::string_view pem, const char* type) {
  EVP_PKEY* key = nullptr;
  DecoderCtxPtr ctx(OSSL_DECODER_CTX_new_for_pkey(
      &key, "PEM", "SubjectPublicKeyInfo", type, OSSL_KEYMGMT_SELECT_PUBLIC_KEY, nullptr, nullptr));
  const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
  std::size_t length = pem.size();
  if (!ctx || OSSL_DECODER_from_data(ctx.get(), &data, &length) != 1) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return EvpPkeyPtr(key);
}

}  // namespace

PackageKeys PackageKeys::load(const char* path) {
  PackageKeys keys;
  struct stat st {};
  if (::lstat(path, &st) != 0 && errno == ENOENT) return keys;
  keys.state_ = State::kUnusable;
  // Whoever may change the file decides what runs as root.
  std::string pem;
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      !read_small_file(path, kKeyFileLimit, pem)) {
    return keys;
  }
  // Each block decoded as the key type it says it is: a decoder told the
  // structure and the type costs a fraction of one that tries them all.
  constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
  for (std::size_t at = 0;
       (at = pem.find("-----BEGIN PUBLIC KEY-----", at)) != std::string::npos;) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string_view block(pem.data() + at, end + kEnd.size() - at);
    at = end;
    for (const char* type : {"RSA", "EC"}) {
      EvpPkeyPtr key = decode_public_key(block, type);
      if (!key) continue;
      if (acceptable(key.get())) keys.keys_.push_back(std::move(key));
      break;
    }
  }
  ERR_clear_error();  // the reader's complaint about the end of the text
  if (!keys.keys_.empty()) keys.state_ = State::kUsable;
  return keys;
}

bool PackageKeys::verify(const unsigned char* digest, std::size_t digest_length,
                         const std::string& signature) const {
  for (const EvpPkeyPtr& key : keys_) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
        EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                        signature.size(), digest, digest_length) == 1) {
      return true;
    }
  }
  return false;
}

}  // namespace halvorpin
