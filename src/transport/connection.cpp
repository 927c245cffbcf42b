#include "transport/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

#include "base/monotonic.h"
#include "transport/cert_check.h"
#include "transport/trust_store.h"

namespace halvorpin {
namespace {

constexpr std::size_t kReadAheadBytes = std::size_t{64} * 1024;

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

bool resolve_first_ipv4(const char* host, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &raw) != 0 || raw == nullptr) return false;
  std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  out = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
  return true;
}

// Waits up to `seconds` for a non-blocking connect to finish. A negative
// wait is refused outright, as a select() with such a time value would be.
bool wait_writable(int fd, int seconds) {
  if (seconds < 0) return false;
  const double deadline = monotonic_seconds() + seconds;
  int ready = 0;
  do {
    const double left = (deadline - monotonic_seconds()) * 1000;
    pollfd entry{fd, POLLOUT, 0};
    ready = ::poll(&entry, 1,
                   left <= 0         ? 0
                   : left >= INT_MAX ? INT_MAX
                                     : static_cast<int>(left) + 1);
  } while (ready < 0 && wait_again(errno));
  return ready > 0;
}

void set_socket_timeout(int fd, int option, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  (void)::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

void set_blocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) flags = 0;
  (void)::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

Status tcp_connect(const char* host, int port, UniqueFd& sock) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (!resolve_first_ipv4(host, address.sin_addr)) return Status(Code::kResolveFailed);

  // Close-on-exec, like every descriptor the client opens: the package's
  // start script, run while the connection is up, gets none of them.
  sock.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!sock.valid()) return Status(Code::kSocketFailed);
  set_blocking(sock.get(), false);

  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // An interrupted connect goes on in the background, as one in progress.
    if (errno != EINPROGRESS && errno != EINTR) return Status(Code::kConnectFailed);
    if (!wait_writable(sock.get(), g_timeouts.ct)) return Status(Code::kConnectTimeout);
    int pending = 0;
    socklen_t length = sizeof pending;
    (void)::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &pending, &length);
    if (pending != 0) return Status(Code::kConnectFailed);
  }

  set_blocking(sock.get(), true);
  set_socket_timeout(sock.get(), SO_RCVTIMEO, g_timeouts.rt);
  set_socket_timeout(sock.get(), SO_SNDTIMEO, g_timeouts.wt);
  return {};
}

Status initialize_ctx(SslCtxPtr& ctx) {
  ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx || !trust_ca_bundle(ctx.get())) {
    ctx.reset();
    return Status(Code::kCaUnreadable);
  }
  // Older protocols sign the handshake with SHA-1 and MD5; whatever the
  // library's configuration allows, the client does not go below TLS 1.2.
  (void)SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // A server may end its reply by closing TCP without a close notification;
  // that is the end of the reply, not an error that spoils the session.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // The chain's outcome is judged after the handshake (check_cert); the
  // callback only notes a certificate the unit's clock puts out of date.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, note_clock_failure);
  // Let one receive take in several records: a package download is a long
  // run of full records, and two receives per record double the system calls.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  SSL_CTX_set_default_read_buffer_len(ctx.get(), kReadAheadBytes);
  return {};
}

namespace {

// Binds a new TLS connection object to the link's socket.
bool attach_tls(ServerLink* link) {
  link->ssl.reset(SSL_new(link->ctx.get()));
  if (!link->ssl) return false;
  link->cert_clock_note.clear();
  (void)SSL_set_app_data(link->ssl.get(), link);
  // The name asked for, so a server with several names shows this one's
  // certificate; an address is never sent as a name.
  if (!is_address_literal(link->host.c_str()) &&
      SSL_set_tlsext_host_name(link->ssl.get(), link->host.c_str()) != 1) {
    return false;
  }
  link->sbio = BIO_new_socket(link->sock.get(), BIO_NOCLOSE);
  if (link->sbio == nullptr) return false;
  SSL_set_bio(link->ssl.get(), link->sbio, link->sbio);
  return true;
}

// The TLS handshake. With a receive bound the handshake as a whole must end
// within it: a peer that trickles bytes must not hold the run, so the socket
// is non-blocking meanwhile and every wait gets only the time that is left.
bool handshake(ServerLink* link) {
  SSL* ssl = link->ssl.get();
  if (g_timeouts.rt <= 0) return SSL_connect(ssl) > 0;
  const int fd = link->sock.get();
  const double deadline = monotonic_seconds() + g_timeouts.rt;
  set_blocking(fd, false);
  bool done = false;
  for (;;) {
    int result = SSL_connect(ssl);
    if (result > 0) {
      done = true;
      break;
    }
    int code = SSL_get_error(ssl, result);
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) break;
    double left = deadline - monotonic_seconds();
    if (left <= 0) break;
    pollfd entry{fd, static_cast<short>(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    int ms = left * 1000 > INT_MAX ? INT_MAX : static_cast<int>(left * 1000) + 1;
    if (::poll(&entry, 1, ms) < 0 && !wait_again(errno)) break;
  }
  set_blocking(fd, true);
  return done;
}

}  // namespace

Status ssl_connect(ServerLink* link) {
  // The context comes first, once per run: a missing CA bundle ends the run
  // before any traffic.
  Status status = link->ctx ? Status() : initialize_ctx(link->ctx);
  if (status.ok()) status = tcp_connect(link->host.c_str(), link->port, link->sock);
  if (!status.ok()) return status;
  if (!attach_tls(link) || !handshake(link)) return Status(Code::kHandshakeFailed);
  return {};
}

Status ssl_reconnect(ServerLink* link) {
  SslSessionPtr session(link->ssl ? SSL_get1_session(link->ssl.get()) : nullptr);
  if (link->ssl) (void)SSL_shutdown(link->ssl.get());
  link->ssl.reset();
  link->sbio = nullptr;
  link->sock.reset();

  Status status = tcp_connect(link->host.c_str(), link->port, link->sock);
  if (!status.ok()) return status;
  bool attached = attach_tls(link);
  if (attached && session) (void)SSL_set_session(link->ssl.get(), session.get());
  if (!attached || !handshake(link)) {
    std::fwrite("SSL reconnect error", 1, 19, stderr);
    // Nothing goes out on a connection that never came up: the next request
    // fails as a write, instead of starting a handshake of its own.
    link->ssl.reset();
    link->sbio = nullptr;
    return {};
  }
  // Whoever answers a new connection is checked again, resumed or not.
  return check_cert(link->ssl.get(), link->host.c_str());
}

void ssl_disconnect(ServerLink* link) {
  link->ssl.reset();
  link->sbio = nullptr;
  link->sock.reset();
}

void share_context(const ServerLink& run_link, ServerLink* other) {
  if (run_link.ctx && SSL_CTX_up_ref(run_link.ctx.get()) == 1) other->ctx.reset(run_link.ctx.get());
}

}  // namespace halvorpin
