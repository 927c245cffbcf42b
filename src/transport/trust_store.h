// The trust of every connection of a run: the CA bundle, read once as the
// run's TLS context is made. Its certificates reach the library when a chain
// asks for an issuer by subject (ca_bundle.h). A bundle holding anything
// else, or one that cannot be read, the library loads whole itself, as it
// always did: the same outcome and the same messages.
#pragma once

#include <openssl/ssl.h>

namespace halvorpin {

// Makes `ctx` trust the CA bundle and nothing else. False when the library
// cannot load a bundle the scan leaves to it (none, unreadable, no
// certificate in it, a block it cannot read), its reasons queued.
bool trust_ca_bundle(SSL_CTX* ctx);

}  // namespace halvorpin
