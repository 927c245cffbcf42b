#include "protocol/enrollment.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "encoding/base64.h"
#include "protocol/http_reply.h"
#include "transport/connection.h"
#include "transport/exchange.h"
#include "unit/file_io.h"
#include "unit/rsa_key.h"
#include "unit/state_files.h"
#include "unit/unit_lock.h"

namespace halvorpin {
namespace {

constexpr std::size_t kEnrollmentCapacity = 8192;
constexpr std::size_t kHeaderValueCapacity = 1024;
constexpr std::size_t kConfirmationCapacity = 1024;
constexpr int kMinServerKeyBits = 1024;

// The key text as it travels: Base64 of "modulus.exponent" on one line.
std::string key_text_for_header(EVP_PKEY* key) {
  std::string clear = rsa_key_text(key);
  std::string encoded =
      base64_encode(reinterpret_cast<const unsigned char*>(clear.data()), clear.size());
  encoded.erase(
      std::remove_if(encoded.begin(), encoded.end(), [](char c) { return c == '\n' || c == '\r'; }),
      encoded.end());
  return encoded;
}

// The identifier runs to its first character that is not a letter or digit.
std::string identifier_from(const char* value) {
  std::size_t length = 0;
  while (std::isalnum(static_cast<unsigned char>(value[length])) != 0) ++length;
  return std::string(value, length);
}

// "modulus.exponent" after Base64 decoding; anything from a second '.' on
// is ignored. Null when either number is missing or malformed.
EvpPkeyPtr server_key_from(const char* value) {
  std::vector<unsigned char> decoded = base64_decode(value, std::strlen(value));
  std::string text(reinterpret_cast<const char*>(decoded.data()));
  std::string::size_type dot = text.find('.');
  if (dot == std::string::npos) return nullptr;
  std::string modulus = text.substr(0, dot);
  std::string exponent = text.substr(dot + 1, text.find('.', dot + 1) - (dot + 1));
  return rsa_public_from_decimal(modulus, exponent);
}

// A key the unit can rely on for what it encrypts to the server: RSA, a
// modulus that is not trivially factored and a usable public exponent.
bool server_key_acceptable(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA") != 1 || EVP_PKEY_get_bits(key) < kMinServerKeyBits) return false;
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1) return false;
  BignumPtr e(raw);
  return BN_is_odd(e.get()) && BN_cmp(e.get(), BN_value_one()) > 0;
}

// The server key file marks the unit as enrolled: it is written last, after
// the server confirmed, so a run that ends earlier leaves a unit that enrolls
// again.
Status publish_enrollment(ServerLink* link) {
  std::string server_pem = rsa_public_pem(link->server_key.get());
  return !server_pem.empty() && write_file_atomic(kServerKeyPath, server_pem, 0644)
             ? Status()
             : Status(Code::kKeysNotStored);
}

bool system_random_seeded() {
  if (RAND_status() == 1) return true;
  (void)RAND_poll();
  return RAND_status() == 1;
}

}  // namespace

Status parse_enrollment_reply(const ReplySink& reply, const std::string& host, std::string& unit_id,
                              EvpPkeyPtr& server_key) {
  unit_id.clear();
  server_key.reset();
  if (reply.status_code() != 200) return refused_by(Code::kEnrollmentRefused, host, reply);
  // A reply cut short may have lost any header.
  if (!reply.whole()) return unusable_from(Code::kEnrollmentUnusable, host, reply);
  const char* value = reply.header("X-Unit-ID");
  const std::string id = value != nullptr && std::strlen(value) < kHeaderValueCapacity
                             ? identifier_from(value)
                             : std::string();
  if (id.empty()) return unusable_from(Code::kEnrollmentUnusable, host, reply, "no identifier");
  // The identifier file is read back as at most 99 characters.
  if (id.size() > kUnitIdCapacity - 1) {
    return unusable_from(Code::kEnrollmentUnusable, host, reply,
                         "identifier longer than 99 characters");
  }
  value = reply.header("X-ZOR-PublicKey");
  if (value == nullptr || value[0] == '\0' || std::strlen(value) >= kHeaderValueCapacity) {
    return unusable_from(Code::kEnrollmentUnusable, host, reply, "no server key");
  }
  EvpPkeyPtr key = server_key_from(value);
  if (!key || !server_key_acceptable(key.get())) {
    return unusable_from(Code::kEnrollmentUnusable, host, reply, "server key unusable");
  }
  unit_id = id;
  server_key = std::move(key);
  return {};
}

