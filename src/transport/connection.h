// TLS over TCP/IPv4 to the collection server: bounded connect, socket
// time-outs, the CA bundle as the only trust, and re-connection that offers
// to resume the TLS session.
#pragma once

#include <openssl/ssl.h>

#include "base/server_link.h"

namespace halvorpin {

// The TLS library's error stream on standard error, created on first use.
BIO* bio_err();

// A connected, blocking TCP socket to host:port with the receive and send
// time-outs set. Every failure ends the run (RunAbort) with its message.
UniqueFd tcp_connect(const char* host, int port);

// A new client context trusting only the CA bundle; ends the run when the
// bundle cannot be loaded.
SslCtxPtr initialize_ctx();

// 1 when the TLS handshake with link->host:link->port completed, else 0.
// With a receive bound, the handshake as a whole must finish within it.
int ssl_connect(ServerLink* link);

// Closes the current connection and opens a new one to the same endpoint,
// offering the old TLS session, and checks the server as the first
// connection was checked (a failed check ends the run). A failed handshake is
// reported and the run goes on without a connection: the next request fails
// as a write.
void ssl_reconnect(ServerLink* link);

// Releases the connection and its context and closes the socket.
void ssl_disconnect(ServerLink* link);

}  // namespace halvorpin
