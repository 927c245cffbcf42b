// Where a reply's bytes go as they arrive: the header block into the
// caller's buffer (NULs dropped), the body into the buffer after it or into
// a file. The buffer never receives more than capacity - 1 bytes and ends
// with a NUL once finished. How the bytes are cut into reads makes no
// difference: the header end is found over the last four header bytes kept,
// which may span reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace halvorpin {

class ReplySink {
 public:
  // capacity is at least 1.
  ReplySink(char* buffer, std::size_t capacity, FILE* body_file)
      : buffer_(buffer), limit_(capacity - 1), body_file_(body_file) {}

  // False once nothing more can be kept (buffer full and no body file).
  bool take(const char* data, std::size_t length);

  // Ends the text with its NUL; the number of bytes stored before it.
  std::size_t finish();

  // True once the header block's CR LF CR LF has arrived.
  bool header_complete() const { return header_done_; }

 private:
  void take_header_byte(char c);
  void take_body(const char* data, std::size_t length);

  char* buffer_;
  std::size_t limit_;
  FILE* body_file_;
  std::size_t position_ = 0;
  std::uint32_t tail_ = 0;
  std::size_t header_bytes_ = 0;
  bool header_done_ = false;
};

}  // namespace halvorpin
