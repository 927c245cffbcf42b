// The trust of every connection of a run: the CA bundle, read once as the
// run's TLS context is made. Its certificates reach the library when a chain
// asks for an issuer by subject (ca_bundle.h); a bundle holding anything
// else is loaded whole, as the library itself loads a file.
#pragma once

#include <openssl/ssl.h>

#include "base/status.h"

namespace halvorpin {

// Makes `ctx` trust the CA bundle and nothing else. kCaUnreadable when the
// bundle cannot be read, or when loading it whole finds no certificate or
// something the library cannot read.
Status trust_ca_bundle(SSL_CTX* ctx);

}  // namespace halvorpin
