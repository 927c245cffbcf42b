// Fuzz target for reply assembly: however the bytes are cut into reads, the
// sink stores the same text and length, finds the same header end and
// writes the same body, and stopping where it first reports itself full
// loses nothing it would have stored.
//
// Input: capacity byte, flags byte, four chunk-size bytes, then the reply.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "base/owned.h"
#include "transport/reply_sink.h"

using namespace halvorpin;

namespace {

// Stored text, its length, the header-end decision and the body file's bytes.
using Outcome = std::tuple<std::string, std::size_t, bool, std::string>;

// Feeds `reply` in chunks whose sizes cycle through `sizes` (0: one shot).
Outcome feed(const std::string& reply, std::size_t capacity, bool with_file,
             const std::vector<std::size_t>& sizes) {
  std::vector<char> buffer(capacity, '\x55');
  char* body_data = nullptr;
  std::size_t body_size = 0;
  FilePtr body(with_file ? open_memstream(&body_data, &body_size) : nullptr);
  ReplySink sink(buffer.data(), capacity, body.get());
  std::string stored_when_full;  // the buffer when the sink first said it was full
  for (std::size_t at = 0, k = 0; at < reply.size(); ++k) {
    std::size_t n = sizes.empty() ? reply.size() : sizes[k % sizes.size()];
    if (n > reply.size() - at) n = reply.size() - at;
    bool more = sink.take(reply.data() + at, n);
    at += n;
    if (with_file && !more) std::abort();  // a body file never fills up
    if (!more && stored_when_full.empty()) stored_when_full.assign(buffer.data(), capacity - 1);
  }
  const std::size_t length = sink.finish();
  if (length >= capacity || buffer[length] != '\0' ||
      (!stored_when_full.empty() &&
       stored_when_full.compare(0, length, buffer.data(), length) != 0)) {
    std::abort();
  }
  body.reset();  // closing sets body_data and body_size
  Outcome out{std::string(buffer.data(), length), length, sink.header_complete(),
              std::string(body_data != nullptr ? body_data : "", body_size)};
  std::free(body_data);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const std::size_t capacity = 1 + data[0] % 64;
  const bool with_file = (data[1] & 1) != 0;
  const std::vector<std::size_t> sizes = {std::size_t{data[2]} % 9, std::size_t{data[3]} % 9,
                                          std::size_t{data[4]} % 9 + 1, std::size_t{data[5]}};
  const std::string reply(reinterpret_cast<const char*>(data) + 6, size - 6);

  const Outcome whole = feed(reply, capacity, with_file, {});
  if (feed(reply, capacity, with_file, {1}) != whole ||
      feed(reply, capacity, with_file, sizes) != whole) {
    std::abort();
  }
  return 0;
}
