#include "base/number_text.h"

#include <climits>

namespace halvorpin {

int parse_leading_int(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT_MAX) {
      value = static_cast<long long>(INT_MAX) + 1;
      break;
    }
  }
  if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::string decimal_text(std::uint64_t value) {
  std::uint32_t parts[4] = {};  // the value in 16-bit parts, the highest first
  for (int i = 3; i >= 0; --i, value >>= 16) parts[i] = static_cast<std::uint32_t>(value & 0xFFFF);
  char digits[20];  // 2^64 has 20 digits
  std::size_t first = sizeof digits;
  for (bool more = true; more;) {
    std::uint32_t rest = 0;
    more = false;
    for (std::uint32_t& part : parts) {
      const std::uint32_t current = rest << 16 | part;
      part = current / 10;
      rest = current % 10;
      more = more || part != 0;
    }
    digits[--first] = static_cast<char>('0' + rest);
  }
  return std::string(digits + first, sizeof digits - first);
}

}  // namespace halvorpin
