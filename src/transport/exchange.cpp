#include "transport/exchange.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "base/monotonic.h"
#include "base/server_link.h"
#include "transport/reply_sink.h"

namespace halvorpin {
namespace {

constexpr std::size_t kReadBlock = std::size_t{16} * 1024;
constexpr double kSpeedWindow = 60;
constexpr std::size_t kSpeedBytes = 1024;
constexpr const char* kOkText = "HTTP/1.1 200 OK";
constexpr std::size_t kRefusedBodyLimit = std::size_t{64} * 1024;

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

// Sets the socket's receive bound to `seconds` (0: none).
void set_receive_bound(int fd, double seconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Reads until the reply ends, the server closes, or a receive waits too
// long. With a receive bound, a reply must also keep moving: less than
// kSpeedBytes in any kSpeedWindow seconds ends it as a time-out would, so a
// peer that trickles bytes cannot hold the run.
void read_reply(SSL* ssl, ReplySink& sink) {
  const int rt = g_timeouts.rt;
  const int fd = SSL_get_fd(ssl);
  double window_start = monotonic_seconds();
  std::size_t window_bytes = 0;
  double bound = rt;
  char block[kReadBlock];
  for (;;) {
    if (rt > 0) {
      double left = window_start + kSpeedWindow - monotonic_seconds();
      if (left <= 0) break;
      double wanted = left < rt ? left : rt;
      if (wanted != bound) {
        set_receive_bound(fd, wanted);
        bound = wanted;
      }
    }
    int n = SSL_read(ssl, block, sizeof block);
    int code = SSL_get_error(ssl, n);
    if (code == SSL_ERROR_NONE) {
      window_bytes += static_cast<std::size_t>(n);
      if (window_bytes >= kSpeedBytes) {
        window_start = monotonic_seconds();
        window_bytes = 0;
      }
      if (!sink.take(block, static_cast<std::size_t>(n))) break;  // ended, or cut here
      continue;
    }
    if (code == SSL_ERROR_WANT_READ) {
      // A receive time-out: with a bound set, a silent server ends the reply.
      if (rt > 0) break;
      continue;
    }
    if (code != SSL_ERROR_SYSCALL && code != SSL_ERROR_ZERO_RETURN) {
      std::fwrite("SSL read problem", 1, 16, stderr);
    }
    break;
  }
  if (rt > 0 && bound != rt) set_receive_bound(fd, rt);
}

Exchanged finish(ReplySink& sink) { return {sink.finish(), !sink.whole()}; }

}  // namespace

Exchanged ssl_sendrequestMain(SSL* ssl, const char* request, char* response, std::size_t capacity,
                              const unsigned char* body, int body_length, FILE* body_file) {
  if (request == nullptr || response == nullptr || capacity == 0) {
    std::fwrite("request or response buffer is null", 1, 34, stderr);
    return {};
  }
  response[0] = '\0';    // a failed write leaves the empty text
  if (ssl == nullptr) {  // the re-connection failed: nothing can be sent
    std::fwrite("SSL write problem", 1, 17, stderr);
    return {};
  }
  if (!write_request(ssl, request)) return {};
  if (body != nullptr && !write_body(ssl, body, body_length)) return {};
  // A package host's refusal keeps only a little of its body on the unit.
  ReplySink sink(response, capacity, body_file, body_file != nullptr ? kOkText : nullptr,
                 kRefusedBodyLimit);
  read_reply(ssl, sink);
  return finish(sink);
}

Exchanged ssl_sendrequest(SSL* ssl, const char* request, char* response, std::size_t capacity) {
  return ssl_sendrequestMain(ssl, request, response, capacity, nullptr, 0, nullptr);
}

Exchanged ssl_sendrequest2(SSL* ssl, const char* request, char* response, std::size_t capacity,
                           const unsigned char* body, int body_length) {
  return ssl_sendrequestMain(ssl, request, response, capacity, body, body_length, nullptr);
}

Exchanged ssl_sendrequest3(SSL* ssl, const char* request, char* response, std::size_t capacity,
                           FILE* body_file) {
  return ssl_sendrequestMain(ssl, request, response, capacity, nullptr, 0, body_file);
}

}  // namespace halvorpin
