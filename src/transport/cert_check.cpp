#include "transport/cert_check.h"

#include <netdb.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/owned.h"
#include "transport/connection.h"

namespace halvorpin {
namespace {

constexpr std::size_t kCommonNameCapacity = 256;

// Matching with memoised star positions: a star's outcome depends only on
// where the pattern resumes and where the string scan starts, so each pair
// is worked out once instead of once per path through earlier stars.
class WildcardMatcher {
 public:
  WildcardMatcher(const char* pattern, const char* string)
      : pattern_(pattern),
        string_(string),
        string_length_(std::strlen(string)),
        memo_((std::strlen(pattern) + 1) * (string_length_ + 1), kUnknown) {}

  bool match(std::size_t p, std::size_t s) {
    for (;;) {
      char pc = ascii_lower(pattern_[p]);
      if (pc == '\0') return string_[s] == '\0';
      if (pc == '*') break;
      if (string_[s] == '\0' || ascii_lower(string_[s]) != pc) return false;
      ++p;
      ++s;
    }
    while (pattern_[p] == '*') ++p;  // a run of stars acts as one
    int8_t& known = memo_[p * (string_length_ + 1) + s];
    if (known == kUnknown) known = scan_star(p, s) ? 1 : 0;
    return known == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  // The star may end at any position before the next '.'.
  bool scan_star(std::size_t p, std::size_t s) {
    char next = ascii_lower(pattern_[p]);
    for (std::size_t i = s; string_[i] != '\0'; ++i) {
      if (ascii_lower(string_[i]) == next && match(p, i)) return true;
      if (string_[i] == '.') return false;
    }
    return next == '\0';
  }

  const char* pattern_;
  const char* string_;
  std::size_t string_length_;
  std::vector<int8_t> memo_;
};

// The address bytes of `host` when the resolver takes it as an address in
// any form it knows (127.2 and 0x7f.0.0.2 included), not as a name; empty
// for a name.
std::string address_bytes(const char* host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0) return {};
  std::string bytes;
  if (list->ai_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    bytes.assign(reinterpret_cast<const char*>(&in->sin_addr), sizeof in->sin_addr);
  } else if (list->ai_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(list->ai_addr);
    bytes.assign(reinterpret_cast<const char*>(&in6->sin6_addr), sizeof in6->sin6_addr);
  }
  freeaddrinfo(list);
  return bytes;
}

// A name as text when it holds no NUL and fits the common-name buffer: a
// name cut short, like one cut at a NUL, could pass as another.
bool name_text(const ASN1_STRING* data, char (&out)[kCommonNameCapacity]) {
  const unsigned char* bytes = data != nullptr ? ASN1_STRING_get0_data(data) : nullptr;
  if (bytes == nullptr) return false;
  auto length = static_cast<std::size_t>(ASN1_STRING_length(data));
  if (length > kCommonNameCapacity - 1 || std::memchr(bytes, 0, length) != nullptr) return false;
  std::memcpy(out, bytes, length);
  out[length] = '\0';
  return true;
}

// The subject's first common name as text, or false when there is none or
// it is not usable text.
bool first_common_name(X509* cert, char (&out)[kCommonNameCapacity]) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int index = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
  if (index < 0) return false;
  return name_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)), out);
}

// An address has no labels for a star to stand in for: it must be named
// exactly.
bool name_matches(const char* name, const char* host) {
  if (is_address_literal(host) && std::strchr(name, '*') != nullptr) return false;
  return pattern_match(name, host) == 1;
}

