// Fuzz target for the reply scans: whatever a server sends, they stay inside
// the stored text and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/http_reply.h"

using namespace halvorpin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The stored reply is NUL-terminated and at most 1023 bytes, as the exchange leaves it.
  std::vector<char> reply(1024, '\0');
  std::memcpy(reply.data(), data, size < 1023 ? size : 1023);
  const char* text = reply.data();
  const std::size_t length = std::strlen(text);

  std::string value;
  for (const char* name : {"X-Unit-ID:", "X-ZOR-PublicKey:", "Content-Length:"}) {
    for (const char* stop : {"\r", "\n", "\r\n"}) {
      HeaderScan scan = find_header_value(text, name, stop, 64, value);
      if (scan == HeaderScan::kFound && (value.empty() || value.size() >= 64)) std::abort();
      if (scan != HeaderScan::kFound && !value.empty()) std::abort();
    }
  }
  std::int64_t body_length = content_length(text);
  if (body_length == 0 || body_length < -1) std::abort();
  std::size_t body = body_offset(text);
  if (body > length || (body != 0 && std::memcmp(text + body - 4, "\r\n\r\n", 4) != 0))
    std::abort();
  return 0;
}
