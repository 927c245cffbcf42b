// Fuzz target for Base64 decoding: any text decodes to exactly its length
// in bytes without reading or writing outside, and the input taken as data
// comes back unchanged from encoding and decoding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
  encoded.erase(std::remove(encoded.begin(), encoded.end(), '\n'), encoded.end());
  std::vector<unsigned char> expected(data, data + size);
  expected.resize(encoded.size());  // the decoded bytes, then zeros
  if (base64_decode(encoded.data(), encoded.size()) != expected) std::abort();
  return 0;
}
