// Fuzz target for the reply reader: however the bytes are cut into reads,
// it reaches the same verdict (code, status line, headers the client uses,
// whether whole, why not), keeps the same body in memory or in the file (a
// refusal's bounded), never asks for more once it said it wants no more,
// and keeps within its bounds.
//
// Input: a flags byte, four piece-size bytes, then the reply.
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

constexpr std::size_t kCapacity = 64;

using Outcome = std::tuple<int, std::string, bool, std::string, std::string, std::string, bool>;

std::string header_or_none(const ReplySink& sink, const char* name) {
  const char* value = sink.header(name);
  return value != nullptr ? value : "(none)";
}

// Feeds `reply` in pieces whose sizes cycle through `sizes` (0: one shot).
Outcome feed(const std::string& reply, bool with_file, std::size_t refused_limit,
             ReplySink::End end, const std::vector<std::size_t>& sizes) {
  char* body_data = nullptr;
  std::size_t body_size = 0;
  FilePtr body(with_file ? open_memstream(&body_data, &body_size) : nullptr);
  ReplySink sink(kCapacity, body.get(), refused_limit);
  bool ended = false;
  long body_at_end = 0;
  for (std::size_t at = 0, k = 0; at < reply.size(); ++k) {
    std::size_t n = sizes.empty() ? reply.size() : sizes[k % sizes.size()];
    if (n > reply.size() - at) n = reply.size() - at;
    const bool more = sink.take(reply.data() + at, n);
    at += n;
    if (ended && more) std::abort();  // no more stays no more
    if (!more && !ended) {
      ended = true;
      body_at_end = body ? std::ftell(body.get()) : 0;
    }
  }
  sink.finish(end);
  if (sink.body().size() > kCapacity || (ended && body && std::ftell(body.get()) != body_at_end) ||
      (sink.whole() && (sink.problem() != nullptr || !sink.head_complete())) ||
      (sink.problem() != nullptr && std::strcmp(sink.defect(), sink.problem()) != 0) ||
      sink.status_line().size() > 200 || sink.status_line().empty()) {
    std::abort();
  }
  if (with_file && sink.status_code() != 200 && body &&
      std::ftell(body.get()) > static_cast<long>(refused_limit)) {
    std::abort();  // a refusal keeps no more body than allowed
  }
  body.reset();  // closing sets body_data and body_size
  Outcome out{sink.status_code(),
              sink.status_line(),
              sink.whole(),
              std::string(sink.defect()),
              header_or_none(sink, "X-Unit-ID") + "|" + header_or_none(sink, "content-length"),
              sink.body() + "|" + std::string(body_data != nullptr ? body_data : "", body_size),
              sink.body_cut()};
  std::free(body_data);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const bool with_file = (data[0] & 1) != 0;
  const std::size_t refused_limit = with_file ? data[0] >> 2 : 0;
  const auto end = (data[0] & 2) != 0 ? ReplySink::End::kClosed : ReplySink::End::kTimedOut;
  const std::vector<std::size_t> sizes = {std::size_t{data[1]} % 9, std::size_t{data[2]} % 9,
                                          std::size_t{data[3]} % 9 + 1, std::size_t{data[4]}};
  const std::string reply(reinterpret_cast<const char*>(data) + 5, size - 5);

  const Outcome whole = feed(reply, with_file, refused_limit, end, {});
  if (feed(reply, with_file, refused_limit, end, {1}) != whole ||
      feed(reply, with_file, refused_limit, end, sizes) != whole) {
    std::abort();
  }
  return 0;
}
