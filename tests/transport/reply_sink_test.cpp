#include "transport/reply_sink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace halvorpin {
namespace {

struct Read {
  int code;
  bool whole;
  std::string body;
  std::string defect;  // "" when whole and usable
  bool wants_more;     // after the last byte
};

// Feeds the reply in pieces of `piece` bytes (0: all at once); the stream
// then ends by the server's close.
Read feed(const std::string& text, std::size_t piece, ReplySink& sink) {
  bool more = true;
  for (std::size_t at = 0; at < text.size() && more;) {
    std::size_t n = piece == 0 ? text.size() - at : std::min(piece, text.size() - at);
    more = sink.take(text.data() + at, n);
    at += n;
  }
  sink.finish(ReplySink::End::kClosed);
  return {sink.status_code(), sink.whole(), sink.body(), sink.defect(), more};
}

void expect_same_however_cut(const std::string& text, const Read& expected,
                             const std::string& name) {
  for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
    ReplySink sink(64);
    Read got = feed(text, piece, sink);
    EXPECT_EQ(got.code, expected.code) << name << " / " << piece;
    EXPECT_EQ(got.whole, expected.whole) << name << " / " << piece;
    EXPECT_EQ(got.body, expected.body) << name << " / " << piece;
    EXPECT_EQ(got.defect, expected.defect) << name << " / " << piece;
    EXPECT_EQ(got.wants_more, expected.wants_more) << name << " / " << piece;
  }
}

// The status line and the header block: the code decides, never the
// phrase; names match in any case; lengths must be one plain number.
TEST(ReplySink, ReadsRepliesAsHttpHasThem) {
  const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* name;
    std::string text;
    Read read;
  } cases[] = {
      {"http-1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nab", {200, true, "ab", "", false}},
      {"phrase-means-nothing",
       "HTTP/1.1 200 Activated\r\ncontent-length: 1\r\n\r\nx",
       {200, true, "x", "", false}},
      {"no-phrase", "HTTP/1.1 404\r\nCONTENT-LENGTH: 0\r\n\r\n", {404, true, "", "", false}},
      {"bare-line-feeds", "HTTP/1.1 200 OK\nContent-Length: 2\n\nab", {200, true, "ab", "", false}},
      {"nul-in-the-head-dropped",
       std::string("HTTP/1.1 200\0 OK\r\n\r\nab", 22),
       {200, true, "ab", "", true}},
      {"interim-reply-first",
       "HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\nHTTP/1.1 204 No\r\n\r\n",
       {204, true, "", "", false}},
      {"unframed-until-close",
       "HTTP/1.1 200 OK\r\n\r\nall of it",
       {200, true, "all of it", "", true}},
      {"equal-lengths",
       "HTTP/1.1 200 OK\r\nContent-Length: 2, 02\r\nContent-Length: 2\r\n\r\nab",
       {200, true, "ab", "", false}},
      {"conflicting-lengths",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
       {200, false, "", "conflicting Content-Length", false}},
      {"length-list-conflicting",
       "HTTP/1.1 200 OK\r\nContent-Length: 2, 3\r\n\r\nab",
       {200, false, "", "conflicting Content-Length", false}},
      {"length-with-sign",
       "HTTP/1.1 200 OK\r\nContent-Length: +2\r\n\r\nab",
       {200, false, "", "Content-Length not a plain number", false}},
      {"length-empty",
       "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n",
       {200, false, "", "Content-Length not a plain number", false}},
      {"length-16-digits",
       "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\n",
       {200, false, "", "Content-Length too large", false}},
      // Chunked framing decides over a length (RFC 9112, 6.3).
      {"chunked-over-length",
       "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n" + chunked + "3\r\nabc\r\n0\r\n\r\n",
       {200, true, "abc", "", false}},
      {"chunked-last-coding",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n"
       "2;ext=1\r\nab\r\n0\r\nTrailer: t\r\n\r\n",
       {200, true, "ab", "", false}},
      {"coding-not-chunked-until-close",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n"
       "Content-Length: 1\r\n\r\nabc",
       {200, true, "abc", "", true}},
      // An empty size line is no last chunk.
      {"empty-chunk-size-line",
       "HTTP/1.1 200 OK\r\n" + chunked + "2\r\nab\r\n\r\n",
       {200, false, "ab", "broken chunk framing", false}},
      {"chunk-size-not-hex",
       "HTTP/1.1 200 OK\r\n" + chunked + "zz\r\n",
       {200, false, "", "broken chunk framing", false}},
      {"chunk-longer-than-its-size",
       "HTTP/1.1 200 OK\r\n" + chunked + "2\r\nabc\r\n0\r\n\r\n",
       {200, false, "ab", "broken chunk framing", false}},
      {"last-chunk-missing",
       "HTTP/1.1 200 OK\r\n" + chunked + "2\r\nab\r\n",
       {200, false, "ab", "cut short", true}},
      {"length-cut-by-close",
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab",
       {200, false, "ab", "cut short", true}},
      {"head-cut-by-close", "HTTP/1.1 200 OK\r\nContent-Le", {200, false, "", "cut short", true}},
      {"obsolete-line-folding",
       "HTTP/1.1 200 OK\r\nContent-Length:\r\n 2\r\n\r\nab",
       {200, true, "ab", "", false}},
      {"status-line-of-http-2",
       "HTTP/2 200\r\n\r\n",
       {0, false, "", "malformed status line", false}},
      {"two-digit-code", "HTTP/1.1 20 OK\r\n\r\n", {0, false, "", "malformed status line", false}},
      {"header-without-colon",
       "HTTP/1.1 200 OK\r\nno colon here\r\n\r\n",
       {200, false, "", "malformed header line", false}},
      {"blank-before-colon",
       "HTTP/1.1 200 OK\r\nContent-Length : 1\r\n\r\nx",
       {200, false, "", "malformed header line", false}},
  };
  for (const auto& c : cases) expect_same_however_cut(c.text, c.read, c.name);
}

