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
// time-outs set. On failure its message is written and the descriptor is
// invalid: the run ends with status 1.
UniqueFd tcp_connect(const char* host, int port);

// A new client context trusting only the CA bundle; null, with its message
// written, when the bundle cannot be loaded.
SslCtxPtr initialize_ctx();

// What ssl_connect returns when the run must end: no context, no host
// address or no TCP connection (the message is written).
inline constexpr int kConnectFatal = -1;

// 1 when the TLS handshake with link->host:link->port completed, 0 when it
// failed, kConnectFatal.
// With a receive bound, the handshake as a whole must finish within it.
int ssl_connect(ServerLink* link);

// Closes the current connection and opens a new one to the same endpoint,
// offering the old TLS session, and checks the server as the first
// connection was checked. False when the run must end (no TCP connection or
// a failed check, the message written). A failed handshake is reported and
// the run goes on without a connection: the next request fails as a write.
bool ssl_reconnect(ServerLink* link);

// Releases the connection and its context and closes the socket.
void ssl_disconnect(ServerLink* link);

}  // namespace halvorpin
