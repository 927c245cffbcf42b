#include "transport/exchange.h"

#include <cstring>

#include "base/server_link.h"
#include "transport/reply_sink.h"

namespace halvorpin {
namespace {

constexpr std::size_t kReadBlock = std::size_t{16} * 1024;

bool write_request(SSL* ssl, const char* request) {
  int length = static_cast<int>(std::strlen(request));
  int written = SSL_write(ssl, request, length);
  int code = SSL_get_error(ssl, written);
  if (code != SSL_ERROR_NONE) {
    std::fwrite("SSL write problem", 1, 17, stderr);
    return false;
  }
  if (written != length) {
    std::fwrite("Incomplete write!", 1, 17, stderr);
    return false;
  }
  return true;
}

bool write_body(SSL* ssl, const unsigned char* body, int length) {
  // The library refuses a zero-length write; an empty body is simply absent.
  if (length <= 0) return true;
  int written = SSL_write(ssl, body, length);
  int code = SSL_get_error(ssl, written);
  if (code != SSL_ERROR_NONE) {
    std::fprintf(stderr, "SSL body write problem retval = %d\n", code);
    return false;
  }
  if (written != length) {
    std::fprintf(stderr, "Incomplete body write! retval = %d\n", code);
    return false;
  }
  return true;
}

void read_reply(SSL* ssl, ReplySink& sink) {
  char block[kReadBlock];
  for (;;) {
    int n = SSL_read(ssl, block, sizeof block);
    int code = SSL_get_error(ssl, n);
    if (code == SSL_ERROR_NONE) {
      if (!sink.take(block, static_cast<std::size_t>(n))) return;  // buffer full: cut here
      continue;
    }
    if (code == SSL_ERROR_WANT_READ) {
      // A receive time-out: with a bound set, a silent server ends the reply.
      if (g_timeouts.rt > 0) return;
      continue;
    }
    if (code == SSL_ERROR_SYSCALL || code == SSL_ERROR_ZERO_RETURN) return;
    std::fwrite("SSL read problem", 1, 16, stderr);
    return;
  }
}

}  // namespace

std::size_t ssl_sendrequestMain(SSL* ssl, const char* request, char* response, std::size_t capacity,
                                const unsigned char* body, int body_length, FILE* body_file) {
  if (request == nullptr || response == nullptr || capacity == 0) {
    std::fwrite("request or response buffer is null", 1, 34, stderr);
    return 0;
  }
  response[0] = '\0';    // a failed write leaves the empty text
  if (ssl == nullptr) {  // the re-connection failed: nothing can be sent
    std::fwrite("SSL write problem", 1, 17, stderr);
    return 0;
  }
  if (!write_request(ssl, request)) return 0;
  if (body != nullptr && !write_body(ssl, body, body_length)) return 0;
  ReplySink sink(response, capacity, body_file);
  read_reply(ssl, sink);
  return sink.finish();
}

std::size_t ssl_sendrequest(SSL* ssl, const char* request, char* response, std::size_t capacity) {
  return ssl_sendrequestMain(ssl, request, response, capacity, nullptr, 0, nullptr);
}

std::size_t ssl_sendrequest2(SSL* ssl, const char* request, char* response, std::size_t capacity,
                             const unsigned char* body, int body_length) {
  return ssl_sendrequestMain(ssl, request, response, capacity, body, body_length, nullptr);
}

std::size_t ssl_sendrequest3(SSL* ssl, const char* request, char* response, std::size_t capacity,
                             FILE* body_file) {
  return ssl_sendrequestMain(ssl, request, response, capacity, nullptr, 0, body_file);
}

}  // namespace halvorpin
