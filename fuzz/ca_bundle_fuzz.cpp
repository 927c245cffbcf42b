// Fuzz target for the CA bundle scan: the library's PEM reader finds in a
// text the scan takes in the same certificate blocks with the same bytes;
// when the library reads the text whole (it may refuse a value the scan
// leaves to its decoder), the subjects have the keys the scan gave them,
// and subjects its comparison counts as equal share a key.
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/owned.h"
#include "transport/ca_bundle.h"

using namespace halvorpin;

namespace {

// Certificates decoded without their keys: whether a block decodes does not
// depend on its key, and the decoders would dominate every run.
OSSL_LIB_CTX* keyless() {
  static OSSL_LIB_CTX* context = [] {
    OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
    (void)OSSL_PROVIDER_load(made, "null");
    return made;
  }();
  return context;
}

std::uint32_t subject_key(X509* cert) {
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  std::uint32_t key = 0;
  if (X509_NAME_get0_der(X509_get_subject_name(cert), &der, &length) != 1 ||
      !name_key(der, length, key)) {
    std::abort();
  }
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string list;
  if (!scan_ca_bundle(text, list)) return 0;
  std::vector<CaEntry> entries;
  CaEntry entry;
  for (std::size_t at = 0; next_ca_entry(list, at, entry);) entries.push_back(entry);
  BioPtr blocks(BIO_new_mem_buf(data, static_cast<int>(size)));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* bytes = nullptr;
  long block_length = 0;
  std::size_t found = 0;
  while (PEM_read_bio(blocks.get(), &name, &header, &bytes, &block_length) == 1) {
    const bool same = found < entries.size() && std::strcmp(name, "CERTIFICATE") == 0 &&
                      static_cast<std::size_t>(block_length) == entries[found].length &&
                      std::memcmp(bytes, entries[found].der, entries[found].length) == 0;
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(bytes);
    if (!same) std::abort();
    ++found;
  }
  if (found != entries.size()) std::abort();

  BioPtr in(BIO_new_mem_buf(data, static_cast<int>(size)));
  char no_password[] = "";
  X509InfosPtr infos(
      PEM_X509_INFO_read_bio_ex(in.get(), nullptr, nullptr, no_password, keyless(), nullptr));
  if (!infos) return 0;
  if (static_cast<std::size_t>(sk_X509_INFO_num(infos.get())) != entries.size()) std::abort();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The bytes are the reader's (above): the certificate is the library's.
    X509* cert = sk_X509_INFO_value(infos.get(), static_cast<int>(i))->x509;
    if (cert == nullptr || subject_key(cert) != entries[i].subject_key) std::abort();
    for (std::size_t j = 0; j < i; ++j) {
      X509* earlier = sk_X509_INFO_value(infos.get(), static_cast<int>(j))->x509;
      if (X509_NAME_cmp(X509_get_subject_name(cert), X509_get_subject_name(earlier)) == 0 &&
          entries[i].subject_key != entries[j].subject_key) {
        std::abort();
      }
    }
  }
  return 0;
}
