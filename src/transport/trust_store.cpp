#include "transport/trust_store.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/owned.h"
#include "base/paths.h"
#include "transport/ca_bundle.h"

namespace halvorpin {
namespace {

// Far more than any unit's flash holds.
constexpr off_t kBundleLimit = off_t{16} << 20;

// What the lookup searches for the run: the bundle's text, its certificate
// blocks, and the lookup's method, which lives exactly as long as its one
// lookup.
struct BundleLookup {
  std::string pem;
  std::vector<CaBlock> blocks;
  X509LookupMethodPtr method;
};

// The whole file in one read, or false with the system's reason queued as
// the library's own loading queued it.
bool read_bundle(std::string& pem) {
  UniqueFd fd(::open(kCaBundlePath, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    ERR_raise_data(ERR_LIB_SYS, errno, "calling open(%s)", kCaBundlePath);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > kBundleLimit) return false;
  pem.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < pem.size()) {
    const ssize_t n = ::read(fd.get(), &pem[got], pem.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  pem.resize(got);
  return true;
}

// As SSL_CTX_load_verify_locations loads a file: every certificate and
// revocation list, or nothing when one block cannot be read.
bool load_whole(X509_STORE* store, const std::string& pem) {
  BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  // An empty password, as the library's loading gives: nothing is ever asked.
  char no_password[] = "";
  X509InfosPtr infos(in ? PEM_X509_INFO_read_bio(in.get(), nullptr, nullptr, no_password)
                        : nullptr);
  if (!infos) ERR_raise(ERR_LIB_X509, ERR_R_PEM_LIB);
  int count = 0;
  for (int i = 0; infos && i < sk_X509_INFO_num(infos.get()); ++i) {
    const X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
    if ((info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) != 1) ||
        (info->crl != nullptr && X509_STORE_add_crl(store, info->crl) != 1)) {
      return false;
    }
    count += (info->x509 != nullptr ? 1 : 0) + (info->crl != nullptr ? 1 : 0);
  }
  if (infos && count == 0) ERR_raise(ERR_LIB_X509, X509_R_NO_CERTIFICATE_OR_CRL_FOUND);
  return count > 0;
}

X509Ptr decode_block(const BundleLookup& bundle, const CaBlock& block) {
  const std::vector<unsigned char> der = block_der(bundle.pem, block);
  const unsigned char* at = der.data();
  return X509Ptr(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
}

// The lookup's answer points at the store's own copy: the library takes a
// reference of its own to what a lookup answers, as with its own lookups.
int answer_with(X509_OBJECT* ret, X509* stored) {
  if (X509_OBJECT_set1_X509(ret, stored) != 1) return 0;
  X509Ptr given_back(stored);  // the reference the answer took
  return 1;
}

// Called by the verification for a subject the store does not hold yet:
// every certificate of the bundle with that subject goes into the store (so
// the library chooses among them as if it had loaded the whole file), and
// one of them is the answer.
int find_by_subject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                    X509_OBJECT* ret) {
  const auto* bundle = static_cast<const BundleLookup*>(X509_LOOKUP_get_method_data(lookup));
  if (type != X509_LU_X509 || bundle == nullptr) return 0;
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  std::uint64_t key = 0;
  // A name the scan does not read may equal any certificate's subject.
  const bool keyed = X509_NAME_get0_der(name, &der, &length) == 1 && name_key(der, length, key);
  X509_STORE* store = X509_LOOKUP_get_store(lookup);
  X509Ptr first;
  ERR_set_mark();  // nothing of a search is the run's error
  for (const CaBlock& block : bundle->blocks) {
    if (keyed && block.subject_key != key) continue;
    X509Ptr cert = decode_block(*bundle, block);
    if (!cert || X509_NAME_cmp(X509_get_subject_name(cert.get()), name) != 0 ||
        X509_STORE_add_cert(store, cert.get()) != 1) {
      continue;
    }
    if (!first) first = std::move(cert);
  }
  ERR_pop_to_mark();
  return first ? answer_with(ret, first.get()) : 0;
}

void free_bundle(X509_LOOKUP* lookup) {
  // The method goes too: the library uses it no more once its one lookup
  // is freed.
  std::unique_ptr<BundleLookup> owned(
      static_cast<BundleLookup*>(X509_LOOKUP_get_method_data(lookup)));
}

}  // namespace

Status trust_ca_bundle(SSL_CTX* ctx) {
  auto bundle = std::make_unique<BundleLookup>();
  if (!read_bundle(bundle->pem)) return Status(Code::kCaUnreadable);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (!scan_ca_bundle(bundle->pem, bundle->blocks)) {
    return load_whole(store, bundle->pem) ? Status() : Status(Code::kCaUnreadable);
  }
  bundle->method.reset(X509_LOOKUP_meth_new("halvorpin CA bundle"));
  X509_LOOKUP_METHOD* method = bundle->method.get();
  X509_LOOKUP* lookup = nullptr;
  if (method == nullptr || X509_LOOKUP_meth_set_get_by_subject(method, find_by_subject) != 1 ||
      X509_LOOKUP_meth_set_free(method, free_bundle) != 1 ||
      (lookup = X509_STORE_add_lookup(store, method)) == nullptr) {
    return Status(Code::kCaUnreadable);
  }
  (void)X509_LOOKUP_set_method_data(lookup, bundle.release());
  return {};
}

}  // namespace halvorpin
