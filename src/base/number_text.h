// Decimal numbers in text: the environment's settings, the ports of URLs and
// the byte counts in the names of files.
#pragma once

#include <cstdint>
#include <string>

namespace halvorpin {

// Leading white space, an optional sign and the leading digits, as atoi reads
// them; saturates instead of overflowing; 0 when there are no digits.
int parse_leading_int(const char* text);

// The decimal digits of `value`. Worked out in 16-bit steps: a 32-bit unit
// has no 64-bit division, and the C library's would take kilobytes of its
// flash.
std::string decimal_text(std::uint64_t value);

}  // namespace halvorpin
