// The server certificate test: chain verified against the CA bundle, then
// the subject's common name matched against the host name.
#pragma once

#include <openssl/ssl.h>

#include "base/server_link.h"

namespace halvorpin {

// Returns 1 when the certificate passes; otherwise ends the run (RunAbort)
// with "Certificate doesn't verify" or "Common name doesn't match host name".
int check_cert(SSL* ssl, const char* host);

// Opens the link's connection and checks the certificate: every command's
// first connection and the package host's. A failed handshake ends the run
// with "Unable to create HttpSocket", a refused certificate with its message.
void open_checked_connection(ServerLink* link);

// 1 when `string` matches `pattern`: letters compare without case, and each
// '*' in the pattern matches a run, possibly empty, of characters other
// than '.'. Runs in time polynomial in the lengths.
int pattern_match(const char* pattern, const char* string);

}  // namespace halvorpin
