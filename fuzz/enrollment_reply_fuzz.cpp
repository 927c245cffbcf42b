// Fuzz target for the enrollment reply: whatever the server sends, an
// accepted reply yields a non-empty alphanumeric identifier and an RSA key
// of 1024 bits or more with an odd exponent of 3 or more, from a whole
// reply with the code 200; a refused one yields nothing.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/owned.h"
#include "protocol/enrollment.h"

using namespace halvorpin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReplySink reply(8192);
  (void)reply.take(reinterpret_cast<const char*>(data), size);
  reply.finish(ReplySink::End::kClosed);
  std::string unit_id = "stale";
  EvpPkeyPtr key;
  if (!parse_enrollment_reply(reply, "collector.test", unit_id, key).ok()) {
    if (!unit_id.empty() || key) std::abort();
    return 0;
  }
  BIGNUM* raw = nullptr;
  if (unit_id.empty() || unit_id.size() > 99 || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
      EVP_PKEY_get_bits(key.get()) < 1024 || reply.status_code() != 200 || !reply.whole() ||
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
