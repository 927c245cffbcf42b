// The one reader of HTTP/1.x replies: every byte a server sends passes
// through it, however the bytes are cut into reads. It takes the status line
// and the header fields apart, decides where the body ends (RFC 9112: a
// chunked body at its last chunk, with the framing taken off; otherwise after
// Content-Length bytes; otherwise when the server closes) and puts the body
// into memory or into a file.
//
// What a server may send is bounded: a header line, a chunk-size line and a
// trailer line at most 8 KiB each, a header block and the trailers at most
// 64 KiB each. A head beyond them, with a status line that is not HTTP/1.0
// or HTTP/1.1 and a three-digit code, or with Content-Length values that are
// not one plain decimal, makes the reply unusable: reading stops, and
// problem() says why. Chunk framing that breaks, or exceeds its bounds,
// ends the body there: the reply is not whole, and defect() says why.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace halvorpin {

class ReplySink {
 public:
  static constexpr std::size_t kLineLimit = std::size_t{8} * 1024;
  static constexpr std::size_t kBlockLimit = std::size_t{64} * 1024;

  // How the byte stream ended.
  enum class End {
    kClosed,    // the server closed the connection (with or without a close notification)
    kTimedOut,  // a time bound ended the reading
    kFailed,    // a read error
  };

  // The body's first `body_capacity` bytes are kept in memory (the rest is
  // read and dropped), or, with `body_file`, every body byte goes there,
  // except that a reply whose code is not 200 leaves at most
  // `refused_body_limit` bytes there and is read no further.
  explicit ReplySink(std::size_t body_capacity, FILE* body_file = nullptr,
                     std::size_t refused_body_limit = 0)
      : body_capacity_(body_capacity),
        body_file_(body_file),
        refused_body_limit_(refused_body_limit) {}

  // A sink that wants the status line and the header block only: the reply
  // counts as whole once they arrived, and no body is read.
  static ReplySink head_only() {
    ReplySink sink(0);
    sink.head_only_ = true;
    return sink;
  }

  // Every body byte the file takes of a 200 reply also goes into `digest`
  // (initialised by the caller), so what was written is hashed as it came.
  void digest_body(EVP_MD_CTX* digest) { body_digest_ = digest; }

  // Takes received bytes. False once no more are wanted: the reply reached
  // its end, is unusable, or nothing more of it is to be kept; bytes given
  // after that are ignored.
  bool take(const char* data, std::size_t length);
  // Records how the stream ended (once, after the last take).
  void finish(End end);

  // True once any byte of the reply arrived.
  bool started() const { return any_byte_; }
  // The status code of a well-formed status line, 0 otherwise.
  int status_code() const { return status_code_; }
  // The first line for a message: at most 200 bytes, anything not printable
  // shown as '?'; "no reply" when nothing arrived.
  std::string status_line() const;
  // True once the header block's empty line has arrived (after any interim
  // 1xx replies).
  bool head_complete() const { return head_complete_; }
  // The value of the first header field of that name (letters compared
  // without case), with the white space around it taken off, as a text that
  // ends at its first NUL; null when there is none.
  const char* header(std::string_view name) const;
  // Why the reply's head cannot be used (a fixed text), or null.
  const char* problem() const { return problem_; }
  // True when the reply arrived to the end its framing gives: for a body
  // without length or chunks, when the server closed.
  bool whole() const;
  // The body bytes kept in memory, and whether more arrived than was kept.
  const std::string& body() const { return body_; }
  bool body_cut() const { return body_cut_; }
  // True when the body file refused a write; reading stopped there.
  bool write_failed() const { return write_failed_; }
  // True when the server keeps the connection for another request: an
  // HTTP/1.1 reply that arrived whole to an end its framing gave, without
  // "Connection: close".
  bool keeps_connection() const;
  // Why the reply is not whole and usable, for a message: problem(), what
  // broke the chunk framing, or "cut short"; "" when it is whole and usable.
  const char* defect() const;

 private:
  enum class Stage {
    kStatusLine,
    kHeaders,
    kChunkSize,
    kChunkData,
    kChunkDataEnd,
    kTrailers,
    kBody,  // length-framed or until close
    kDone,
    kStopped,  // unusable, or nothing more to keep
  };

  void take_line_byte(char c);
  void line_ended();
  void status_line_ended();
  void header_line_ended();
  void head_ended();
  void chunk_size_line_ended();
  void trailer_line_ended();
  void keep_body(const char* data, std::size_t length);
  void fail(const char* why);
  void break_body(const char* why);

  std::size_t body_capacity_;
  FILE* body_file_;
  EVP_MD_CTX* body_digest_ = nullptr;
  std::size_t refused_body_limit_;
  bool head_only_ = false;

  Stage stage_ = Stage::kStatusLine;
  End end_ = End::kClosed;
  bool finished_ = false;
  std::string line_;             // the line being read
  std::size_t block_bytes_ = 0;  // of the header block or the trailers so far
  std::string first_line_;       // the status line as received (or what arrived of it)
  // The header fields, each as its name, a NUL, its value and a NUL.
  std::string fields_;
  int status_code_ = 0;
  bool head_complete_ = false;
  const char* problem_ = nullptr;
  const char* body_break_ = nullptr;
  bool chunked_ = false;
  bool length_framed_ = false;
  std::uint64_t remaining_ = 0;           // body bytes still due (length, or this chunk)
  std::uint64_t body_room_ = UINT64_MAX;  // body bytes the file still takes
  std::string body_;
  bool body_cut_ = false;
  bool write_failed_ = false;
  bool any_byte_ = false;
};

}  // namespace halvorpin
