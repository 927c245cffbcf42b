// Fuzz target for the enrollment reply: whatever the server sends, an
// accepted reply yields a non-empty alphanumeric identifier and an RSA key
// of 1024 bits or more with an odd exponent of 3 or more; a refused one
// yields nothing.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/owned.h"
#include "protocol/enrollment.h"

using namespace halvorpin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As the exchange stores it: at most 8191 bytes and a NUL.
  std::vector<char> reply(8192, '\0');
  std::memcpy(reply.data(), data, size < 8191 ? size : 8191);
  std::string unit_id = "stale";
  EvpPkeyPtr key;
  if (!parse_enrollment_reply(reply.data(), unit_id, key).ok()) {
    if (!unit_id.empty() || key) std::abort();
    return 0;
  }
  BIGNUM* raw = nullptr;
  if (unit_id.empty() || unit_id.size() > 99 || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
      EVP_PKEY_get_bits(key.get()) < 1024 || std::strstr(reply.data(), "\r\n\r\n") == nullptr ||
      EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &raw) != 1) {
    std::abort();
  }
  BignumPtr e(raw);
  if (!BN_is_odd(e.get()) || BN_is_one(e.get()) || BN_is_negative(e.get())) std::abort();
  for (char c : unit_id) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) std::abort();
  }
  return 0;
}
