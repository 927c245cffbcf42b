// Standard Base64 (RFC 4648 alphabet, '=' padding) on OpenSSL's Base64 BIO.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace halvorpin {

// Lines of 64 characters separated by '\n', no line feed after the last.
// An empty input gives an empty text.
std::string base64_encode(const unsigned char* data, std::size_t length);

// Decodes one unbroken run of Base64 characters (no line breaks accepted).
// The result has exactly `length` bytes: the decoded bytes, then zeros, so a
// decoded text is always NUL-terminated. Invalid input decodes short or empty.
std::vector<unsigned char> base64_decode(const char* text, std::size_t length);

}  // namespace halvorpin
