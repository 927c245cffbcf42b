// Signed packages, switched on by the operator's keys. When
// /etc/package-keys.pem exists, every package installed must come with a
// detached signature (<locator>.sig, as `openssl dgst -sha256 -sign KEY`
// makes it) that one of its keys verifies over the archive: the gzip file
// as the operator built it, after decryption for an encrypted package.
// Without the file nothing changes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/owned.h"

namespace halvorpin {

class PackageKeys {
 public:
  enum class State {
    kAbsent,    // no key file: packages are not signed
    kUsable,    // every package needs a signature one of the keys verifies
    kUnusable,  // a key file the unit cannot rely on: nothing is installed
  };

  // Reads the key file: PEM public keys, RSA of 2048 bits or more or ECDSA
  // on P-256, any one of which may verify. A file that is not root's, is
  // writable by group or others, cannot be read or holds no such key is
  // unusable.
  static PackageKeys load(const char* path);

  State state() const { return state_; }
  // True when one of the keys verifies `signature` (PKCS #1 v1.5 for RSA,
  // DER for ECDSA) over the SHA-256 `digest` of the archive.
  bool verify(const unsigned char* digest, std::size_t digest_length,
              const std::string& signature) const;

 private:
  State state_ = State::kAbsent;
  std::vector<EvpPkeyPtr> keys_;
};

}  // namespace halvorpin
