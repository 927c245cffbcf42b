#include "transport/reply_sink.h"

#include <cstring>

namespace halvorpin {

bool ReplySink::take(const char* data, std::size_t length) {
  std::size_t i = 0;
  while (i < length && !header_done_) take_header_byte(data[i++]);
  if (i < length) take_body(data + i, length - i);
  return body_file_ != nullptr || position_ < limit_;
}

std::size_t ReplySink::finish() {
  buffer_[position_] = '\0';
  return position_;
}

void ReplySink::take_header_byte(char c) {
  if (c == '\0') return;  // NULs are dropped before the header end
  if (position_ < limit_) buffer_[position_++] = c;
  tail_ = (tail_ << 8) | static_cast<unsigned char>(c);
  ++header_bytes_;
  header_done_ = header_bytes_ >= 4 && tail_ == 0x0D0A0D0Au;
}

void ReplySink::take_body(const char* data, std::size_t length) {
  if (body_file_ != nullptr) {
    (void)std::fwrite(data, 1, length, body_file_);
    return;
  }
  std::size_t room = limit_ - position_;
  std::size_t n = length < room ? length : room;
  std::memcpy(buffer_ + position_, data, n);
  position_ += n;
}

}  // namespace halvorpin
