#include "transport/trust_store.h"

#include <fcntl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/owned.h"
#include "base/paths.h"
#include "transport/ca_bundle.h"

namespace halvorpin {
namespace {

// Far more than any unit's flash holds.
constexpr off_t kBundleLimit = off_t{16} << 20;

// What the lookup searches for the run (the bundle's certificates as the
// scan lists them) and its method, which lives exactly as long as its one
// lookup.
struct BundleLookup {
  std::string list;
  X509LookupMethodPtr method;
};

// The whole file in one read (a regular file gives it all), or false.
bool read_bundle(std::string& pem) {
  UniqueFd fd(::open(kCaBundlePath, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > kBundleLimit) {
    return false;
  }
  pem.resize(static_cast<std::size_t>(st.st_size));
  return ::read(fd.get(), &pem[0], pem.size()) == st.st_size;
}

// Called by the verification for a subject the store does not hold yet:
// every certificate of the bundle with that subject goes into the store (so
// the library chooses among them as if it had loaded the whole file), and
// the first is the answer.
int find_by_subject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                    X509_OBJECT* ret) {
  const auto* bundle = static_cast<const BundleLookup*>(X509_LOOKUP_get_method_data(lookup));
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  std::uint32_t key = 0;
  // A name the scan does not read may equal any certificate's subject.
  const bool keyed = X509_NAME_get0_der(name, &der, &length) == 1 && name_key(der, length, key);
  X509* stored = nullptr;  // the store's own, once added
  CaEntry entry;
  for (std::size_t at = 0; type == X509_LU_X509 && next_ca_entry(bundle->list, at, entry);) {
    if (keyed && entry.subject_key != key) continue;
    der = entry.der;
    X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(entry.length)));
    if (cert && X509_NAME_cmp(X509_get_subject_name(cert.get()), name) == 0 &&
        X509_STORE_add_cert(X509_LOOKUP_get_store(lookup), cert.get()) == 1 && stored == nullptr) {
      stored = cert.get();
    }
  }
  // The answer points at the store's copy: the library takes a reference of
  // its own to what a lookup answers, as with its own lookups.
  if (stored == nullptr || X509_OBJECT_set1_X509(ret, stored) != 1) return 0;
  X509Ptr given_back(stored);  // the reference the answer took
  return 1;
}

void free_bundle(X509_LOOKUP* lookup) {
  // The method goes too: the library uses it no more once its one lookup
  // is freed.
  std::unique_ptr<BundleLookup> owned(
      static_cast<BundleLookup*>(X509_LOOKUP_get_method_data(lookup)));
}

}  // namespace

bool trust_ca_bundle(SSL_CTX* ctx) {
  auto bundle = std::make_unique<BundleLookup>();
  std::string pem;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  X509_LOOKUP* lookup = nullptr;
  if (read_bundle(pem) && scan_ca_bundle(pem, bundle->list)) {
    bundle->method.reset(X509_LOOKUP_meth_new("halvorpin CA bundle"));
    X509_LOOKUP_METHOD* method = bundle->method.get();
    if (method != nullptr && X509_LOOKUP_meth_set_get_by_subject(method, find_by_subject) == 1 &&
        X509_LOOKUP_meth_set_free(method, free_bundle) == 1) {
      lookup = X509_STORE_add_lookup(store, method);
    }
  }
  if (lookup != nullptr) {
    (void)X509_LOOKUP_set_method_data(lookup, bundle.release());
    return true;
  }
  // Anything the scan leaves to the library (a bundle that cannot be read
  // too) the library loads whole, with its own outcome and messages.
  return SSL_CTX_load_verify_locations(ctx, kCaBundlePath, nullptr) == 1;
}

}  // namespace halvorpin
