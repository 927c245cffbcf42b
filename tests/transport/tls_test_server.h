// A one-connection TLS server on 127.0.0.1 for exchange tests: it reads the
// request, then answers with scripted records and closes as told.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/owned.h"

namespace halvorpin::testing {

struct ServerScript {
  std::size_t request_bytes = 0;     // read this many bytes before answering
  std::vector<std::string> records;  // each sent with its own TLS write
  bool close_notify = true;          // false: drop TCP without it
  bool reset_after_request = false;  // close with RST instead of answering
  int stall_seconds = 0;             // after the records, hold the socket open
  int drip_ms = 0;  // > 0: the records' TLS bytes go out one at a time, this far apart
};

class TlsTestServer {
 public:
  explicit TlsTestServer(ServerScript script);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  int port() const { return port_; }
  // Bytes of the request as received; valid after join().
  const std::string& received() const { return received_; }
  // True once the server has closed the connection.
  bool finished() const { return finished_; }
  // Ends a stall early.
  void release();
  void join();

 private:
  void serve();

  ServerScript script_;
  SslCtxPtr ctx_;
  UniqueFd listener_;
  int port_ = 0;
  std::string received_;
  std::atomic<bool> finished_{false};
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::thread thread_;
};

// A TLS client connection to 127.0.0.1:port through the client's own TCP
// set-up (time-outs from the process settings), without certificate checks.
struct TestClient {
  SslCtxPtr ctx;
  UniqueFd sock;
  SslPtr ssl;
};
TestClient connect_test_client(int port);

}  // namespace halvorpin::testing