Status keygen(ServerLink* link) {
  // Never fall back to a predictable seed: a unit key must be unguessable.
  if (!system_random_seeded()) return Status(Code::kNoRandomness);
  link->unit_key = generate_unit_key();
  if (!link->unit_key) return Status(Code::kKeysNotStored);
  std::string public_pem = rsa_public_pem(link->unit_key.get());
  std::string private_pem = rsa_private_pem(link->unit_key.get());
  if (public_pem.empty() || private_pem.empty() ||
      !write_file_atomic(kUnitPublicKeyPath, public_pem, 0644) ||
      !write_file_atomic(kUnitPrivateKeyPath, private_pem, 0600)) {
    return Status(Code::kKeysNotStored);
  }
  return {};
}

Status activate(ServerLink* link) {
  std::string key_text = key_text_for_header(link->unit_key.get());
  if (key_text.empty()) return Status(Code::kKeysNotStored);
  RequestText request(kEnrollmentCapacity);
  request.add("GET /activate?mac=").add(link->mac).add(" HTTP/1.1\r\n");
  request.add("Host: ").add(link->host).add("\r\n");
  request.add("X-Unit-PublicKey: ").add(key_text).add("\r\n\r\n");
  if (!request.ok()) return Status(Code::kEnrollmentRefused, link->host, "no request sent");

  ReplySink reply(kEnrollmentCapacity);
  ssl_sendrequest(link->ssl.get(), request.c_str(), reply);
  std::string unit_id;
  EvpPkeyPtr server_key;
  Status parsed = parse_enrollment_reply(reply, link->host, unit_id, server_key);
  if (!parsed.ok()) return parsed;

  // The server key is stored only once the server confirmed the enrollment.
  if (!write_file_atomic(kUnitIdPath, unit_id, 0644)) return Status(Code::kKeysNotStored);
  link->unit_id = unit_id;
  link->server_key = std::move(server_key);
  return {};
}

Status confirmactivate(ServerLink* link) {
  RequestText request(kConfirmationCapacity);
  request.add("GET /activate?confirm&mac=").add(link->mac).add(" HTTP/1.1\r\n");
  request.add("Host: ").add(link->host).add("\r\n");
  request.add("X-Unit-ID: ").add(link->unit_id).add("\r\n\r\n");
  if (!request.ok()) {
    return Status(Code::kConfirmationRefused, link->host, "no request sent");
  }
  ReplySink reply(kConfirmationCapacity);
  ssl_sendrequest(link->ssl.get(), request.c_str(), reply);
  if (reply.status_code() != 200) {
    return refused_by(Code::kConfirmationRefused, link->host, reply);
  }
  return reply.whole() ? Status() : unusable_from(Code::kConfirmationUnusable, link->host, reply);
}

namespace {

// Key generation, the enrollment request, the confirmation and the server
// key's publication; a refusal removes the key files this run wrote.
Status enroll(ServerLink* link) {
  Status status = keygen(link);
  if (status.ok()) status = activate(link);
  if (status.ok()) status = ssl_reconnect(link);
  if (status.ok()) status = confirmactivate(link);
  if (status.ok()) status = publish_enrollment(link);
  if (!status.ok()) cleanup_nvram();
  return status;
}

}  // namespace

Status enroll_unit(ServerLink* link) {
  // Whether the unit is enrolled is decided holding the update lock: a unit
  // without a state directory of its own gets one first, and the lock in it.
  Status status;
  if (!link->run_lock.valid()) {
    status = prepare_state_dir();
    if (status.ok()) status = lock_unit(kUpdateLockPath, kLockWaitSeconds, link->run_lock);
  }
  if (status.ok() && !checkunitactivated()) status = enroll(link);
  // After a fresh enrollment this reads back what was just stored.
  if (status.ok()) status = load_identity(link, KeyUse::kDecrypt);
  if (!status.ok()) ssl_disconnect(link);
  return status;
}

}  // namespace halvorpin
