#include "transport/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

#include "transport/connection.h"

namespace halvorpin::testing {
namespace {

EvpPkeyPtr make_server_key() { return EvpPkeyPtr(EVP_EC_gen("P-256")); }

X509Ptr make_self_signed(EVP_PKEY* key) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("exchange.test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_sign(cert.get(), key, EVP_sha256());
  return cert;
}

}  // namespace

TlsTestServer::TlsTestServer(ServerScript script) : script_(std::move(script)) {
  // A client that stops reading and closes must not end the test program.
  std::signal(SIGPIPE, SIG_IGN);
  EvpPkeyPtr key = make_server_key();
  X509Ptr cert = make_self_signed(key.get());
  ctx_.reset(SSL_CTX_new(TLS_server_method()));
  if (!ctx_ || SSL_CTX_use_certificate(ctx_.get(), cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx_.get(), key.get()) != 1) {
    throw std::runtime_error("test server context");
  }
  listener_.reset(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 1) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("test server socket");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TlsTestServer::~TlsTestServer() {
  release();
  join();
}

void TlsTestServer::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  released_cv_.notify_all();
}

void TlsTestServer::join() {
  if (thread_.joinable()) thread_.join();
}

void TlsTestServer::serve() {
  struct MarkFinished {
    std::atomic<bool>& flag;
    ~MarkFinished() { flag = true; }
  };
  UniqueFd conn(::accept(listener_.get(), nullptr, nullptr));
  MarkFinished mark{finished_};  // declared after conn: set once conn is closed
  if (!conn.valid()) return;
  SslPtr ssl(SSL_new(ctx_.get()));
  SSL_set_fd(ssl.get(), conn.get());
  if (SSL_accept(ssl.get()) != 1) return;
  char buffer[64 * 1024];
  while (received_.size() < script_.request_bytes) {
    int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    received_.append(buffer, static_cast<std::size_t>(n));
  }
  if (script_.reset_after_request) {
    linger hard{1, 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return;  // closing now sends a reset
  }
  if (script_.drip_ms > 0) {
    // The records are made into TLS bytes in memory and trickled out one
    // byte at a time: no record is complete until its last byte.
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl.get(), out);
    for (const std::string& record : script_.records) {
      if (SSL_write(ssl.get(), record.data(), static_cast<int>(record.size())) <= 0) return;
    }
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(out, &bytes);
    for (long i = 0; i < length; ++i) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (released_cv_.wait_for(lock, std::chrono::milliseconds(script_.drip_ms),
                                [this] { return released_; }) ||
          ::send(conn.get(), bytes + i, 1, MSG_NOSIGNAL) != 1) {
        return;
      }
    }
  } else {
    for (const std::string& record : script_.records) {
      if (SSL_write(ssl.get(), record.data(), static_cast<int>(record.size())) <= 0) return;
    }
  }
  if (script_.stall_seconds > 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    released_cv_.wait_for(lock, std::chrono::seconds(script_.stall_seconds),
                          [this] { return released_; });
  }
  if (script_.close_notify) SSL_shutdown(ssl.get());
}

TestClient connect_test_client(int port) {
  TestClient client;
  client.ctx.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_options(client.ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!tcp_connect("127.0.0.1", port, client.sock).ok()) {
    throw std::runtime_error("test client connection");
  }
  client.ssl.reset(SSL_new(client.ctx.get()));
  SSL_set_fd(client.ssl.get(), client.sock.get());
  if (SSL_connect(client.ssl.get()) != 1) throw std::runtime_error("test client handshake");
  return client;
}

}  // namespace halvorpin::testing
