#include "transport/reply_sink.h"

#include <algorithm>
#include <cstring>

#include "base/ascii.h"

namespace halvorpin {
namespace {

constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 48;  // beyond any package
constexpr std::size_t kMaxLengthDigits = 15;
constexpr std::size_t kStatusLineShown = 200;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  c = ascii_lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "HTTP/1.0" or "HTTP/1.1", a blank, three digits, and then nothing or a
// blank and any reason phrase (which carries no meaning). The code, or 0.
int parse_status_line(const std::string& line) {
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 ||
      (line[7] != '0' && line[7] != '1') || line[8] != ' ' || !is_digit(line[9]) ||
      !is_digit(line[10]) || !is_digit(line[11]) || (line.size() > 12 && line[12] != ' ')) {
    return 0;
  }
  return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

}  // namespace

bool ReplySink::take(const char* data, std::size_t length) {
  if (length > 0) any_byte_ = true;
  std::size_t i = 0;
  while (i < length && stage_ != Stage::kDone && stage_ != Stage::kStopped) {
    if (stage_ == Stage::kChunkData || stage_ == Stage::kBody) {
      std::size_t n = length - i;
      if ((stage_ == Stage::kChunkData || length_framed_) && n > remaining_) {
        n = static_cast<std::size_t>(remaining_);
      }
      const Stage framing = stage_;
      keep_body(data + i, n);
      i += n;
      if (framing == Stage::kChunkData || length_framed_) remaining_ -= n;
      if (stage_ == Stage::kStopped || remaining_ > 0) continue;
      if (framing == Stage::kChunkData) stage_ = Stage::kChunkDataEnd;
      if (framing == Stage::kBody && length_framed_) stage_ = Stage::kDone;
      continue;
    }
    take_line_byte(data[i++]);
  }
  return stage_ != Stage::kDone && stage_ != Stage::kStopped;
}

void ReplySink::finish(End end) {
  end_ = end;
  finished_ = true;
}

void ReplySink::take_line_byte(char c) {
  const bool in_head = stage_ == Stage::kStatusLine || stage_ == Stage::kHeaders;
  if (in_head || stage_ == Stage::kTrailers) {
    if (++block_bytes_ > kBlockLimit) {
      if (in_head) {
        fail("header block over 64 KiB");
      } else {
        break_body("trailers over 64 KiB");
      }
      return;
    }
  }
  if (stage_ == Stage::kChunkDataEnd) {
    // Chunk data ends with CR LF (or a bare LF) and nothing else.
    if (c == '\r' && line_.empty()) {
      line_.push_back(c);
    } else if (c == '\n') {
      line_.clear();
      stage_ = Stage::kChunkSize;
    } else {
      break_body("broken chunk framing");
    }
    return;
  }
  if (in_head && c == '\0') return;  // NULs in the head are dropped, as ever
  if (c == '\n') {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    line_ended();
    line_.clear();
    return;
  }
  if (line_.size() >= kLineLimit) {
    if (in_head) {
      fail("header line over 8 KiB");
    } else {
      break_body(stage_ == Stage::kChunkSize ? "chunk-size line over 8 KiB"
                                             : "trailer line over 8 KiB");
    }
    return;
  }
  line_.push_back(c);
}

void ReplySink::line_ended() {
  switch (stage_) {
    case Stage::kStatusLine:
      status_line_ended();
      return;
    case Stage::kHeaders:
      header_line_ended();
      return;
    case Stage::kChunkSize:
      chunk_size_line_ended();
      return;
    case Stage::kTrailers:
      trailer_line_ended();
      return;
    case Stage::kChunkData:
    case Stage::kChunkDataEnd:
    case Stage::kBody:
    case Stage::kDone:
    case Stage::kStopped:
      return;
  }
}

void ReplySink::status_line_ended() {
  first_line_ = line_;
  status_code_ = parse_status_line(line_);
  if (status_code_ == 0) {
    fail("malformed status line");
    return;
  }
  fields_.clear();
  stage_ = Stage::kHeaders;
}

void ReplySink::header_line_ended() {
  if (line_.empty()) {
    head_ended();
    return;
  }
  if (is_blank(line_[0])) {
    // An obsolete continuation of the field before: one blank joins them.
    if (fields_.empty()) {
      fail("malformed header line");
      return;
    }
    fields_.back() = ' ';  // the last value's NUL
    fields_.append(trimmed(line_)).push_back('\0');
    return;
  }
  const std::string::size_type colon = line_.find(':');
  if (colon == std::string::npos || colon == 0) {
    fail("malformed header line");
    return;
  }
  const std::string_view name(line_.data(), colon);
  for (char c : name) {
    if (is_blank(c)) {
      fail("malformed header line");
      return;
    }
  }
  fields_.append(name).push_back('\0');
  fields_.append(trimmed(std::string_view(line_).substr(colon + 1))).push_back('\0');
}

void ReplySink::head_ended() {
  if (status_code_ >= 100 && status_code_ < 200 && status_code_ != 101) {
    // An interim reply: the final one follows.
    status_code_ = 0;
    first_line_.clear();
    fields_.clear();
    stage_ = Stage::kStatusLine;
    return;
  }
  head_complete_ = true;
  if (body_file_ != nullptr && status_code_ != 200) body_room_ = refused_body_limit_;
  if (status_code_ == 204 || status_code_ == 304) {
    stage_ = Stage::kDone;
    return;
  }
  // Transfer-Encoding decides over Content-Length: chunked when it is the
  // last coding, otherwise the body runs until the server closes.
  std::string codings;
  bool has_codings = false;
  std::string_view length_value;
  bool has_length = false;
  for (std::size_t at = 0; at < fields_.size();) {
    const std::string_view name(fields_.c_str() + at);
    const std::string_view value(name.data() + name.size() + 1);
    at += name.size() + value.size() + 2;
    if (equal_ignoring_case(name, "transfer-encoding")) {
      has_codings = true;
      codings.append(",").append(value);
    } else if (equal_ignoring_case(name, "content-length")) {
      // Each field may list several values; all of them must be one number.
      std::string_view rest(value);
      for (;;) {
        const std::string_view::size_type comma = rest.find(',');
        const std::string_view element = trimmed(rest.substr(0, comma));
        if (element.empty() || element.find_first_not_of("0123456789") != std::string::npos) {
          fail("Content-Length not a plain number");
          return;
        }
        if (element.size() > kMaxLengthDigits) {
          fail("Content-Length too large");
          return;
        }
        const std::string_view digits =
            element.substr(std::min(element.find_first_not_of('0'), element.size() - 1));
        if (has_length && digits != length_value) {
          fail("conflicting Content-Length");
          return;
        }
        has_length = true;
        length_value = digits;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    }
  }
  if (head_only_) {
    // The framing fields were checked; the body is not wanted.
    stage_ = Stage::kDone;
    return;
  }
  if (has_codings) {
    const std::string::size_type comma = codings.rfind(',');
    chunked_ = equal_ignoring_case(trimmed(std::string_view(codings).substr(comma + 1)), "chunked");
    stage_ = chunked_ ? Stage::kChunkSize : Stage::kBody;
    return;
  }
  if (has_length) {
    length_framed_ = true;
    remaining_ = 0;
    for (char c : length_value) remaining_ = remaining_ * 10 + static_cast<std::uint64_t>(c - '0');
    stage_ = remaining_ == 0 ? Stage::kDone : Stage::kBody;
    return;
  }
  stage_ = Stage::kBody;
}

void ReplySink::chunk_size_line_ended() {
  std::size_t i = 0;
  std::uint64_t size = 0;
  for (; i < line_.size() && hex_value(line_[i]) >= 0; ++i) {
    size = size * 16 + static_cast<std::uint64_t>(hex_value(line_[i]));
    if (size > kMaxChunk) {
      break_body("broken chunk framing");
      return;
    }
  }
  // A size line needs a size; an extension follows a ';', perhaps after blanks.
  std::string_view rest = std::string_view(line_).substr(i);
  while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
  if (i == 0 || (!rest.empty() && rest.front() != ';')) {
    break_body("broken chunk framing");
    return;
  }
  if (size == 0) {
    block_bytes_ = 0;
    stage_ = Stage::kTrailers;
    return;
  }
  remaining_ = size;
  stage_ = Stage::kChunkData;
}

void ReplySink::trailer_line_ended() {
  if (line_.empty()) stage_ = Stage::kDone;
}

void ReplySink::keep_body(const char* data, std::size_t length) {
  if (length == 0) return;
  if (body_file_ != nullptr) {
    const std::size_t n = length < body_room_ ? length : static_cast<std::size_t>(body_room_);
    if (n > 0 && (std::fwrite(data, 1, n, body_file_) != n || std::ferror(body_file_) != 0)) {
      write_failed_ = true;
      stage_ = Stage::kStopped;
      return;
    }
    if (body_digest_ != nullptr && status_code_ == 200) {
      (void)EVP_DigestUpdate(body_digest_, data, n);
    }
    body_room_ -= n;
    if (body_room_ == 0) stage_ = Stage::kStopped;  // a refusal's body: enough kept
    return;
  }
  const std::size_t room = body_capacity_ - body_.size();
  const std::size_t n = length < room ? length : room;
  body_.append(data, n);
  if (n < length) body_cut_ = true;
}

void ReplySink::fail(const char* why) {
  problem_ = why;
  stage_ = Stage::kStopped;
}

void ReplySink::break_body(const char* why) {
  body_break_ = why;
  stage_ = Stage::kStopped;
}

std::string ReplySink::status_line() const {
  std::string line = first_line_.empty() && stage_ == Stage::kStatusLine ? line_ : first_line_;
  if (line.empty()) return "no reply";
  if (line.size() > kStatusLineShown) line.resize(kStatusLineShown);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return line;
}

const char* ReplySink::header(std::string_view name) const {
  for (std::size_t at = 0; at < fields_.size();) {
    const char* field = fields_.c_str() + at;
    const char* value = field + std::strlen(field) + 1;
    if (equal_ignoring_case(field, name)) return value;
    at = static_cast<std::size_t>(value - fields_.c_str()) + std::strlen(value) + 1;
  }
  return nullptr;
}

bool ReplySink::whole() const {
  if (problem_ != nullptr || body_break_ != nullptr || write_failed_ || !head_complete_) {
    return false;
  }
  if (stage_ == Stage::kDone) return true;
  return stage_ == Stage::kBody && !length_framed_ && finished_ && end_ == End::kClosed;
}

bool ReplySink::keeps_connection() const {
  const char* connection = header("Connection");
  return whole() && stage_ == Stage::kDone && first_line_.compare(0, 8, "HTTP/1.1") == 0 &&
         (connection == nullptr || !equal_ignoring_case(connection, "close"));
}

const char* ReplySink::defect() const {
  if (problem_ != nullptr) return problem_;
  if (body_break_ != nullptr) return body_break_;
  return whole() ? "" : "cut short";
}

}  // namespace halvorpin
