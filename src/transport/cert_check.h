// The server certificate test: chain verified against the CA bundle, then
// the host name matched against the certificate's names: its DNS subject
// alternative names when it has any, otherwise the subject's common name;
// an address also by an IP-address alternative name.
#pragma once

#include <openssl/ssl.h>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// Whether the certificate passes: kCertNotVerified (its reason says how the
// unit's clock lies outside the failing certificate's validity, when that is
// the failure) or kNameMismatch otherwise.
Status check_cert(SSL* ssl, const char* host);

// Whether the certificate is for `host`. With DNS alternative names only
// they count (a wildcard only as the whole leftmost label, never over a
// single-label suffix, never for an address); without them the subject's
// first common name, by pattern_match (no wildcard for an address). A host
// given as an address also matches an IP-address alternative name.
bool certificate_names_host(X509* cert, const char* host);

// The verification callback of every context: verification goes on as the
// library's own would, and a certificate that is not valid at the unit's
// time is noted in the link the connection belongs to (its app data).
int note_clock_failure(int preverify_ok, X509_STORE_CTX* store);

// Opens the link's connection and checks the certificate: every command's
// first connection and the package host's.
Status open_checked_connection(ServerLink* link);

// True when the resolver takes `host` as an address in any form it knows,
// not as a name to look up.
bool is_address_literal(const char* host);

// 1 when `string` matches `pattern`: letters compare without case, and each
// '*' in the pattern matches a run, possibly empty, of characters other
// than '.'. Runs in time polynomial in the lengths.
int pattern_match(const char* pattern, const char* string);

}  // namespace halvorpin
