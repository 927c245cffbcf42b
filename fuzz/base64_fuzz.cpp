// Fuzz target for Base64 decoding: any text decodes to exactly its length
// in bytes without reading or writing outside, and the input taken as data
// comes back unchanged from encoding and decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/base64.h"

using namespace halvorpin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  if (base64_decode(text, size).size() != size) std::abort();

  std::string encoded = base64_encode(data, size);
  if (size > 0 && encoded.empty()) std::abort();
  // The decoder takes one unbroken run; the encoder breaks lines at 64.
  std::string run;
  for (char c : encoded) {
    if (c != '\n') run.push_back(c);
  }
  std::vector<unsigned char> decoded = base64_decode(run.data(), run.size());
  if (decoded.size() < size || (size > 0 && std::memcmp(decoded.data(), data, size) != 0)) {
    std::abort();
  }
  for (std::size_t i = size; i < decoded.size(); ++i) {
    if (decoded[i] != 0) std::abort();
  }
  return 0;
}
