// Reading the few things the client needs out of a stored reply: a status
// text, one header's value, the start of the body. The stored header block
// is NUL-free, so the searches stop at the first NUL, which can only come
// from the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvorpin {

// A request or reply text that never grows past its capacity (which counts
// the terminating NUL of the original fixed buffers).
class RequestText {
 public:
  explicit RequestText(std::size_t capacity) : capacity_(capacity) { text_.reserve(capacity); }
  RequestText& add(std::string_view piece);
  bool ok() const { return ok_; }
  const char* c_str() const { return text_.c_str(); }

 private:
  std::size_t capacity_;
  std::string text_;
  bool ok_ = true;
};

// True when `text` occurs in the stored reply before its first NUL.
bool reply_contains(const char* reply, const char* text);

enum class HeaderScan { kFound, kMissing, kTooLong };

// Finds the first occurrence of `name` (which ends in ':'), skips white space
// after it, and takes the value up to the first of `stop` or the end of the
// text. An empty value counts as missing; a value of `capacity` characters or
// more (it would not fit with its NUL) as too long.
HeaderScan find_header_value(const char* reply, const char* name, const char* stop,
                             std::size_t capacity, std::string& value);

// Offset of the byte after the first CR LF CR LF, or 0 when there is none.
std::size_t body_offset(const char* reply);

// The body length from "Content-Length:": leading decimal digits of a value
// of at most 15 characters. -1 when missing, too long or not positive.
std::int64_t content_length(const char* reply);

}  // namespace halvorpin
