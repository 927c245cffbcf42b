// TLS over TCP/IPv4 to the collection server: bounded connect, socket
// time-outs, the CA bundle as the only trust, and re-connection that offers
// to resume the TLS session.
#pragma once

#include <openssl/ssl.h>

#include <cerrno>

#include "base/server_link.h"
#include "base/status.h"

namespace halvorpin {

// Switches the socket between blocking and non-blocking use.
void set_blocking(int fd, bool blocking);

// Whether a wait that failed with `error` is to be made again: it was
// interrupted, or the kernel was short of memory for it for a moment.
inline bool wait_again(int error) { return error == EINTR || error == ENOMEM; }

// A connected, blocking TCP socket to host:port in `sock`, with the receive
// and send time-outs set. kResolveFailed, kSocketFailed, kConnectFailed or
// kConnectTimeout when there is none.
Status tcp_connect(const char* host, int port, UniqueFd& sock);

// A new client context in `ctx` trusting only the CA bundle; kCaUnreadable
// when the bundle cannot be loaded.
Status initialize_ctx(SslCtxPtr& ctx);

// The TLS connection to link->host:link->port: the link's context (made on
// its first connection), a TCP connection and the handshake (as a whole
// within the receive bound, when there is one). kHandshakeFailed, or the
// failure of the steps before it.
Status ssl_connect(ServerLink* link);

// Closes the current connection and opens a new one to the same endpoint,
// offering the old TLS session, and checks the server as the first
// connection was checked. A failed handshake is reported ("SSL reconnect
// error") and the run goes on without a connection: the next request fails
// as a write.
Status ssl_reconnect(ServerLink* link);

// Releases the connection and closes the socket; the context stays for the
// run's next connection.
void ssl_disconnect(ServerLink* link);

// Gives `other` (the package host's link) the run's context: one context
// per run, so the CA bundle is read once whatever the run connects to. Each
// connection keeps its own name check and SNI.
void share_context(const ServerLink& run_link, ServerLink* other);

}  // namespace halvorpin
