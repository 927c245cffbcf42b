// Fuzz target for reply assembly and framing: however the bytes are cut into
// reads, the sink stores the same text and length, finds the same header end,
// writes the same body (chunk framing taken off, a refused reply's body
// bounded), reaches the same verdict on whether the reply is whole and takes
// the same status line; once it says it wants no more, nothing changes.
//
// Input: capacity byte, flags byte, four chunk-size bytes, then the reply.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "base/owned.h"
#include "transport/reply_sink.h"

using namespace halvorpin;

namespace {

// Stored text, its length, the header-end decision, the body file's bytes,
// whether the reply was whole and its status line.
using Outcome = std::tuple<std::string, std::size_t, bool, std::string, bool, std::string>;

// Feeds `reply` in chunks whose sizes cycle through `sizes` (0: one shot).
Outcome feed(const std::string& reply, std::size_t capacity, bool with_file,
             std::size_t refused_limit, const std::vector<std::size_t>& sizes) {
  std::vector<char> buffer(capacity, '\x55');
  char* body_data = nullptr;
  std::size_t body_size = 0;
  FilePtr body(with_file ? open_memstream(&body_data, &body_size) : nullptr);
  ReplySink sink(buffer.data(), capacity, body.get(),
                 refused_limit > 0 ? "HTTP/1.1 200 OK" : nullptr, refused_limit);
  bool ended = false;
  std::string stored_at_end;  // the buffer when the sink first wanted no more
  long body_at_end = 0;
  for (std::size_t at = 0, k = 0; at < reply.size(); ++k) {
    std::size_t n = sizes.empty() ? reply.size() : sizes[k % sizes.size()];
    if (n > reply.size() - at) n = reply.size() - at;
    bool more = sink.take(reply.data() + at, n);
    at += n;
    if (ended && more) std::abort();  // no more stays no more
    if (!more && !ended) {
      ended = true;
      stored_at_end.assign(buffer.data(), capacity - 1);
      body_at_end = body ? std::ftell(body.get()) : 0;
    }
  }
  const std::size_t length = sink.finish();
  if (length >= capacity || buffer[length] != '\0' ||
      (ended && (stored_at_end.compare(0, length, buffer.data(), length) != 0 ||
                 (body && std::ftell(body.get()) != body_at_end)))) {
    std::abort();
  }
  if (with_file && refused_limit > 0 && !std::strstr(buffer.data(), "HTTP/1.1 200 OK") && body &&
      std::ftell(body.get()) > static_cast<long>(refused_limit)) {
    std::abort();  // a refusal keeps no more body than allowed
  }
  body.reset();  // closing sets body_data and body_size
  Outcome out{std::string(buffer.data(), length),
              length,
              sink.header_complete(),
              std::string(body_data != nullptr ? body_data : "", body_size),
              sink.whole(),
              sink.status_line()};
  std::free(body_data);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const std::size_t capacity = 1 + data[0] % 64;
  const bool with_file = (data[1] & 1) != 0;
  const std::size_t refused_limit = with_file ? data[1] >> 1 : 0;
  const std::vector<std::size_t> sizes = {std::size_t{data[2]} % 9, std::size_t{data[3]} % 9,
                                          std::size_t{data[4]} % 9 + 1, std::size_t{data[5]}};
  const std::string reply(reinterpret_cast<const char*>(data) + 6, size - 6);

  const Outcome whole = feed(reply, capacity, with_file, refused_limit, {});
  if (feed(reply, capacity, with_file, refused_limit, {1}) != whole ||
      feed(reply, capacity, with_file, refused_limit, sizes) != whole) {
    std::abort();
  }
  return 0;
}
