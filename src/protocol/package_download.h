// Fetching a measurement package from the host its locator names.
#pragma once

#include <cstdio>
#include <string>

#include "base/server_link.h"
#include "base/status.h"
#include "unit/package_signature.h"

namespace halvorpin {

inline constexpr std::size_t kLocatorHostCapacity = 200;  // at most 199 characters

struct PackageLocator {
  std::string host;
  int port = 443;
  std::string path;  // from the first '/' after the host on; may be empty
};

// [scheme "://"] host [":" port] [path]. False when the host is longer than
// 199 characters.
bool split_locator(const char* locator, PackageLocator& out);

// True when neither host nor path holds a blank, a control byte or DEL and
// the path starts with '/': nothing of the locator can change the request.
bool locator_usable(const PackageLocator& where);

// Downloads the package into the package store's archive (in the state
// directory): a clear package is moved onto that path, an encrypted one is
// decrypted block by block into `out` (a stream the caller opened on that
// path). The package host's certificate is checked like the collection
// server's. kLocatorUnusable (nothing sent), kDownloadRefused (reason: the
// host and the reply's status line; at most 64 KiB of its body stays in the
// temporary file), kDownloadCutShort, kPackageNotStored (no work file left
// behind), or what connecting to the host gave.
// With `keys` (the operator's, usable), the archive must also come with a
// signature, "<path>.sig" from the same host, that one of them verifies over
// the archive as it arrived (after decryption): kSignatureMissing (reason:
// the host and the status line) or kSignatureBad (reason: the locator).
Status packages(ServerLink* link, const char* locator, FILE* out,
                const PackageKeys* keys = nullptr);

}  // namespace halvorpin
