#include "transport/exchange.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/monotonic.h"
#include "base/server_link.h"
#include "transport/tls_test_server.h"

namespace halvorpin {
namespace {

using testing::ServerScript;
using testing::TlsTestServer;

const char kRequest[] = "GET /version?current=1.0 HTTP/1.1\r\nHost: h\r\n\r\n";
constexpr std::size_t kRequestLength = sizeof kRequest - 1;
constexpr std::size_t kRefusedLimit = std::size_t{64} * 1024;

struct Outcome {
  std::string file;                // the body file's contents, when one was given
  std::string request;             // what the server received
  std::string errors;              // what the exchange wrote to standard error
  bool server_had_closed = false;  // when the exchange returned
  double seconds = 0;              // how long the exchange took
};

std::string read_all(FILE* file) {
  std::string out;
  std::rewind(file);
  char block[4096];
  std::size_t n = 0;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0) out.append(block, n);
  return out;
}

// One exchange against a scripted server; `file` (when given) receives the body.
Outcome exchange(ServerScript script, ReplySink& reply, const ReadLimits& limits,
                 FILE* file = nullptr, const std::string* body = nullptr) {
  if (script.request_bytes == 0) {
    script.request_bytes = kRequestLength + (body != nullptr ? body->size() : 0);
  }
  TlsTestServer server(script);
  testing::TestClient client = testing::connect_test_client(server.port());
  ::testing::internal::CaptureStderr();
  const double start = monotonic_seconds();
  ssl_sendrequestMain(
      client.ssl.get(), kRequest, reply,
      body != nullptr ? reinterpret_cast<const unsigned char*>(body->data()) : nullptr,
      body != nullptr ? static_cast<int>(body->size()) : 0, limits);
  Outcome out;
  out.seconds = monotonic_seconds() - start;
  out.server_had_closed = server.finished();
  out.errors = ::testing::internal::GetCapturedStderr();
  server.release();
  client.sock.reset();
  server.join();
  out.request = server.received();
  if (file != nullptr && file != stderr) out.file = read_all(file);
  return out;
}

TEST(Exchange, SendsTheRequestAsIsAndReadsTheReply) {
  ReplySink reply(1024);
  Outcome out =
      exchange({0, {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"}}, reply, ReadLimits{});
  EXPECT_EQ(out.request, kRequest);
  EXPECT_EQ(reply.status_code(), 200);
  EXPECT_EQ(reply.body(), "body");
  EXPECT_TRUE(reply.whole());
  EXPECT_EQ(out.errors, "");
}

TEST(Exchange, ServerClosingAtOnceIsNoReply) {
  ReplySink reply(1024);
  Outcome out = exchange({0, {}}, reply, ReadLimits{});
  EXPECT_EQ(reply.status_line(), "no reply");
  EXPECT_FALSE(reply.whole());
  EXPECT_EQ(out.errors, "");
}

TEST(Exchange, BodyWriteFailureIsReportedWithTheErrorCode) {
  ServerScript script;
  script.request_bytes = kRequestLength;
  script.reset_after_request = true;
  std::string body(8 * 1024 * 1024, 'x');
  ReplySink reply(1024);
  Outcome out = exchange(script, reply, ReadLimits{}, nullptr, &body);
  EXPECT_EQ(out.errors, "SSL body write problem retval = 5\n");
  EXPECT_EQ(reply.status_line(), "no reply");
}

// Where reading stops. The server keeps the connection open after its
// records, as a keep-alive server does, and there is no time bound: the
// exchange must stop where the framing says, or it would wait for ever.
TEST(Exchange, ReadingStopsWhereTheFramingSays) {
  const std::string length_head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* name;
    std::vector<std::string> records;
    std::string file;
  } cases[] = {
      {"length", {length_head + "0123", "456789", "extra"}, "0123456789"},
      {"chunked",
       {chunked_head + "4;x=y\r\nWiki\r\n", "5\r\npedia\r\n0\r\nT: 1\r\n\r\n"},
       "Wikipedia"},
      // A refusal keeps at most 64 KiB of its body, and reading stops there.
      {"refused-body-bounded",
       {"HTTP/1.1 404 Not Found\r\nContent-Length: 10000000\r\n\r\n", std::string(100000, 'e')},
       std::string(kRefusedLimit, 'e')},
  };
  for (const auto& c : cases) {
    ServerScript script{0, c.records};
    script.stall_seconds = 60;
    FILE* file = std::tmpfile();
    ReplySink reply(0, file, kRefusedLimit);
    Outcome out = exchange(script, reply, ReadLimits{}, file);
    std::fclose(file);
    EXPECT_EQ(out.file, c.file) << c.name;
    EXPECT_FALSE(out.server_had_closed) << c.name;
    EXPECT_EQ(out.errors, "") << c.name;
  }
}

// Without a length the body ends when the server closes; a close before the
// announced end, or a time-out, leaves it cut short.
TEST(Exchange, WhatEndsTheStreamDecidesWhetherTheReplyIsWhole) {
  const struct {
    const char* name;
    std::string record;
    int stall_seconds;
    bool whole;
  } cases[] = {
      {"close-ends-an-unframed-body", "HTTP/1.1 200 OK\r\n\r\nall of it", 0, true},
      {"time-out-cuts-an-unframed-body", "HTTP/1.1 200 OK\r\n\r\npartial", 60, false},
      {"close-before-the-length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", 0, false},
  };
  ReadLimits limits;
  limits.wait = 1;
  for (const auto& c : cases) {
    ServerScript script{0, {c.record}};
    script.stall_seconds = c.stall_seconds;
    ReplySink reply(1024);
    Outcome out = exchange(script, reply, limits);
    EXPECT_EQ(reply.whole(), c.whole) << c.name;
    EXPECT_EQ(out.errors, "") << c.name;
    EXPECT_LT(out.seconds, 5) << c.name;
  }
}

// The time bounds count bytes as the socket delivers them: a record dripped
// a byte at a time satisfies every single wait, yet the whole reply (or the
// head of a package) must end in time.
TEST(Exchange, ADrippedRecordIsCutAtTheReplyBound) {
  const std::string reply_text =
      "HTTP/1.1 200 OK\r\nContent-Length: 150\r\n\r\n" + std::string(150, 'd');
  for (bool package : {false, true}) {
    ServerScript script{0, {package ? reply_text.substr(0, 30) : reply_text}};
    script.drip_ms = 20;  // the bytes of the record take about 5 s
    script.stall_seconds = 60;
    ReadLimits limits;
    limits.wait = 1;
    (package ? limits.head : limits.whole) = 2;
    ReplySink reply(1024);
    Outcome out = exchange(script, reply, limits);
    EXPECT_FALSE(reply.whole()) << package;
    EXPECT_GT(out.seconds, 1.9) << package;
    EXPECT_LT(out.seconds, 3.5) << package;
  }
}

// READ_TIMEOUT (rt) bounds each wait; a collection server's reply ends
// within 2 rt + 60 s, a package's head too, and its body keeps moving;
// rt = 0 sets no time bound at all.
TEST(Exchange, TimeBoundsComeFromTheReadTimeout) {
  const int saved = g_timeouts.rt;
  g_timeouts.rt = 300;
  const ReadLimits collection = collection_reply_limits();
  const ReadLimits package = package_reply_limits();
  g_timeouts.rt = 0;
  const ReadLimits unbounded = collection_reply_limits();
  const ReadLimits unbounded_package = package_reply_limits();
  g_timeouts.rt = saved;
  EXPECT_EQ(collection.wait, 300);
  EXPECT_EQ(collection.whole, 660);
  EXPECT_FALSE(collection.speed_floor);
  EXPECT_EQ(package.wait, 300);
  EXPECT_EQ(package.head, 660);
  EXPECT_EQ(package.whole, 0);
  EXPECT_TRUE(package.speed_floor);
  for (const ReadLimits& none : {unbounded, unbounded_package}) {
    EXPECT_EQ(none.wait, 0);
    EXPECT_EQ(none.head, 0);
    EXPECT_EQ(none.whole, 0);
    EXPECT_FALSE(none.speed_floor);
  }
}

// A download stops at its first failed write, instead of reading on.
TEST(Exchange, ADownloadStopsAtTheFirstFailedWrite) {
  ServerScript script{
      0, {"HTTP/1.1 200 OK\r\nContent-Length: 10000000\r\n\r\n", std::string(1 << 20, 'p')}};
  script.stall_seconds = 60;
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IOFBF, 4096);
  ReplySink reply(0, full);
  ReadLimits limits;
  limits.wait = 30;
  Outcome out = exchange(script, reply, limits, full);
  std::fclose(full);
  EXPECT_TRUE(reply.write_failed());
  EXPECT_FALSE(reply.whole());
  EXPECT_LT(out.seconds, 10);
}

}  // namespace
}  // namespace halvorpin
