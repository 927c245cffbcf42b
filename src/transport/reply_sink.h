// Where a reply's bytes go as they arrive, and where the reply ends. The
// header block goes into the caller's buffer (NULs dropped); the body goes
// into the buffer after it or into a file. The buffer never receives more
// than capacity - 1 bytes and ends with a NUL once finished. How the bytes
// are cut into reads makes no difference.
//
// The body ends where HTTP says: a chunked body (Transfer-Encoding: chunked)
// at its last chunk, with the chunk framing taken off; otherwise after
// Content-Length bytes; otherwise when the server closes. A reply whose
// server closed before the announced end is not whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace halvorpin {

class ReplySink {
 public:
  // capacity is at least 1. With a body file and `ok_text`, a reply whose
  // header block lacks `ok_text` keeps at most `refused_body_limit` bytes of
  // its body.
  ReplySink(char* buffer, std::size_t capacity, FILE* body_file, const char* ok_text = nullptr,
            std::size_t refused_body_limit = 0)
      : buffer_(buffer),
        limit_(capacity - 1),
        body_file_(body_file),
        ok_text_(ok_text),
        refused_body_limit_(refused_body_limit) {}

  // Takes received bytes. False once no more are wanted: the reply reached
  // its end, or nothing more of it can be kept; bytes given after that are
  // ignored.
  bool take(const char* data, std::size_t length);

  // Ends the text with its NUL; the number of bytes stored before it.
  std::size_t finish();

  // True once the header block's CR LF CR LF has arrived.
  bool header_complete() const { return header_done_; }
  // False when the reply announced more body than arrived before the end
  // of the stream, or its chunk framing is broken. A reply cut short by the
  // buffer's capacity is whole: the rest was not wanted.
  bool whole() const;
  // The first line of the reply, without its line end (at most 255 bytes).
  const std::string& status_line() const { return status_line_; }

 private:
  enum class Framing { kClose, kLength, kChunked };
  enum class Chunk {
    kSize,
    kExtension,
    kSizeLf,
    kData,
    kDataCr,
    kDataLf,
    kTrailer,
    kDone,
    kBroken
  };

  void take_header_byte(char c);
  void header_line_ended();
  void start_body();
  // Returns the number of bytes of `data` the chunk framing took.
  std::size_t take_chunked(const char* data, std::size_t length);
  void chunk_byte(char c);
  void keep_body(const char* data, std::size_t length);
  bool wants_more() const;

  char* buffer_;
  std::size_t limit_;
  FILE* body_file_;
  const char* ok_text_;
  std::size_t refused_body_limit_;
  std::size_t position_ = 0;
  std::size_t header_bytes_ = 0;
  std::uint64_t content_length_ = 0;
  std::uint64_t remaining_ = 0;  // body bytes still due (length, or this chunk)
  std::size_t trailer_line_ = 0;
  std::uint64_t body_room_ = UINT64_MAX;  // body bytes the file still takes
  // The header line being read, as far as it matters for framing.
  std::string line_;
  std::string status_line_;
  std::uint32_t tail_ = 0;
  Framing framing_ = Framing::kClose;
  Chunk chunk_ = Chunk::kSize;
  bool header_done_ = false;
  bool first_line_ = true;
  bool chunked_ = false;
  bool has_length_ = false;
  bool chunk_digits_ = false;
  bool full_ = false;
};

}  // namespace halvorpin