TEST(ReplySink, FindsHeaderFieldsInAnyCaseWithoutTheirBlanks) {
  ReplySink sink(0);
  const std::string text = "HTTP/1.1 200 OK\r\nx-unit-id:  U1 \r\nX-Unit-ID: U2\r\n\r\n";
  (void)sink.take(text.data(), text.size());
  ASSERT_NE(sink.header("X-Unit-ID"), nullptr);
  EXPECT_STREQ(sink.header("X-Unit-ID"), "U1");
  EXPECT_EQ(sink.header("X-Unit"), nullptr);
}

// What a server may send is bounded, so an endless line, header block,
// chunk extension or trailer section ends the reply at once, unusable.
TEST(ReplySink, EndlessLinesAndBlocksAreCut) {
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* name;
    std::string start;
    std::string unit;  // repeated for ever
    const char* problem;
    std::size_t within;  // bytes after the start by which the reply is refused
  } cases[] = {
      {"status-line", "HTTP/1.1 200 ", "x", "header line over 8 KiB", 8 * 1024},
      {"header-line", "HTTP/1.1 200 OK\r\nX: ", "x", "header line over 8 KiB", 8 * 1024},
      {"header-block", "HTTP/1.1 200 OK\r\n", "X-Pad: 0123456789\r\n", "header block over 64 KiB",
       64 * 1024},
      {"chunk-extension", chunked + "5;", "e", "chunk-size line over 8 KiB", 8 * 1024},
      {"trailer-line", chunked + "0\r\nT: ", "t", "trailer line over 8 KiB", 8 * 1024},
      {"trailers", chunked + "0\r\n", "T: 0123456789\r\n", "trailers over 64 KiB", 64 * 1024},
  };
  for (const auto& c : cases) {
    FILE* file = std::tmpfile();
    ReplySink sink(0, file);
    bool more = sink.take(c.start.data(), c.start.size());
    std::size_t sent = 0;
    while (more && sent < 10 * c.within) {
      more = sink.take(c.unit.data(), c.unit.size());
      sent += c.unit.size();
    }
    std::fclose(file);
    EXPECT_FALSE(more) << c.name;
    EXPECT_LE(sent, c.within + c.unit.size()) << c.name;
    EXPECT_STREQ(sink.defect(), c.problem) << c.name;
    EXPECT_FALSE(sink.whole()) << c.name;
  }
}

TEST(ReplySink, KeepsAtMostItsCapacityOfTheBodyYetReadsOn) {
  ReplySink sink(4);
  const std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
  EXPECT_FALSE(sink.take(text.data(), text.size()));
  EXPECT_EQ(sink.body(), "0123");
  EXPECT_TRUE(sink.body_cut());
  EXPECT_TRUE(sink.whole());
}

TEST(ReplySink, HeadOnlyIsWholeAtTheEndOfTheHead) {
  ReplySink sink = ReplySink::head_only();
  const std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n01";
  EXPECT_FALSE(sink.take(text.data(), text.size()));
  sink.finish(ReplySink::End::kTimedOut);
  EXPECT_TRUE(sink.whole());
  EXPECT_EQ(sink.status_line(), "HTTP/1.1 200 OK");

  // Its framing fields are still checked.
  ReplySink conflicting = ReplySink::head_only();
  const std::string lengths = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n";
  EXPECT_FALSE(conflicting.take(lengths.data(), lengths.size()));
  EXPECT_FALSE(conflicting.whole());
  EXPECT_STREQ(conflicting.problem(), "conflicting Content-Length");
}

TEST(ReplySink, StatusLineForAMessageIsPrintableAndShort) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"", "no reply"},
      {"HTTP/1.1 400 Bad Request\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"HTTP/1.1 502 Bad\x1b[2J\r\n\r\n", "HTTP/1.1 502 Bad?[2J"},
      {"<html>", "<html>"},
      {"HTTP/1.1 500 " + std::string(300, 'r') + "\r\n\r\n",
       "HTTP/1.1 500 " + std::string(187, 'r')},
  };
  for (const auto& c : cases) {
    ReplySink sink(0);
    (void)sink.take(c.text.data(), c.text.size());
    sink.finish(ReplySink::End::kClosed);
    EXPECT_EQ(sink.status_line(), c.shown) << c.text;
  }
}

}  // namespace
}  // namespace halvorpin

namespace halvorpin {
namespace {

// Another request may follow on the connection only after an HTTP/1.1
// reply that ended where its framing said, unless the server said close.
TEST(ReplySink, KeepsTheConnectionOnlyAfterAFramedHttp11Reply) {
  const struct {
    std::string text;
    bool keeps;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab", true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 2\r\n\r\nab", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nab", false},
      {"HTTP/1.1 200 OK\r\n\r\nab", false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab", false},
  };
  for (const auto& c : cases) {
    ReplySink sink(16);
    (void)sink.take(c.text.data(), c.text.size());
    sink.finish(ReplySink::End::kClosed);
    EXPECT_EQ(sink.keeps_connection(), c.keeps) << c.text;
  }
}

}  // namespace
}  // namespace halvorpin
