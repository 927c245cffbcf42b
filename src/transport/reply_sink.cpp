#include "transport/reply_sink.h"

#include <cstring>

namespace halvorpin {
namespace {

constexpr std::size_t kLineKept = 255;            // of each header line, for framing
constexpr std::uint64_t kMaxLength = 1ULL << 48;  // beyond any package

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_prefix_folded(const std::string& line, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  if (line.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (fold(line[i]) != prefix[i]) return false;
  }
  return true;
}

std::string trimmed(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool ReplySink::take(const char* data, std::size_t length) {
  std::size_t i = 0;
  while (i < length && !header_done_ && !full_) take_header_byte(data[i++]);
  while (i < length && wants_more()) {
    if (framing_ == Framing::kChunked) {
      i += take_chunked(data + i, length - i);
      continue;
    }
    std::size_t n = length - i;
    if (framing_ == Framing::kLength && n > remaining_) n = static_cast<std::size_t>(remaining_);
    keep_body(data + i, n);
    if (framing_ == Framing::kLength) remaining_ -= n;
    i += n;
  }
  return wants_more();
}

std::size_t ReplySink::finish() {
  buffer_[position_] = '\0';
  return position_;
}

bool ReplySink::whole() const {
  if (full_ || !header_done_) return true;
  switch (framing_) {
    case Framing::kLength:
      return remaining_ == 0;
    case Framing::kChunked:
      return chunk_ == Chunk::kDone;
    case Framing::kClose:
      break;
  }
  return true;
}

bool ReplySink::wants_more() const {
  if (full_) return false;
  if (!header_done_) return true;
  switch (framing_) {
    case Framing::kLength:
      return remaining_ > 0;
    case Framing::kChunked:
      return chunk_ != Chunk::kDone && chunk_ != Chunk::kBroken;
    case Framing::kClose:
      break;
  }
  return true;
}

void ReplySink::take_header_byte(char c) {
  if (c == '\0') return;  // NULs are dropped before the header end
  if (position_ < limit_) buffer_[position_++] = c;
  // Without a body file a full buffer ends the reply: the text is cut here.
  if (position_ == limit_ && body_file_ == nullptr) full_ = true;
  if (c == '\n') {
    header_line_ended();
  } else if (line_.size() < kLineKept) {
    line_.push_back(c);
  }
  tail_ = (tail_ << 8) | static_cast<unsigned char>(c);
  ++header_bytes_;
  header_done_ = header_bytes_ >= 4 && tail_ == 0x0D0A0D0Au;
  if (header_done_) start_body();
}

void ReplySink::header_line_ended() {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  if (first_line_) {
    status_line_ = line_;
    first_line_ = false;
  } else if (has_prefix_folded(line_, "transfer-encoding:")) {
    // Chunked is the last coding whenever the body is chunked.
    std::string codings = trimmed(line_.substr(std::strlen("transfer-encoding:")));
    std::size_t comma = codings.rfind(',');
    std::string last = trimmed(comma == std::string::npos ? codings : codings.substr(comma + 1));
    chunked_ = last.size() == 7 && has_prefix_folded(last, "chunked");
  } else if (has_prefix_folded(line_, "content-length:") && !has_length_) {
    std::string value = trimmed(line_.substr(std::strlen("content-length:")));
    std::uint64_t length = 0;
    bool valid = !value.empty() && value.size() <= 15;
    for (char c : value) {
      if (c < '0' || c > '9') valid = false;
      length = length * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (valid) {
      has_length_ = true;
      content_length_ = length;
    }
  }
  line_.clear();
}

void ReplySink::start_body() {
  line_.clear();
  line_.shrink_to_fit();
  if (chunked_) {
    framing_ = Framing::kChunked;
  } else if (has_length_) {
    framing_ = Framing::kLength;
    remaining_ = content_length_;
  }
  if (body_file_ != nullptr && ok_text_ != nullptr) {
    buffer_[position_] = '\0';
    if (std::strstr(buffer_, ok_text_) == nullptr) body_room_ = refused_body_limit_;
  }
}

std::size_t ReplySink::take_chunked(const char* data, std::size_t length) {
  if (chunk_ == Chunk::kData) {
    std::size_t n = length < remaining_ ? length : static_cast<std::size_t>(remaining_);
    keep_body(data, n);
    remaining_ -= n;
    if (remaining_ == 0) chunk_ = Chunk::kDataCr;
    return n;
  }
  chunk_byte(data[0]);
  return 1;
}

void ReplySink::chunk_byte(char c) {
  switch (chunk_) {
    case Chunk::kSize: {
      int digit = hex_value(c);
      if (digit >= 0 && remaining_ < kMaxLength) {
        remaining_ = remaining_ * 16 + static_cast<std::uint64_t>(digit);
        chunk_digits_ = true;
        return;
      }
      if (!chunk_digits_) break;  // a size line needs a size
      if (c == ';' || c == ' ' || c == '\t') {
        chunk_ = Chunk::kExtension;
        return;
      }
      if (c == '\r') {
        chunk_ = Chunk::kSizeLf;
        return;
      }
      if (c != '\n') break;
      [[fallthrough]];
    }
    case Chunk::kSizeLf:
      if (c != '\n') break;
      chunk_digits_ = false;
      chunk_ = remaining_ == 0 ? Chunk::kTrailer : Chunk::kData;
      trailer_line_ = 0;
      return;
    case Chunk::kExtension:
      if (c == '\n') {
        chunk_ = Chunk::kSizeLf;
        chunk_byte(c);
      }
      return;
    case Chunk::kDataCr:
      if (c == '\r') {
        chunk_ = Chunk::kDataLf;
        return;
      }
      if (c != '\n') break;
      chunk_ = Chunk::kSize;
      return;
    case Chunk::kDataLf:
      if (c != '\n') break;
      chunk_ = Chunk::kSize;
      return;
    case Chunk::kTrailer:
      // Trailer lines follow the last chunk; an empty line ends the body.
      if (c == '\n') {
        if (trailer_line_ == 0) chunk_ = Chunk::kDone;
        trailer_line_ = 0;
      } else if (c != '\r') {
        ++trailer_line_;
      }
      return;
    case Chunk::kData:
    case Chunk::kDone:
    case Chunk::kBroken:
      return;
  }
  chunk_ = Chunk::kBroken;
}

void ReplySink::keep_body(const char* data, std::size_t length) {
  if (body_file_ != nullptr) {
    std::size_t n = length < body_room_ ? length : static_cast<std::size_t>(body_room_);
    (void)std::fwrite(data, 1, n, body_file_);
    body_room_ -= n;
    if (body_room_ == 0) full_ = true;
    return;
  }
  std::size_t room = limit_ - position_;
  std::size_t n = length < room ? length : room;
  std::memcpy(buffer_ + position_, data, n);
  position_ += n;
  if (position_ == limit_) full_ = true;
}

}  // namespace halvorpin
