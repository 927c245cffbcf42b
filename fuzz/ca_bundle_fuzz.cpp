// Fuzz target for the CA bundle scan: a text the scan takes in is read by
// the library's own reader too, as the same certificates (so trusting the
// scanned blocks is trusting the file loaded whole), each block decodes to
// the library's certificate, and subjects the library's comparison counts
// as equal share a key.
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

std::uint64_t subject_key(X509* cert) {
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  std::uint64_t key = 0;
  if (X509_NAME_get0_der(X509_get_subject_name(cert), &der, &length) != 1 ||
      !name_key(der, length, key)) {
    std::abort();
  }
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<CaBlock> blocks;
  if (!scan_ca_bundle(text, blocks)) return 0;
  BioPtr in(BIO_new_mem_buf(data, static_cast<int>(size)));
  char no_password[] = "";
  X509InfosPtr infos(
      PEM_X509_INFO_read_bio_ex(in.get(), nullptr, nullptr, no_password, keyless(), nullptr));
  if (!infos || static_cast<std::size_t>(sk_X509_INFO_num(infos.get())) != blocks.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    X509* cert = sk_X509_INFO_value(infos.get(), static_cast<int>(i))->x509;
    unsigned char* der = nullptr;
    const int length = cert != nullptr ? i2d_X509(cert, &der) : -1;
    const std::vector<unsigned char> ours = block_der(text, blocks[i]);
    const bool same = length > 0 && ours == std::vector<unsigned char>(der, der + length);
    OPENSSL_free(der);
    if (!same || subject_key(cert) != blocks[i].subject_key) std::abort();
    for (std::size_t j = 0; j < i; ++j) {
      X509* earlier = sk_X509_INFO_value(infos.get(), static_cast<int>(j))->x509;
      if (X509_NAME_cmp(X509_get_subject_name(cert), X509_get_subject_name(earlier)) == 0 &&
          blocks[i].subject_key != blocks[j].subject_key) {
        std::abort();
      }
    }
  }
  return 0;
}
