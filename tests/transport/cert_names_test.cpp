#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "base/owned.h"
#include "transport/cert_check.h"

namespace halvorpin {
namespace {

struct AltName {
  int type;           // GEN_DNS or GEN_IPADD
  std::string value;  // the DNS name's bytes, or the address's bytes
};

// A certificate with these names only: enough for the name check, which
// comes after the chain was verified.
X509Ptr certificate(const std::string& common_name, const std::vector<AltName>& alt_names) {
  X509Ptr cert(X509_new());
  if (!common_name.empty()) {
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name.data()),
                               static_cast<int>(common_name.size()), -1, 0);
  }
  if (!alt_names.empty()) {
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    for (const AltName& alt : alt_names) {
      ASN1_STRING* value =
          ASN1_STRING_type_new(alt.type == GEN_DNS ? V_ASN1_IA5STRING : V_ASN1_OCTET_STRING);
      ASN1_STRING_set(value, alt.value.data(), static_cast<int>(alt.value.size()));
      GENERAL_NAME* name = GENERAL_NAME_new();
      GENERAL_NAME_set0_value(name, alt.type, value);
      sk_GENERAL_NAME_push(names, name);
    }
    X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT);
    GENERAL_NAMES_free(names);
  }
  return cert;
}

AltName dns(const std::string& name) { return {GEN_DNS, name}; }
AltName ip(const std::string& bytes) { return {GEN_IPADD, bytes}; }

const std::string kLoopback2("\x7f\x00\x00\x02", 4);

// With DNS alternative names only they count, by the rules of RFC 6125;
// without them the common name, by the client's pattern match.
TEST(CertificateNames, AsRfc6125HasThem) {
  const struct {
    const char* name;
    std::string common_name;
    std::vector<AltName> alt_names;
    const char* host;
    bool named;
  } cases[] = {
      {"common-name-alone", "Collector.TEST", {}, "collector.test", true},
      {"common-name-pattern", "*lector.test", {}, "collector.test", true},
      {"dns-name", "other.test", {dns("COLLECTOR.test")}, "collector.test", true},
      {"common-name-ignored-beside-dns-names",
       "collector.test",
       {dns("other.test")},
       "collector.test",
       false},
      {"wildcard-leftmost-label", "", {dns("*.example.test")}, "a.example.test", true},
      {"wildcard-one-label-only", "", {dns("*.example.test")}, "a.b.example.test", false},
      {"wildcard-over-one-label-suffix", "", {dns("*.test")}, "collector.test", false},
      {"two-wildcards", "", {dns("*.*")}, "collector.test", false},
      {"wildcard-not-leftmost", "", {dns("collector.*")}, "collector.test", false},
      {"partial-wildcard", "", {dns("col*.example.test")}, "collector.example.test", false},
      {"nul-in-dns-name",
       "",
       {dns(std::string("collector.test\0.other.test", 26))},
       "collector.test",
       false},
      {"address-by-ip-name", "", {ip(kLoopback2)}, "127.0.0.2", true},
      {"address-in-resolver-form", "", {ip(kLoopback2)}, "127.2", true},
      {"address-ip-name-beside-dns-names",
       "",
       {dns("other.test"), ip(kLoopback2)},
       "127.0.0.2",
       true},
      {"address-never-by-dns-name", "", {dns("127.0.0.2")}, "127.0.0.2", false},
      {"address-by-common-name", "127.0.0.2", {}, "127.0.0.2", true},
      {"address-no-wildcard", "*.0.0.2", {}, "127.0.0.2", false},
      {"ip-name-for-a-name", "", {ip(kLoopback2)}, "collector.test", false},
      {"no-names", "", {}, "collector.test", false},
  };
  for (const auto& c : cases) {
    X509Ptr cert = certificate(c.common_name, c.alt_names);
    EXPECT_EQ(certificate_names_host(cert.get(), c.host), c.named) << c.name;
  }
}

}  // namespace
}  // namespace halvorpin
