#include "transport/exchange.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/server_link.h"
#include "transport/tls_test_server.h"

namespace halvorpin {
namespace {

using testing::ServerScript;
using testing::TlsTestServer;

const char kRequest[] = "GET /version?current=1.0 HTTP/1.1 \r\nHost: h\r\n\r\n";
constexpr std::size_t kRequestLength = sizeof kRequest - 1;

struct Outcome {
  std::string stored;  // what the buffer holds up to the stored count
  std::size_t count = 0;
  std::string file;                // the body file's contents, when one was given
  std::string request;             // what the server received
  std::string errors;              // what the exchange wrote to standard error
  bool server_had_closed = false;  // when the exchange returned
  bool cut_short = false;
};

std::string read_all(FILE* file) {
  std::string out;
  std::rewind(file);
  char block[4096];
  std::size_t n = 0;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0) out.append(block, n);
  return out;
}

Outcome exchange(ServerScript script, std::size_t capacity, bool with_file,
                 const std::string* body = nullptr) {
  if (script.request_bytes == 0) {
    script.request_bytes = kRequestLength + (body != nullptr ? body->size() : 0);
  }
  TlsTestServer server(script);
  testing::TestClient client = testing::connect_test_client(server.port());
  std::vector<char> buffer(capacity, 'Z');  // not zeroed: the exchange must terminate it
  FILE* file = with_file ? std::tmpfile() : nullptr;
  ::testing::internal::CaptureStderr();
  const Exchanged exchanged = ssl_sendrequestMain(
      client.ssl.get(), kRequest, buffer.data(), buffer.size(),
      body != nullptr ? reinterpret_cast<const unsigned char*>(body->data()) : nullptr,
      body != nullptr ? static_cast<int>(body->size()) : 0, file);
  const std::size_t count = exchanged.stored;
  Outcome out;
  out.server_had_closed = server.finished();
  out.errors = ::testing::internal::GetCapturedStderr();
  server.release();
  client.sock.reset();
  server.join();
  out.count = count;
  out.cut_short = exchanged.cut_short;
  EXPECT_LT(count, capacity);
  EXPECT_EQ(buffer[count], '\0');
  out.stored.assign(buffer.data(), count);
  out.request = server.received();
  if (file != nullptr) {
    out.file = read_all(file);
    std::fclose(file);
  }
  return out;
}

TEST(Exchange, StoresHeaderAndBodyAndSendsTheRequestAsIs) {
  Outcome out = exchange({0, {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody"}}, 1024, false);
  EXPECT_EQ(out.request, kRequest);
  EXPECT_EQ(out.stored, "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody");
  EXPECT_EQ(out.errors, "");
}

TEST(Exchange, ServerClosingAtOnceLeavesAnEmptyText) {
  Outcome out = exchange({0, {}}, 1024, false);
  EXPECT_EQ(out.count, 0u);
  EXPECT_EQ(out.errors, "");
}

TEST(Exchange, EndOfStreamWithoutCloseNotifyIsASilentEnd) {
  ServerScript script{0, {"HTTP/1.1 200 OK\r\n\r\nx"}};
  script.close_notify = false;
  Outcome out = exchange(script, 1024, false);
  EXPECT_EQ(out.stored, "HTTP/1.1 200 OK\r\n\r\nx");
  EXPECT_EQ(out.errors, "");
}

TEST(Exchange, NulsAreDroppedOnlyBeforeTheHeaderEnd) {
  std::string reply("HTTP/1.1 200 OK\r\n\0\r\n\0body\0tail", 30);
  Outcome out = exchange({0, {reply}}, 1024, false);
  EXPECT_EQ(out.stored, std::string("HTTP/1.1 200 OK\r\n\r\n\0body\0tail", 29));
}

TEST(Exchange, WithoutBlankLineEverythingStaysInTheBuffer) {
  std::string reply("HTTP/1.1 200 OK\nA: b\n\n\0body", 27);
  Outcome out = exchange({0, {reply}}, 1024, true);
  EXPECT_EQ(out.stored, "HTTP/1.1 200 OK\nA: b\n\nbody");
  EXPECT_EQ(out.file, "");
}

TEST(Exchange, LongerReplyIsCutAtCapacityMinusOne) {
  std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'b');
  Outcome out = exchange({0, {reply.substr(0, 700), reply.substr(700)}}, 1024, false);
  EXPECT_EQ(out.count, 1023u);
  EXPECT_EQ(out.stored, reply.substr(0, 1023));

  std::string long_header = "HTTP/1.1 200 OK\r\nX: " + std::string(3000, 'h') + "\r\n\r\nbody";
  Outcome cut = exchange({0, {long_header}}, 1024, true);
  EXPECT_EQ(cut.stored, long_header.substr(0, 1023));
  EXPECT_EQ(cut.file, "body");
}

TEST(Exchange, BodyWriteFailureIsReportedWithTheErrorCode) {
  ServerScript script;
  script.request_bytes = kRequestLength;
  script.reset_after_request = true;
  std::string body(8 * 1024 * 1024, 'x');
  Outcome out = exchange(script, 1024, false, &body);
  EXPECT_EQ(out.errors, "SSL body write problem retval = 5\n");
  EXPECT_EQ(out.count, 0u);
}

TEST(Exchange, StalledServerEndsTheReplyAtTheReceiveTimeout) {
  const int saved = g_timeouts.rt;
  g_timeouts.rt = 1;
  ServerScript script{0, {"HTTP/1.1 200 OK\r\n\r\npartial"}};
  script.stall_seconds = 60;
  Outcome out = exchange(script, 1024, false);
  g_timeouts.rt = saved;
  EXPECT_EQ(out.stored, "HTTP/1.1 200 OK\r\n\r\npartial");
  EXPECT_EQ(out.errors, "");
  EXPECT_FALSE(out.server_had_closed);  // the time-out ended it, not the server
}

// Where a reply ends. The server keeps the connection open after its records
// (as a keep-alive server does) and there is no receive bound: the exchange
// must stop where the framing says, or it would wait for the server.
struct FramingCase {
  const char* name;
  std::vector<std::string> records;
  bool keeps_open;
  bool with_file;
  std::string stored;  // the buffer's text
  std::string file;    // the body file's bytes
  bool cut_short;
};

TEST(Exchange, ReplyEndsWhereItsFramingSays) {
  const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string length_head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  const std::string refused_head = "HTTP/1.1 404 Not Found\r\nContent-Length: 100000\r\n\r\n";
  const FramingCase cases[] = {
      {"length",
       {length_head + "0123", "456789", "extra"},
       true,
       false,
       length_head + "0123456789",
       "",
       false},
      {"length-to-file", {length_head, "0123456789"}, true, true, length_head, "0123456789", false},
      {"length-zero",
       {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
       true,
       true,
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
       "",
       false},
      {"chunked-with-extension-and-trailer",
       {chunked_head + "4;name=value\r\nWiki\r\n", "5\r\npedia\r\nE\r\n in\r\n\r\nchunks.",
        "\r\n0\r\nX-Trailer: 1\r\n\r\n"},
       true,
       true,
       chunked_head,
       "Wikipedia in\r\n\r\nchunks.",
       false},
      {"chunked-to-buffer",
       {chunked_head + "3\r\nabc\r\n0\r\n\r\n"},
       true,
       false,
       chunked_head + "abc",
       "",
       false},
      {"chunked-codings",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n"
        "2\r\nab\r\n0\r\n\r\n"},
       true,
       true,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n",
       "ab",
       false},
      {"length-cut-by-close", {length_head + "0123"}, false, true, length_head, "0123", true},
      {"chunk-cut-by-close",
       {chunked_head + "a\r\n01234"},
       false,
       true,
       chunked_head,
       "01234",
       true},
      {"last-chunk-missing", {chunked_head + "2\r\nab\r\n"}, false, true, chunked_head, "ab", true},
      {"chunk-size-not-hex",
       {chunked_head + "2\r\nab\r\nzz\r\n"},
       true,
       true,
       chunked_head,
       "ab",
       true},
      {"chunk-without-line-end",
       {chunked_head + "2\r\nabc\r\n0\r\n\r\n"},
       true,
       true,
       chunked_head,
       "ab",
       true},
      {"no-framing-ends-at-close",
       {"HTTP/1.1 200 OK\r\n\r\nall", " of it"},
       false,
       true,
       "HTTP/1.1 200 OK\r\n\r\n",
       "all of it",
       false},
      // A refusal keeps at most 64 KiB of its body, and reading stops there.
      {"refused-body-bounded",
       {refused_head, std::string(100000, 'e')},
       true,
       true,
       refused_head,
       std::string(64 * 1024, 'e'),
       false},
  };
  const int saved = g_timeouts.rt;
  g_timeouts.rt = 0;
  for (const FramingCase& c : cases) {
    ServerScript script{0, c.records};
    script.stall_seconds = c.keeps_open ? 60 : 0;
    Outcome out = exchange(script, 1024, c.with_file);
    EXPECT_EQ(out.stored, c.stored) << c.name;
    EXPECT_EQ(out.file, c.file) << c.name;
    EXPECT_EQ(out.cut_short, c.cut_short) << c.name;
    EXPECT_EQ(out.errors, "") << c.name;
    if (c.keeps_open) {
      EXPECT_FALSE(out.server_had_closed) << c.name;
    }
  }
  g_timeouts.rt = saved;
}

}  // namespace
}  // namespace halvorpin
