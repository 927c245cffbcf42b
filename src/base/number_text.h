// Decimal numbers in text: the environment's settings and the ports of URLs.
#pragma once

namespace halvorpin {

// Leading white space, an optional sign and the leading digits, as atoi reads
// them; saturates instead of overflowing; 0 when there are no digits.
int parse_leading_int(const char* text);

}  // namespace halvorpin
