#include "protocol/http_reply.h"

#include <cstring>

namespace halvorpin {
namespace {

constexpr std::size_t kLengthValueCapacity = 16;  // at most 15 characters

bool is_scan_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

RequestText& RequestText::add(std::string_view piece) {
  if (!ok_ || text_.size() + piece.size() + 1 > capacity_) {
    ok_ = false;
    return *this;
  }
  text_.append(piece);
  return *this;
}

bool reply_contains(const char* reply, const char* text) {
  return std::strstr(reply, text) != nullptr;
}

HeaderScan find_header_value(const char* reply, const char* name, const char* stop,
                             std::size_t capacity, std::string& value) {
  value.clear();
  const char* at = std::strstr(reply, name);
  if (at == nullptr) return HeaderScan::kMissing;
  const char* p = at + std::strlen(name);
  while (*p != '\0' && is_scan_space(*p)) ++p;
  std::size_t length = std::strcspn(p, stop);
  if (length == 0) return HeaderScan::kMissing;
  if (length >= capacity) return HeaderScan::kTooLong;
  value.assign(p, length);
  return HeaderScan::kFound;
}

std::size_t body_offset(const char* reply) {
  const char* end = std::strstr(reply, "\r\n\r\n");
  return end == nullptr ? 0 : static_cast<std::size_t>(end - reply) + 4;
}

std::int64_t content_length(const char* reply) {
  std::string value;
  if (find_header_value(reply, "Content-Length:", "\r\n", kLengthValueCapacity, value) !=
      HeaderScan::kFound) {
    return -1;
  }
  std::int64_t length = 0;
  std::size_t digits = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    length = length * 10 + (c - '0');  // at most 15 digits: no overflow in 64 bits
    ++digits;
  }
  if (digits == 0 || length <= 0) return -1;
  return length;
}

}  // namespace halvorpin