struct GeneralNamesFree {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, GeneralNamesFree>;

GeneralNamesPtr alternative_names(X509* cert) {
  return GeneralNamesPtr(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
}

bool has_dns_name(const GENERAL_NAMES* names) {
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    if (sk_GENERAL_NAME_value(names, i)->type == GEN_DNS) return true;
  }
  return false;
}

// An IP-address alternative name that equals the address bytes.
bool has_address(const GENERAL_NAMES* names, const std::string& address) {
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    int type = 0;
    const auto* value = static_cast<const ASN1_STRING*>(
        GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names, i), &type));
    if (type == GEN_IPADD && value != nullptr &&
        static_cast<std::size_t>(ASN1_STRING_length(value)) == address.size() &&
        std::memcmp(ASN1_STRING_get0_data(value), address.data(), address.size()) == 0) {
      return true;
    }
  }
  return false;
}

// "YYYY-MM-DD HH:MM:SS" in `out`, or "?" when there is no time to show.
void put_utc(const std::tm* when, char (&out)[32]) {
  if (when == nullptr || std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", when) == 0) {
    out[0] = '?';
    out[1] = '\0';
  }
}

const std::tm* parts_of(const ASN1_TIME* when, std::tm& parts) {
  return when != nullptr && ASN1_TIME_to_tm(when, &parts) == 1 ? &parts : nullptr;
}

std::string clock_note_for(X509* cert) {
  const std::time_t now = std::time(nullptr);
  std::tm parts[3] = {};
  char unit_time[32], from[32], until[32];
  put_utc(::gmtime_r(&now, &parts[0]), unit_time);
  put_utc(parts_of(X509_get0_notBefore(cert), parts[1]), from);
  put_utc(parts_of(X509_get0_notAfter(cert), parts[2]), until);
  char note[160];
  std::snprintf(note, sizeof note,
                "Unit clock %s UTC is outside the certificate's validity (%s UTC to %s UTC)",
                unit_time, from, until);
  return note;
}

}  // namespace

bool is_address_literal(const char* host) { return !address_bytes(host).empty(); }

int note_clock_failure(int preverify_ok, X509_STORE_CTX* store) {
  if (preverify_ok != 0) return preverify_ok;
  const int error = X509_STORE_CTX_get_error(store);
  if (error != X509_V_ERR_CERT_NOT_YET_VALID && error != X509_V_ERR_CERT_HAS_EXPIRED) return 0;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* link = ssl != nullptr ? static_cast<ServerLink*>(SSL_get_app_data(ssl)) : nullptr;
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (link != nullptr && cert != nullptr) link->cert_clock_note = clock_note_for(cert);
  return 0;  // the first failure ends the verification, as by default
}

int pattern_match(const char* pattern, const char* string) {
  return WildcardMatcher(pattern, string).match(0, 0) ? 1 : 0;
}

Status open_checked_connection(ServerLink* link) {
  Status status = ssl_connect(link);
  return status.ok() ? check_cert(link->ssl.get(), link->host.c_str()) : status;
}

Status check_cert(SSL* ssl, const char* host) {
  if (SSL_get_verify_result(ssl) != X509_V_OK) {
    const auto* link = static_cast<const ServerLink*>(SSL_get_app_data(ssl));
    return Status(Code::kCertNotVerified, link != nullptr ? link->cert_clock_note : "");
  }
  X509Ptr peer(SSL_get1_peer_certificate(ssl));
  return peer && certificate_names_host(peer.get(), host) ? Status() : Status(Code::kNameMismatch);
}

bool certificate_names_host(X509* cert, const char* host) {
  const GeneralNamesPtr names = alternative_names(cert);
  const std::string address = address_bytes(host);
  if (!address.empty() && has_address(names.get(), address)) return true;
  if (has_dns_name(names.get())) {
    // Only the DNS names count then, by the library's own rules: a wildcard
    // only as the whole leftmost label and never over a one-label suffix,
    // and never for an address.
    return address.empty() && X509_check_host(cert, host, std::strlen(host),
                                              X509_CHECK_FLAG_NEVER_CHECK_SUBJECT |
                                                  X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                                              nullptr) == 1;
  }
  char common_name[kCommonNameCapacity] = {};
  return first_common_name(cert, common_name) && name_matches(common_name, host);
}

}  // namespace halvorpin
