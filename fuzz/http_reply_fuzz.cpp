// Fuzz target for the reply parsing: whatever a server sends, the scans stay
// inside the stored text and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/base64.h"
#include "protocol/http_reply.h"
#include "protocol/package_download.h"
#include "protocol/update_flows.h"

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

  std::vector<unsigned char> decoded = base64_decode(text, length);
  if (decoded.size() != length ||
      (length > 0 && decoded[length - 1] != 0 && length >= 4 &&
       std::strlen(reinterpret_cast<const char*>(decoded.data())) > length)) {
    std::abort();
  }

  PackageLocator where;
  if (split_locator(text, where) && where.host.size() >= kLocatorHostCapacity) std::abort();
  VersionReply reply_text = read_version_reply(std::string(text, length), true);
  if (reply_text.new_version.size() > 19 ||
      reply_text.new_version.find('\n') != std::string::npos) {
    std::abort();
  }
  return 0;
}
