// Fetching a measurement package from the host its locator names.
#pragma once

#include <cstdio>
#include <string>

#include "base/server_link.h"

namespace halvorpin {

// What `packages` returns when the package arrived but could not be stored.
inline constexpr int kPackageLocalFailure = -1;
// What `packages` returns when the run must end: the package host could not
// be reached or verified (the message is written).
inline constexpr int kPackageFatal = -2;
// What `packages` returns when the body ended before its announced end.
inline constexpr int kPackageCutShort = -3;

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

// Downloads the package into "/tmp/testpackage.tar.gz": a clear package is
// moved onto that path, an encrypted one is decrypted block by block into
// `out` (a stream the caller opened on that path). The package host's
// certificate is checked like the collection server's. 1 when the host
// answered "HTTP/1.1 200 OK" and the package was stored; 0 when the locator
// is unusable or the host refused (the message is written, with the reply's
// status line); kPackageCutShort (the message is written);
// kPackageLocalFailure when the package arrived but could not be stored here
// (no work file left behind); kPackageFatal.
int packages(ServerLink* link, const char* locator, FILE* out);

}  // namespace halvorpin
