#include "transport/exchange.h"

#include <openssl/err.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/monotonic.h"
#include "base/server_link.h"
#include "transport/connection.h"
#include "transport/speed_floor.h"

namespace halvorpin {
namespace {

constexpr std::size_t kReadBlock = std::size_t{16} * 1024;
constexpr double kReplyGraceSeconds = 60;
constexpr double kFloorCheckSeconds = 1;

// SSL_write, made again as it was after an interrupted send.
int write_on(SSL* ssl, const void* data, int length, int& code) {
  int written = 0;
  do {
    errno = 0;
    written = SSL_write(ssl, data, length);
    code = SSL_get_error(ssl, written);
  } while (code == SSL_ERROR_WANT_WRITE && errno == EINTR);
  return written;
}

bool write_request(SSL* ssl, const char* request) {
  // The library judges each call by the thread's error queue: what an
  // earlier operation left there (a block that did not decrypt) must not
  // read as this connection's failure.
  ERR_clear_error();
  int length = static_cast<int>(std::strlen(request));
  int code = 0;
  int written = write_on(ssl, request, length, code);
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
  int code = 0;
  int written = write_on(ssl, body, length, code);
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

// Reading one reply within its bounds. Bytes are counted as the socket
// delivers them (the TLS library's read counter on the socket), before any
// record is complete.
class ReplyReader {
 public:
  ReplyReader(SSL* ssl, const ReadLimits& limits, double started)
      : ssl_(ssl),
        limits_(limits),
        started_(started),
        last_bytes_(started),
        counted_(BIO_number_read(SSL_get_rbio(ssl))) {}

  ReplySink::End read(ReplySink& sink) {
    char block[kReadBlock];
    for (;;) {
      errno = 0;
      ERR_clear_error();
      const int n = SSL_read(ssl_, block, sizeof block);
      const int code = SSL_get_error(ssl_, n);
      const int read_errno = errno;
      const double now = monotonic_seconds();
      count_socket_bytes(now);
      if (code == SSL_ERROR_NONE) {
        const bool had_head = sink.head_complete();
        if (!sink.take(block, static_cast<std::size_t>(n))) return ReplySink::End::kClosed;
        if (!had_head && sink.head_complete() && limits_.speed_floor) floor_.start(now);
        if (out_of_time(now, sink)) return ReplySink::End::kTimedOut;
        continue;
      }
      if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
        if (out_of_time(now, sink)) return ReplySink::End::kTimedOut;
        if (!wait_for_socket(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, now, sink)) {
          return ReplySink::End::kFailed;
        }
        continue;
      }
      if (code == SSL_ERROR_ZERO_RETURN) return ReplySink::End::kClosed;
      if (code == SSL_ERROR_SYSCALL) {
        return read_errno == 0 ? ReplySink::End::kClosed : ReplySink::End::kFailed;
      }
      std::fwrite("SSL read problem", 1, 16, stderr);
      return ReplySink::End::kFailed;
    }
  }

 private:
  void count_socket_bytes(double now) {
    const std::uint64_t total = BIO_number_read(SSL_get_rbio(ssl_));
    if (total == counted_) return;
    if (floor_.started()) {
      const std::uint64_t bytes = total - counted_;
      floor_.add(now, bytes > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(bytes));
    }
    counted_ = total;
    last_bytes_ = now;
  }

  // The first time a bound runs out at, from `now` on (0: none).
  double next_deadline(const ReplySink& sink) const {
    double deadline = 0;
    auto consider = [&deadline](double at) {
      if (deadline == 0 || at < deadline) deadline = at;
    };
    if (limits_.wait > 0) consider(last_bytes_ + limits_.wait);
    if (limits_.whole > 0) consider(started_ + limits_.whole);
    if (limits_.head > 0 && !sink.head_complete()) consider(started_ + limits_.head);
    return deadline;
  }

  bool out_of_time(double now, const ReplySink& sink) {
    const double deadline = next_deadline(sink);
    return (deadline > 0 && now >= deadline) || (floor_.started() && floor_.broken(now));
  }

  // Waits until the socket is ready or a bound may have run out; false on
  // a failure of the wait itself (an interruption is no failure).
  bool wait_for_socket(short events, double now, const ReplySink& sink) {
    double left = -1;
    const double deadline = next_deadline(sink);
    if (deadline > 0) left = deadline - now;
    if (floor_.started() && (left < 0 || left > kFloorCheckSeconds)) left = kFloorCheckSeconds;
    int ms = -1;
    if (left >= 0) ms = left * 1000 >= INT_MAX ? INT_MAX : static_cast<int>(left * 1000) + 1;
    pollfd entry{SSL_get_fd(ssl_), events, 0};
    return ::poll(&entry, 1, ms) >= 0 || wait_again(errno);
  }

  SSL* ssl_;
  const ReadLimits& limits_;
  double started_;
  double last_bytes_;
  std::uint64_t counted_;
  SpeedFloor floor_;
};

ReadLimits limits_from_settings(bool package) {
  const int rt = g_timeouts.rt;
  ReadLimits limits;
  if (rt <= 0) return limits;
  limits.wait = rt;
  const double bound = 2.0 * rt + kReplyGraceSeconds;
  if (package) {
    limits.head = bound;
    limits.speed_floor = true;
  } else {
    limits.whole = bound;
  }
  return limits;
}

}  // namespace

ReadLimits collection_reply_limits() { return limits_from_settings(false); }
ReadLimits package_reply_limits() { return limits_from_settings(true); }

void ssl_sendrequestMain(SSL* ssl, const char* request, ReplySink& reply, const unsigned char* body,
                         int body_length, const ReadLimits& limits) {
  if (request == nullptr) {
    std::fwrite("request or response buffer is null", 1, 34, stderr);
    return;
  }
  if (ssl == nullptr) {  // the re-connection failed: nothing can be sent
    std::fwrite("SSL write problem", 1, 17, stderr);
    return;
  }
  if (!write_request(ssl, request)) return;
  if (body != nullptr && !write_body(ssl, body, body_length)) return;
  const double started = monotonic_seconds();
  const int fd = SSL_get_fd(ssl);
  set_blocking(fd, false);
  ReplyReader reader(ssl, limits, started);
  reply.finish(reader.read(reply));
  set_blocking(fd, true);
}

void ssl_sendrequest(SSL* ssl, const char* request, ReplySink& reply) {
  ssl_sendrequestMain(ssl, request, reply, nullptr, 0, collection_reply_limits());
}

void ssl_sendrequest2(SSL* ssl, const char* request, ReplySink& reply, const unsigned char* body,
                      int body_length) {
  ssl_sendrequestMain(ssl, request, reply, body, body_length, collection_reply_limits());
}

void ssl_sendrequest3(SSL* ssl, const char* request, ReplySink& reply) {
  ssl_sendrequestMain(ssl, request, reply, nullptr, 0, package_reply_limits());
}

}  // namespace halvorpin
